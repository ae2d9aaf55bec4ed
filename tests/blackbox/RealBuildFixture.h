#pragma once

// The fixture of builds as a user runs them: the real console, the real agent service (qzagentd,
// started and stopped by each test in the test's own folder) and the real Tasksmith. Every
// process of a build carries a marker in its environment, so the tests can count the build's
// processes and check that none is left behind, whatever was killed.

#include "TestSupport.h"
#include "platform/ServiceProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>

namespace qz::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kMarkName = "QZ_REAL_BUILD_MARK";

// The processes (not zombies) whose environment holds the marker; with their command names.
inline std::vector<std::pair<int, std::string>> MarkedProcesses(const std::string& mark) {
    std::vector<std::pair<int, std::string>> found;
    const std::string entry = std::string(kMarkName) + "=" + mark;
    std::error_code error;
    for (const auto& item : fs::directory_iterator("/proc", error)) {
        std::string name = item.path().filename();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
            continue;
        }
        std::string environ = ReadFile("/proc/" + name + "/environ").value_or("");
        std::size_t at = 0;
        bool marked = false;
        while (at < environ.size()) {
            std::size_t end = environ.find('\0', at);
            if (end == std::string::npos) {
                end = environ.size();
            }
            if (environ.compare(at, end - at, entry) == 0) {
                marked = true;
                break;
            }
            at = end + 1;
        }
        if (marked) {
            std::string comm = ReadFile("/proc/" + name + "/comm").value_or("");
            if (!comm.empty() && comm.back() == '\n') {
                comm.pop_back();
            }
            found.emplace_back(std::stoi(name), comm);
        }
    }
    return found;
}

inline std::string Names(const std::vector<std::pair<int, std::string>>& processes) {
    std::string text;
    for (const auto& [pid, comm] : processes) {
        text += std::to_string(pid) + ":" + comm + " ";
    }
    return text;
}

class RealBuildFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "obj");
        fs::create_directories(dir_ / "reg");
        fs::create_directories(dir_ / "agent");
        fs::create_directories(dir_ / "work");
        fs::create_symlink(QZ_TASKSMITH_PATH, dir_ / "agent/Tasksmith");
        prefix_ = UniqueName("real");
        mark_ = prefix_;
        options_.cwd = dir_ / "work";
        options_.env["TamrelRegistryRoot"] = dir_ / "reg";
        options_.env["TamrelObjectDir"] = dir_ / "obj";
        options_.env["TamrelObjectPrefix"] = prefix_;
        options_.env["TamrelBuildContext"] = std::nullopt;
        options_.env["qzConsoleParams"] = std::nullopt;
        options_.env[kMarkName] = mark_;
    }

    void TearDown() override {
        StopAgent();
        // Nothing of any build outlives its test.
        bool none = WaitUntil([&] { return MarkedProcesses(mark_).empty(); }, 15s);
        EXPECT_TRUE(none) << "left behind: " << Names(MarkedProcesses(mark_));
        for (const auto& [pid, comm] : MarkedProcesses(mark_)) {
            kill(pid, SIGKILL);
        }
    }

    // The agent with this many build slots, until the test ends.
    void StartAgent(int slots) {
        WriteFile(dir_ / "reg/HKLM.reg",
                  "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" + dir_ / "agent" +
                      "\"\n\"MaxConcurrentBuilds\"=dword:0000000" + std::to_string(slots) + "\n");
        RunOptions options = options_;
        options.env.erase(kMarkName);
        agent_ = StartProgram({QZ_AGENT_PATH, "--foreground"}, options);
        ASSERT_GT(agent_, 0);
        const std::string lock = dir_ / ("obj/qzagentd-" + prefix_ + ".lock");
        bool ready = WaitUntil(
            [&] {
                if (ChildEnded(agent_)) {
                    return true;
                }
                auto state = platform::InstanceLock::ReadHolderState(lock);
                return state && state->find("ready") != std::string::npos;
            },
            15s);
        ASSERT_TRUE(ready && !ChildEnded(agent_)) << "the agent did not become ready";
    }

    void StopAgent() {
        if (agent_ > 0) {
            StopChild(agent_);
            EXPECT_EQ(WaitChild(agent_, 15s), 0);
            agent_ = -1;
        }
    }

    // The object files of this test left in its object folder, the thread-identity objects
    // (kept until reboot) excepted.
    std::vector<std::string> ObjectsLeft() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_ / "obj")) {
            std::string name = entry.path().filename();
            if (name.rfind(prefix_ + ".", 0) == 0 &&
                name.find("Tamrel_Session") == std::string::npos) {
                names.push_back(name);
            }
        }
        return names;
    }

    std::vector<std::string> ConsoleArgs(std::vector<std::string> args) const {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        args.push_back("/NOLOGO");
        return args;
    }

    RunResult Run(std::vector<std::string> args, std::chrono::milliseconds limit = 60s) {
        RunOptions options = options_;
        options.timeout = limit;
        RunResult result = RunProgram(ConsoleArgs(std::move(args)), options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    // A console in the background, its output going to <name>.out and <name>.err in the test
    // folder; its pid (the shell execs the console).
    int Start(const std::string& name, std::vector<std::string> args) {
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         "exec \"$0\" \"$@\" >'" + dir_ / (name + ".out") +
                                             "' 2>'" + dir_ / (name + ".err") + "'"};
        for (const std::string& arg : ConsoleArgs(std::move(args))) {
            argv.push_back(arg);
        }
        int pid = StartProgram(argv, options_);
        EXPECT_GT(pid, 0);
        return pid;
    }

    std::string Output(const std::string& name) const {
        return ReadFile(dir_ / (name + ".out")).value_or("");
    }

    // Waits until the background console's output holds the text.
    bool WaitForOutput(const std::string& name, const std::string& text,
                       std::chrono::milliseconds limit = 30s) {
        return WaitUntil([&] { return Output(name).find(text) != std::string::npos; }, limit);
    }

    int TasksmithCount() const {
        int count = 0;
        for (const auto& [pid, comm] : MarkedProcesses(mark_)) {
            count += comm == "Tasksmith";
        }
        return count;
    }

    int TasksmithPid() const {
        for (const auto& [pid, comm] : MarkedProcesses(mark_)) {
            if (comm == "Tasksmith") {
                return pid;
            }
        }
        return -1;
    }

    TempDir dir_;
    std::string prefix_;
    std::string mark_;
    RunOptions options_;
    int agent_ = -1;
};

} // namespace qz::test
