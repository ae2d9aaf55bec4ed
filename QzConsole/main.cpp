// Program entry of qzConsole: creates the console, runs its request and the main loop, and ends
// the process with the exit code.

#include "CM/DiagLog.h"
#include "NV/GridConsoleCore.h"
#include "platform/ProcessInfo.h"

int main(int argc, char** argv) {
    // Start-up before the console's own code: the exception watch and the diagnostic log.
    qz::platform::SetProcessArguments(argc, argv);
    qz::DiagLogStartup();
    return qz::nv::ConsoleMain(argc, argv);
}
