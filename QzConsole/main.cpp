// Program entry of qzConsole: start-up of the exception watch, the diagnostic log and the packet
// registry, then the console, its request and the main loop; the process ends with the exit code.

#include "CM/DiagLog.h"
#include "CM/Packets.h"
#include "NV/GridConsoleCore.h"

int main(int argc, char** argv) {
    qz::DiagLogStartup();
    qz::RegisterAllPacketClasses();
    qz::nv::ConsoleMain(argc, argv);
}
