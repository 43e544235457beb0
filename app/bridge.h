// SPDX-License-Identifier: MIT
// The bridge binding's file choice (bridge.cpp).
#pragma once

#include <QString>

// The bridge library's file: "Zelvar_Virtual_COM.DLL" in the program's folder,
// else in the installed library folder (lib/serivox beside the bin folder).
QString BridgeLibraryPath();
// For tests: bind the library at `path` instead; an empty path restores the
// program's folder. Takes effect at the next BindBridgeLibrary.
void SetBridgeLibraryPath(const QString& path);
