// A stand-in for Tasksmith in tests of the console's side of a build. It honours the hand-over
// (command file, start event, build mutex, shared event stream, attached event, monitor data
// file) and does what the environment variable QZ_FAKE_TASKSMITH asks, a list of words:
//   exit=N        print "fake out" and "fake err" and end with N before the start event
//   count=FILE    append one line to FILE at every start
//   lines=N       N output events "line k" (default 3), each with "err k" on standard error
//   big=N         one more output event of N bytes
//   pause=MS      wait before the events after the started event
//   code=N        end with N (default 0)
//   nocomplete    write no completion event
//   filefirst     write the monitor data file before the events reach the shared stream and
//                 end at once, so the console finds the tail only in the file
//   die           kill itself after the output events (no completion, no monitor file)
//   corrupt       output, message, output, message events; the monitor data file gets them as
//                 they are, the shared stream with the first output's length damaged
//   garbage       after the started event, bytes that are no event; end with code after 500 ms
//   hang          after the attached event, write its process id to the file of pidfile=FILE and
//                 wait for the owner mutex to be abandoned; then write "abandoned" and end 9
//   nostart       never set the start event; wait 30 s and end 0

#include "CM/DiagLog.h"
#include "CM/EnvUtils.h"
#include "CM/GrowingSharedStream.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "CM/NvObjects.h"
#include "CM/RuntimeStartup.h"
#include "NV/AgentReg.h"
#include "platform/Console.h"
#include "platform/NativeThread.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

using namespace qz;

namespace {

std::map<std::string, std::string> Script() {
    std::map<std::string, std::string> words;
    std::istringstream in(GetEnv("QZ_FAKE_TASKSMITH"));
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        words[word.substr(0, eq)] = eq == std::string::npos ? "1" : word.substr(eq + 1);
    }
    return words;
}

int Number(const std::map<std::string, std::string>& script, const char* name, int otherwise) {
    auto found = script.find(name);
    return found == script.end() ? otherwise : std::stoi(found->second);
}

