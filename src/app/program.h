#pragma once

// The program body: creates the main window, checks that an update can take place, and runs the
// window when it can. Returns the process's exit code. Errors that are not handled here (a version
// resource without a translation table, a window that cannot be created) propagate to the caller.
int RunUpdater();
