// Program entry of qzConsole: start-up of the exception watch, the diagnostic log, the named
// kernel objects and the packet registry, then the console, its request and the main loop; the
// process ends with the exit code.

#include "CM/DiagLog.h"
#include "CM/NvObjects.h"
#include "CM/Packets.h"
#include "NV/GridConsoleCore.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    qz::DiagLogStartup();
    try {
        qz::CheckKernelObjectSupport();
        qz::InitializeNamedObjects();
    } catch (const std::exception& e) {
        std::printf("Fatal Error: %s\n", e.what());
        return 3;
    }
    qz::RegisterAllPacketClasses();
    qz::nv::ConsoleMain(argc, argv);
}
