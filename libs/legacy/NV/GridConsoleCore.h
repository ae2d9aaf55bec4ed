#pragma once

// The console core: the program entry's body, the console object and its dispatch.

namespace qz::nv {

/// Runs the console for the process's arguments and returns (or exits with) the exit code.
int ConsoleMain(int argc, char** argv);

} // namespace qz::nv
