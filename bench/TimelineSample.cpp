// Writes a generated build's monitor data file, for the timeline benchmark and demonstrations:
//   TimelineSample TASKS WORKERS OUT.nv_mon

#include "CM/Exceptions.h"
#include "CM/Packets.h"
#include "timeline/SampleBuild.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("Usage: TimelineSample TASKS WORKERS OUT.nv_mon\n", stderr);
        return 2;
    }
    try {
        qz::RegisterAllPacketClasses();
        qz::timeline::WriteSampleMonitorFile(
            argv[3], qz::timeline::GeneratedBuild(std::atoi(argv[1]), std::atoi(argv[2])));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
