// SPDX-License-Identifier: MIT
// Where settings files live.
//
// Next to the executable when its folder can be written or the entry already
// exists there (a portable copy, or a program run from its build folder);
// otherwise in $XDG_CONFIG_HOME/serivox/ (default ~/.config/serivox/), the
// folder of an installed program's settings. The folder the program is
// installed to (its bin folder) never counts as writable, so an installed
// program started by root keeps its settings in root's home rather than
// putting them into /usr/bin.
#pragma once

#include <string>

// `beside` is the entry's path in the executable's folder ("" when that is
// unknown), `name` its name in the user's folder. Returns the path to use;
// when that is the user's folder, the folder is created.
std::string SettingsLocation(const std::string& beside, const std::string& name);
// The same with the installed bin folder given.
std::string SettingsLocation(const std::string& beside, const std::string& name, const std::string& installedBinDir);

// The folder of the running executable, or "" when it cannot be found.
std::string ExecutableFolder();
