#pragma once

// The console: one object per run that turns the command line into one request (a build, a
// management command or the usage text), dispatches it, reports through WriteLine and ends the
// run with an exit code through Finish or Fatal.

#include "CM/EnvUtils.h"
#include "CM/Stream.h"
#include "CM/StringLists.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz::nv {

/// The consoles of the product family; this program always runs in custom-tools mode.
enum ModeFlag : std::uint8_t {
    SolutionMode = 0x01,
    CustomToolsMode = 0x02,
    MakeMode = 0x04,
    TestMode = 0x08,
};

/// The version text that follows the title.
inline constexpr const char* kConsoleVersion = "10.24.2 (build 14861)";

/// The default exit-code base of a valued switch that is not a number.
inline constexpr int kDefaultExitCodeBase = 10000;

/// Added to every nonzero exit code.
int ExitCodeBase();
void SetExitCodeBase(int value);

/// The process exit code: 0 for 0, otherwise code + ExitCodeBase().
void SetExitCode(int code);
int ProcessExitCode();

/// SetExitCode(code), then stops the main loop (a loop not yet started returns at once).
void Finish(int code);

class TGridConsole {
public:
    TGridConsole(const std::string& title, std::uint8_t modeFlags);
    ~TGridConsole();
    TGridConsole(const TGridConsole&) = delete;
    TGridConsole& operator=(const TGridConsole&) = delete;

    /// Turns the command line into one request and starts it. Returns when the request is
    /// dispatched; the run may already have been finished. May raise.
    void RunCommand();

    /// Writes one line to the build log, the redirection file or standard output/error.
    void WriteLine(const std::string& text, bool toStdErr = false);

    /// The console's own error path: "Fatal Error: " + message, then Finish(3). Does not unwind.
    void Fatal(const std::string& message);

    /// The service pipe's disconnect notification.
    void ServiceDisconnected();

    /// The brief usage message.
    void ShowUsage();

    /// The status report of the agent services; works without the service.
    void ShowAgentStatus(bool serviceReached);

    /// Loads the manager-client library beside the executable and asks it for the connection's
    /// health; returns the line's verdict and sets text to its detail.
    bool CheckManagerHealth(std::string& text);

    /// Splits the command line, "qzConsoleParams" and option files into Options; returns
    /// whether an option file was read.
    bool ParseCommandLine();

    const std::string& Title() const { return title_; }
    std::uint8_t ModeFlags() const { return modeFlags_; }
    TStringListEx& Options() { return options_; }
    const std::string& PrimaryFilename() const { return primaryFilename_; }
    int TokenCount() const { return tokenCount_; }
    int PositionalCount() const { return positionalCount_; }
    const std::string& StartDirectory() const { return startDirectory_; }

private:
    void ReadExitCodeBase();
    bool NestedJobGuard();

    // The stages that consume the option list, in the order RunCommand runs them. Each returns
    // false when it ended the run (through Fatal).
    bool StageA_GlobalOverrides();
    bool StageB_ConsoleSwitches();
    bool StageC_ServiceSwitches();
    bool StageD_BuildTarget();
    bool StageE_BuildOptions();
    bool StageF_CommonOptions();

    void ShowBanner();
    bool TakeBareSwitch(const std::string& name);
    bool ConnectToService();

    std::string title_;
    std::uint8_t modeFlags_;
    bool stdOutIsConsole_ = false;
    bool serviceReached_ = false;
    TStringListEx options_;
    std::string primaryFilename_;
    int tokenCount_ = 0;
    int positionalCount_ = 0;
    std::string startDirectory_;
    std::string commandLine_;

    bool noLogo_ = false;
    bool silent_ = false;
    bool enableSwitch_ = false;
    bool disableSwitch_ = false;
    bool resetSwitch_ = false;
    bool makeSwitch_ = false;
    bool stopSwitch_ = false;
    bool stopAllSwitch_ = false;
    bool listSwitch_ = false;
    bool wait_ = true;

    std::unique_ptr<TStream> logStream_;
    std::unique_ptr<TStream> outStream_;
    std::string outPath_;
    std::string logPath_;
    bool outEnabled_ = false;
    bool titleReady_ = false;
    std::string exitCodeBaseSwitch_;
    TModuleHandle managerLibrary_{};
};

/// The program entry's body: creates the console, runs the request and the main loop, and ends
/// the process with the exit code. Never returns.
[[noreturn]] void ConsoleMain(int argc, char** argv);

} // namespace qz::nv
