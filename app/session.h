// SPDX-License-Identifier: MIT
// How a session of the program ends besides the Exit button and the
// window's close box, and the scripted steps the tests drive it with.
#pragma once

class TSerivox;

// A termination signal (SIGTERM at logout or from kill, SIGINT from Ctrl+C
// in the launching terminal, SIGHUP when that terminal goes) closes the main
// window as its close box does: the port closes, the settings are saved and
// the program ends with status 0.
void InstallTerminationHandler(TSerivox* mainWindow);

// SERIVOX_TEST_STEPS, a comma-separated list run once the main window is
// shown, one step every 100 ms, for tests that drive the real program:
// "slave" (Create new instance), "popup" (drop the port list down),
// "connect" (the Connect button), "exit" (the Exit button), "close" (a close
// request to the main window, as the window manager sends it). Unset: nothing.
// Only a build configured with SERIVOX_TEST_HOOKS reads the variable; any
// other build (the package, scripts/run.sh) does nothing here.
void RunTestSteps(TSerivox* mainWindow);