int Run(int argc, char** argv) {
    auto script = Script();
    std::string idText;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("/id=", 0) == 0) {
            idText = arg.substr(4);
        }
    }
    if (script.count("count")) {
        std::ofstream(script["count"], std::ios::app) << idText << "\n";
    }
    if (script.count("exit")) {
        std::fputs("fake out\n", stdout);
        std::fputs("fake err\n", stderr);
        return std::stoi(script["exit"]);
    }
    TGuid id = GuidFromText(idText);
    nv::TAgentReg settings(nv::aroAllowReadOnly);
    std::string commandFile =
        PathWithSeparator(settings.AgentTempFolder()) + idText + ".nv_bld_cmd";
    TBuildCommandPacket request;
    request.LoadFromFile(commandFile);

    if (script.count("nostart")) {
        platform::SleepMilliseconds(30000u);
        return 0;
    }
    // The order the console relies on: build mutex owned and attached event held open before
    // the start event is set.
    TWinMutex buildMutex(NullDaclSecurityAttributes(), "TamrelBuildMutex_" + idText);
    buildMutex.Acquire(INFINITE, 0);
    auto stream =
        std::make_unique<TGrowingSharedStream>(id, SessionLocal, true, kDefaultSectionSize);
    TWinEvent attached(nullptr, "Orvane_Build_" + idText + "_OwnerAttachedEvent", true, false);
    TWinEvent start("Orvane_Build_" + idText + "_Start_SyncWithProxyEvent", false);
    start.SetEvent();
    if (!attached.WaitFor(30000)) {
        return 70;
    }
    TWinMutex owner(NullDaclSecurityAttributes(), "Orvane_Build_" + idText + "_OwnerTermination");
    if (script.count("hang")) {
        std::ofstream(script["pidfile"]) << platform::CurrentProcessId() << std::endl;
        owner.Acquire(INFINITE, wfAbandonedWarning);
        std::ofstream(script["pidfile"], std::ios::app) << "abandoned" << std::endl;
        return 9;
    }

    TPacketSaveContext context;
    std::vector<std::unique_ptr<TPacket>> events;
    std::string pending;
    auto add = [&](std::unique_ptr<TPacket> event) {
        TVirtualStream bytes;
        event->SaveToStream(bytes, &context);
        pending += bytes.AsString();
        events.push_back(std::move(event));
    };
    auto flush = [&] {
        stream->Seek(0, SeekOrigin::End);
        stream->WriteBuffer(pending.data(), static_cast<std::int64_t>(pending.size()));
        pending.clear();
    };
    double startTime = Now();
    auto writeMonitorFile = [&] {
        std::string folder = PathResolve(settings.AgentFolder(), "History/Local") + "/" +
                             std::to_string(static_cast<long long>(startTime));
        ForceFolders(folder);
        TMetaBuildPacket meta;
        meta.SetGuid(TMetaBuildPacket::ID, id);
        std::vector<const TPacket*> list;
        for (auto& event : events) {
            list.push_back(event.get());
        }
        WriteMonitorFile(folder + "/" + idText + ".nv_mon", meta, list, true);
    };

    auto started = std::make_unique<TMonitorEventStartedPacket>();
    started->SetDouble(TMonitorEventStartedPacket::StartTime, startTime);
    started->SetGuid(TMonitorEventStartedPacket::ID, id);
    started->SetBits(TMonitorEventStartedPacket::BuildFlags,
                     request.Bits(TBuildCommandPacket::Flags));
    started->SetStr(TMonitorEventStartedPacket::Caption, request.Str(TBuildCommandPacket::Caption));
    add(std::move(started));
    flush();
    platform::SleepMilliseconds(static_cast<std::uint32_t>(Number(script, "pause", 0)));

    if (script.count("garbage")) {
        std::string junk(64, '\xFF');
        stream->Seek(0, SeekOrigin::End);
        stream->WriteBuffer(junk.data(), static_cast<std::int64_t>(junk.size()));
        platform::SleepMilliseconds(500u);
        return Number(script, "code", 0);
    }
    if (script.count("corrupt")) {
        for (int k = 1; k <= 2; ++k) {
            auto output = std::make_unique<TMonitorEventOutputPacket>();
            output->SetStr(TMonitorEventOutputPacket::Text, "line " + std::to_string(k));
            add(std::move(output));
            add(std::make_unique<TMonitorEventMessagePacket>(0, 1, Now(), "note", "", "", "", 0));
        }
        add(std::make_unique<TMonitorEventCompletePacket>(0, false, "", true, 0, 0, 0, 0, 0));
        writeMonitorFile();
        std::size_t text = pending.find("line 1");
        pending[text - 1] = '\xFF';
        flush();
        platform::SleepMilliseconds(500u);
        stream.reset();
        return Number(script, "code", 0);
    }
    int lines = Number(script, "lines", 3);
    for (int k = 1; k <= lines; ++k) {
        auto output = std::make_unique<TMonitorEventOutputPacket>();
        output->SetStr(TMonitorEventOutputPacket::Text, "line " + std::to_string(k));
        output->SetStr(TMonitorEventOutputPacket::ErrText, "err " + std::to_string(k));
        add(std::move(output));
    }
    if (int big = Number(script, "big", 0); big > 0) {
        auto output = std::make_unique<TMonitorEventOutputPacket>();
        std::string text(static_cast<std::size_t>(big), 'x');
        for (std::size_t i = 99; i < text.size(); i += 100) {
            text[i] = '\n';
        }
        output->SetStr(TMonitorEventOutputPacket::Text, text);
        add(std::move(output));
    }
    if (script.count("die")) {
        flush();
        std::raise(SIGKILL);
    }
    int code = Number(script, "code", 0);
    if (!script.count("nocomplete")) {
        add(std::make_unique<TMonitorEventCompletePacket>(0, false, "0 error(s), 0 warning(s)",
                                                          code == 0, 0, 0, 0, 0, code));
    }
    if (script.count("filefirst")) {
        writeMonitorFile();
        flush();
        // Ends at once: the sections the console has not mapped yet go with the stream.
        stream.reset();
        std::fflush(stdout);
        platform::ExitProcessNow(code);
    }
    flush();
    writeMonitorFile();
    stream.reset();
    return code;
}

} // namespace

int main(int argc, char** argv) {
    int code = 71;
    try {
        RuntimeStartup();
        code = Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fake Tasksmith: %s\n", e.what());
    }
    // As the real programs do: no orderly shut-down of the units after the run.
    std::fflush(stdout);
    std::fflush(stderr);
    platform::ExitProcessNow(code);
}
