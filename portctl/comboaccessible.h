// SPDX-License-Identifier: MIT
// What assistive technology reads of a port selector: the name the field
// shows, also a port that has no item in the list.
#pragma once

// Makes every TComComboBox offer its shown name as its accessible name and
// value. Called once; later calls do nothing.
void InstallComComboBoxAccessible();
