#include "GridConsoleCore.h"

#include "AgentInstance.h"
#include "BuildClass.h"
#include "BuildFlags.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/NotifyQueue.h"
#include "CM/ProductInfo.h"
#include "CM/StreamUtils.h"
#include "CmdLine.h"
#include "WinVersions.h"
#include "platform/AsciiText.h"
#include "platform/Console.h"
#include "platform/ProcessInfo.h"

#include <array>
#include <cstdio>

namespace qz::nv {

namespace {

using Req = TBuildCommandPacket;

// The buffer size of the console's service pipe.
constexpr std::uint32_t kServiceSectionSize = 0x200000;

int g_exitCodeBase = 0;
int g_processExitCode = 0;

constexpr const char* kNestedJobVariable = "TamrelBuildContext";
constexpr const char* kExtraParamsVariable = "qzConsoleParams";

} // namespace

int ExitCodeBase() {
    return g_exitCodeBase;
}

void SetExitCodeBase(int value) {
    g_exitCodeBase = value;
}

void SetExitCode(int code) {
    g_processExitCode =
        code == 0
            ? 0
            : static_cast<int>(static_cast<unsigned>(code) + static_cast<unsigned>(g_exitCodeBase));
}

int ProcessExitCode() {
    return g_processExitCode;
}

int ProcessExitStatus(int exitCode) {
    return exitCode != 0 && (exitCode & 0xFF) == 0 ? 255 : exitCode;
}

void Finish(int code) {
    SetExitCode(code);
    TNotifyQueue::Main().StopLoop();
}

TGridConsole::TGridConsole(const std::string& title, std::uint8_t modeFlags)
    : title_(title + " " + kConsoleVersion), modeFlags_(modeFlags) {
    QZ_ASSERT(TNotifyQueue::Main().EventMode());
    stdOutIsConsole_ = platform::StdOutIsTerminal();
    commandLine_ = ProcessCommandLine();
    buildCommand_.SetBits(Req::Flags, kInitialBuildFlags);
    buildCommand_.SetStr(Req::SlnConsoleCommandLine, commandLine_);
    buildCommand_.SetInt(Req::ConsoleOutputCodePage, platform::ConsoleOutputCodePage());
}

TGridConsole::~TGridConsole() {
    try {
        FlushStandard();
    } catch (...) {
        // A failed write to a standard handle is ignored.
    }
    outStream_.reset();
    logStream_.reset();
    // An attached proxy waits here until Tasksmith has ended.
    buildProxy_.reset();
    serviceStatus_.reset();
    servicePipe_.reset();
    retryClock_.reset();
    options_.Clear();
    TNotifyQueue::Main().ClearQueue(this);
}

void TGridConsole::Fatal(const std::string& message) {
    silent_ = false;
    WriteLine("Fatal Error: " + message);
    Finish(3);
}

void TGridConsole::ServiceDisconnected() {
    WriteLine("\r\nConnection to build service terminated");
    Finish(3);
}

void TGridConsole::ReadExitCodeBase() {
    std::string value;
    if (FindCommandLineValue("exitcodebase", value)) {
        SetExitCodeBase(platform::ParseInteger<int>(value).value_or(kDefaultExitCodeBase));
    }
}

bool TGridConsole::NestedJobGuard() {
    if (GetEnv(kNestedJobVariable) == "1") {
        Fatal("An Orvane distributed job cannot be started from within another distributed job.");
        return false;
    }
    SetEnv(kNestedJobVariable, "1");
    return true;
}

bool TGridConsole::ParseCommandLine() {
    TCRTCmdLineTokenizer tokenizer(commandLine_);
    std::vector<std::string> tokens = tokenizer.Arguments();
    if (!tokens.empty()) {
        tokens.erase(tokens.begin());
    }
    TStringListEx extra;
    extra.AddWords(GetEnv(kExtraParamsVariable));
    for (int i = 0; i < extra.Count(); ++i) {
        tokens.push_back(extra.At(i));
    }
    for (const std::string& token : tokens) {
        if (token.size() > 5 && token[0] == '/' && SameTextAscii(token.substr(0, 6), "/test=")) {
            modeFlags_ |= TestMode;
        }
    }
    tokenCount_ = static_cast<int>(tokens.size());

    bool optionFileRead = false;
    for (int i = 0; i < tokenCount_; ++i) {
        if (tokens[static_cast<size_t>(i)].empty() || tokens[static_cast<size_t>(i)][0] != '@') {
            continue;
        }
        TStringListEx lines;
        lines.AddLines(ReadFileText(tokens[static_cast<size_t>(i)].substr(1), 0));
        for (int l = 0; l < lines.Count(); ++l) {
            for (std::string& token : TokenizeCommandLine(lines.At(l))) {
                tokens.push_back(std::move(token));
            }
        }
        tokens[static_cast<size_t>(i)].clear();
        optionFileRead = true;
    }

    positionalCount_ = 0;
    for (const std::string& token : tokens) {
        if (token.empty()) {
            continue;
        }
        if (token[0] == '/' || token[0] == '-') {
            // An absolute path also begins with "/": a "/" before the first "=" (or anywhere
            // without one) marks a job file, since no switch name contains "/".
            size_t eq = token.find('=');
            std::string_view head = std::string_view(token).substr(
                1, eq == std::string::npos ? std::string::npos : eq - 1);
            if (token[0] == '-' || head.find('/') == std::string_view::npos) {
                options_.Add(token.substr(1));
                continue;
            }
        }
        ++positionalCount_;
        buildCommand_.SetStr(Req::PrimaryFilename, token);
    }
    return optionFileRead;
}

bool TGridConsole::TakeBareSwitch(const std::string& name) {
    return options_.RemoveString(name) >= 0;
}

bool TGridConsole::TakeValuedSwitch(const std::string& name, std::string& value) {
    if (options_.FindName(name) < 0) {
        return false;
    }
    value = options_.ValueOf(name);
    options_.RemoveName(name);
    return true;
}

bool TGridConsole::ConnectToService() {
    servicePipe_ = std::make_unique<TLocalCommPipe>(ServiceGuid(), kServiceSectionSize,
                                                    kBuildServiceName, SessionGlobal);
    servicePipe_->OnTerminate().push_back(TMethod::Of<&TGridConsole::ServiceDisconnected>(this));
    servicePipe_->CheckConnected();
    // An agent that cannot open our reply channel would leave every request to its timeout.
    refusal_ = AgentRefusal();
    if (!refusal_.empty()) {
        return false;
    }
    std::unique_ptr<TPacket> reply = servicePipe_->Request(TQueryServiceStatusPacket());
    if (dynamic_cast<TQueryServiceStatusReplyPacket*>(reply.get()) == nullptr) {
        return false;
    }
    serviceStatus_.reset(static_cast<TQueryServiceStatusReplyPacket*>(reply.release()));
    return true;
}

std::string TGridConsole::AgentRefusal() {
    return AgentRefusalMessage();
}

void TGridConsole::RunCommand() {
    ReadExitCodeBase();
    if (!NestedJobGuard()) {
        return;
    }
    startDirectory_ = CurrentDirectory();
    ParseCommandLine();

    try {
        if (!StageA_GlobalOverrides()) {
            return;
        }
    } catch (...) {
        Fatal(ExceptionMessage(std::current_exception()));
        return;
    }
    if (!StageB_ConsoleSwitches()) {
        return;
    }
    if (!noLogo_ && !silent_) {
        ShowBanner();
    }
    bool help = TakeBareSwitch("?");
    help = TakeBareSwitch("help") || help;
    if (help || tokenCount_ == 0) {
        ShowUsage();
        Finish(0);
        return;
    }

    serviceReached_ = false;
    refusal_.clear();
    try {
        serviceReached_ = ConnectToService();
    } catch (...) {
        // Whatever went wrong, the service counts as not running; the pipe, if made, stays.
        serviceReached_ = false;
        serviceStatus_.reset();
    }
    if (!refusal_.empty()) {
        Fatal(refusal_);
        return;
    }
    if (TakeBareSwitch("queryagentstatus")) {
        ShowAgentStatus(serviceReached_);
        Finish(0);
        return;
    }
    if (!serviceReached_) {
        WriteLine("Processing is unable to continue due to the Agent Service is not running.");
        Finish(3);
        return;
    }
    if (TakeBareSwitch("clearbuildcache")) {
        ClearBuildCache();
        return;
    }
    if (!StageC_ServiceSwitches()) {
        return;
    }
    bool management = enableSwitch_ || disableSwitch_ || resetSwitch_ || stopSwitch_ ||
                      stopAllSwitch_ || listSwitch_;
    if (management) {
        if (!PrimaryFilename().empty()) {
            Fatal("A filename to build cannot be specified with /ENABLE, /DISABLE, /RESET, /STOP");
            return;
        }
    } else {
        if (positionalCount_ > 1) {
            Fatal("Only one filename to build can be specified");
            return;
        }
        if (!StageD_BuildTarget() || !StageE_BuildOptions()) {
            return;
        }
    }
    if (!StageF_CommonOptions()) {
        return;
    }
    if (options_.Count() > 0) {
        Fatal("Invalid/conflicting options specified: " + options_.ToCommaText());
        return;
    }
    buildCommand_.SetStr(Req::EnvBlock,
                         WideToCodePage(EnvironmentBlockText(), SystemAnsiCodePage()));
    // Terminals handle escape sequences already, so there is no output mode to switch on.
    QZ_ASSERT(!servicePipe_ || servicePipe_->State() == psConnected);
    if (enableSwitch_) {
        EnableAgent();
    } else if (disableSwitch_) {
        DisableAgent();
    } else if (resetSwitch_) {
        ResetAgentCache();
    } else if (stopSwitch_) {
        StopRequestedBuild();
    } else if (stopAllSwitch_) {
        StopAllBuilds();
    } else if (listSwitch_) {
        ListBuilds();
    } else {
        DispatchBuild();
    }
}

void ConsoleMain(int argc, char** argv) {
    platform::SetProcessArguments(argc, argv);
    try {
        TGridConsole console("Orvane Console", CustomToolsMode);
        // The program, unlike a console inside another program, owns all its children.
        console.SetReapBuildProcesses(true);
        try {
            console.RunCommand();
            TNotifyQueue::Main().Run();
        } catch (...) {
            Finish(3);
            throw;
        }
    } catch (...) {
        std::string line = "Fatal Error: " + ExceptionMessage(std::current_exception()) + "\n";
        std::fputs(line.c_str(), stdout);
        g_processExitCode = 3;
    }
    std::fflush(stdout);
    platform::ExitProcessNow(ProcessExitStatus(g_processExitCode));
}

} // namespace qz::nv
