// Program entry of qzConsole: start-up of the common modules (product name, exception watch,
// diagnostic log, named kernel objects, packet classes), then the console, its request and the
// main loop; the process ends with the exit code.

#include "CM/RuntimeStartup.h"
#include "NV/GridConsoleCore.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    try {
        qz::RuntimeStartup();
    } catch (const std::exception& e) {
        std::printf("Fatal Error: %s\n", e.what());
        return 3;
    }
    qz::nv::ConsoleMain(argc, argv);
}
