// qzdump: prints packet files and monitor files as their dump text, and converts files to and
// from the compressed stream format. A thin shell over the packet units the console uses.
//
//   qzdump packet FILE            a header-framed packet file
//   qzdump monitor FILE           a ".nv_mon" monitor file: the head, then every event
//   qzdump sdc-compress IN OUT    compress a file
//   qzdump sdc-decompress IN OUT  decompress a file
//   qzdump timeline FILE OUT.html draw a monitor file's build as a self-contained HTML page
//   qzdump timeline --last OUT.html  the same for the newest monitor file of the agent's history
//
// Exit codes: 0 success, 1 the input could not be read or converted (message on standard
// error), 2 wrong usage.

#include "CM/CrossRegistry.h"
#include "CM/Exceptions.h"
#include "CM/MonitorFile.h"
#include "CM/Packets.h"
#include "CM/RealTimeCompressStreams.h"
#include "CM/RuntimeStartup.h"
#include "CM/StreamUtils.h"
#include "NV/AgentReg.h"
#include "timeline/BuildTimeline.h"
#include "timeline/MonitorHistory.h"
#include "timeline/TimelinePage.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "Usage: qzdump packet FILE\n"
                               "       qzdump monitor FILE\n"
                               "       qzdump sdc-compress IN OUT\n"
                               "       qzdump sdc-decompress IN OUT\n"
                               "       qzdump timeline FILE.nv_mon OUT.html\n"
                               "       qzdump timeline --last OUT.html\n";

void PrintDump(const qz::TPacket& packet) {
    qz::TStringListEx lines;
    packet.DumpToStrings(lines);
    for (const std::string& line : lines) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
}

void DumpPacket(const std::string& fileName) {
    PrintDump(*qz::TPacket::CreateFromFile(fileName));
}

void DumpMonitor(const std::string& fileName) {
    qz::TMonitorFile file = qz::OpenMonitorFile(fileName);
    PrintDump(*file.Meta);
    qz::TPacketLoadContext context;
    std::int64_t size = file.Events->Size();
    while (file.Events->Position() < size) {
        PrintDump(*qz::TPacket::CreateFromStream(*file.Events, &context, 0));
    }
}

void Convert(const std::string& input, const std::string& output, bool compress) {
    qz::TMappedFileStream source(input, qz::FileMode::Read | qz::FileMode::ShareDenyWrite);
    qz::TVirtualStream result(qz::VirtualStreamOption::Step1M);
    if (compress) {
        qz::CompressToStream(source, source.Size(), result, qz::kCompressFormatQuickLZ131);
    } else {
        qz::TDecompressStream plain(&source, 0, 1, false);
        result.CopyFrom(plain, 0);
    }
    // The output is written only once the conversion has succeeded.
    qz::TFileStreamEx target(output, qz::FileMode::Create);
    target.WriteBuffer(result.Memory(), result.Size());
}

// The page is written only once the whole monitor file has been read.
void Timeline(std::string input, const std::string& output) {
    if (input == "--last") {
        // The agent's key carries the product name, as in the console.
        qz::SetProductRegistryNameProvider(&qz::ProductNameFromInformation);
        qz::nv::TAgentReg settings(qz::nv::aroAllowReadOnly);
        input = qz::timeline::NewestMonitorFile(
            qz::timeline::LocalHistoryFolder(settings.AgentFolder()));
    }
    qz::timeline::BuildTimeline timeline = qz::timeline::ReadBuildTimeline(input);
    qz::timeline::WriteTimelinePage(output, timeline, qz::PathFileName(input));
    std::printf("%s: %zu tasks on %zu workers from %s\n", output.c_str(), timeline.tasks.size(),
                timeline.workers.size(), input.c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool oneFile = args.size() == 2 && (args[0] == "packet" || args[0] == "monitor");
    bool twoFiles = args.size() == 3 && (args[0] == "sdc-compress" || args[0] == "sdc-decompress" ||
                                         args[0] == "timeline");
    if (!oneFile && !twoFiles) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        qz::RegisterAllPacketClasses();
        if (args[0] == "packet") {
            DumpPacket(args[1]);
        } else if (args[0] == "monitor") {
            DumpMonitor(args[1]);
        } else if (args[0] == "timeline") {
            Timeline(args[1], args[2]);
        } else {
            Convert(args[1], args[2], args[0] == "sdc-compress");
        }
        std::fflush(stdout);
        return 0;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
