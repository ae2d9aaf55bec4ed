#pragma once

// Test support for the console's unit tests: a console whose agent service always answers and
// whose standard output and error are captured, and a fixture that runs it on a given argument
// vector inside a fresh current folder.

#include "CM/EnvUtils.h"
#include "GridConsoleCore.h"
#include "TestSupport.h"
#include "platform/ProcessInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qz::nv::testing {

/// A console that reaches its (absent) agent service and keeps what it writes to the standard
/// handles.
class TCapturingConsole : public TGridConsole {
public:
    explicit TCapturingConsole(const std::string& title = "Orvane Console")
        : TGridConsole(title, CustomToolsMode) {}

    bool serviceAnswers = true;
    std::string out;
    std::string err;

protected:
    bool ConnectToService() override { return serviceAnswers; }
    void WriteStandard(const std::string& line, bool toStdErr) override {
        (toStdErr ? err : out) += line;
    }
};

/// Runs consoles from argument vectors in a temporary current folder with a clean environment
/// and exit-code state.
class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        previousFolder_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        for (const char* name : {"qzConsoleParams", "TamrelBuildContext"}) {
            UnsetEnv(name);
        }
        SetExitCodeBase(0);
        SetExitCode(0);
    }

    void TearDown() override {
        std::filesystem::current_path(previousFolder_);
        for (const char* name : {"qzConsoleParams", "TamrelBuildContext"}) {
            UnsetEnv(name);
        }
        SetExitCodeBase(0);
        SetExitCode(0);
        platform::SetProcessArguments(std::vector<std::string>{});
    }

    /// A console made for the arguments (the program path is put first); /NOLOGO is added to
    /// keep the banner out of the test's output unless banner is set.
    std::unique_ptr<TCapturingConsole> Make(std::vector<std::string> args, bool banner = false) {
        args.insert(args.begin(), "/usr/bin/qzConsole");
        if (!banner) {
            args.push_back("/NOLOGO");
        }
        platform::SetProcessArguments(args);
        // Every run marks the environment as inside a distributed job.
        UnsetEnv("TamrelBuildContext");
        return std::make_unique<TCapturingConsole>();
    }

    /// Make, then RunCommand; exceptions leave it.
    std::unique_ptr<TCapturingConsole> Run(std::vector<std::string> args, bool banner = false) {
        auto console = Make(std::move(args), banner);
        console->RunCommand();
        return console;
    }

    /// A file below the temporary folder (created with the content).
    std::string File(const std::string& name, const std::string& content = "") {
        std::string path = dir_ / name;
        qz::test::WriteFile(path, content);
        return path;
    }

    qz::test::TempDir dir_;
    std::filesystem::path previousFolder_;
};

} // namespace qz::nv::testing
