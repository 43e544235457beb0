// SPDX-License-Identifier: MIT
// The port-bound controls: chief header.
#pragma once

#include "comcombobox.h"
#include "comled.h"
#include "comselect.h"
