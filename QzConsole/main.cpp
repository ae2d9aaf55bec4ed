// Program entry of qzConsole: start-up of the common modules (product name, exception watch,
// diagnostic log, packet classes), then the console, its request and the main loop; the process
// ends with the exit code.

#include "CM/RuntimeStartup.h"
#include "NV/GridConsoleCore.h"

int main(int argc, char** argv) {
    qz::RuntimeStartup();
    qz::nv::ConsoleMain(argc, argv);
}
