// Program entry of qzConsole: start-up of the exception watch and the diagnostic log, then the
// console, its request and the main loop; the process ends with the exit code.

#include "CM/DiagLog.h"
#include "NV/GridConsoleCore.h"

int main(int argc, char** argv) {
    qz::DiagLogStartup();
    qz::nv::ConsoleMain(argc, argv);
}
