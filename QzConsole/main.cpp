// Program entry of qzConsole: creates the console, runs its request and the main loop, and ends
// the process with the exit code.

#include "NV/GridConsoleCore.h"

int main(int argc, char** argv) {
    qz::nv::ConsoleMain(argc, argv);
}
