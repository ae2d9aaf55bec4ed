// Program entry of qzConsole: creates the console, runs its request and the main loop, and ends
// the process with the exit code.

#include "CM/DiagLog.h"
#include "NV/GridConsoleCore.h"
int main(int argc, char** argv) {
    // Start-up before the console's own code: the exception watch and the diagnostic log.
    qz::DiagLogStartup();
    return qz::nv::ConsoleMain(argc, argv);
}
