#pragma once

// Test support for the console's unit tests: a console whose agent service answers and whose
// standard output and error are captured, run on an argument vector in a fresh current folder.

#include "CM/EnvUtils.h"
#include "GridConsoleCore.h"
#include "TestSupport.h"
#include "platform/ProcessInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace qz::nv::testing {

/// A console whose agent service is a function: requests go to agent (by default a status
/// reply that allows enabling and disabling, nothing for anything else), posts are recorded by
/// class name and count as sent unless postsFail, and the build cache service's state is
/// cacheState (changed by the stop and start posts as a service would).
class TCapturingConsole : public TGridConsole {
public:
    explicit TCapturingConsole(const std::string& title = "Orvane Console")
        : TGridConsole(title, CustomToolsMode) {}
    bool serviceAnswers = true;
    /// Whether RunCommand goes on to the build; the option tests stop before it.
    bool runBuild = false;
    /// Makes the proxy of each attempt when the build runs.
    std::function<std::unique_ptr<TBuildProxy>(TCapturingConsole&)> proxyFactory;
    /// Packets the console posted to the agent service (their class names in posts).
    std::vector<std::unique_ptr<TPacket>> posted;
    std::string out, err;
    std::function<std::unique_ptr<TPacket>(TPacket& request)> agent;
    std::vector<std::string> posts;
    std::vector<std::string> requests;
    bool postsFail = false;
    platform::ServiceState cacheState = platform::ServiceState::NotInstalled;
    bool cacheServiceObeys = true;
    /// The build cache service is the real one of the machine's supervision, and the agent
    /// stops and starts it as the agent service does.
    bool realCacheService = false;

    static std::unique_ptr<TPacket> StatusReply(bool allowEnableDisable = true) {
        auto reply = std::make_unique<TQueryServiceStatusReplyPacket>();
        reply->Nested(TQueryServiceStatusReplyPacket::StaticPacket)
            .SetBool(TStaticPacket::AllowEnableDisable, allowEnableDisable);
        return reply;
    }

protected:
    bool ConnectToService() override {
        if (!serviceAnswers) {
            return false;
        }
        std::unique_ptr<TPacket> reply =
            ServiceRequest(std::make_unique<TQueryServiceStatusPacket>());
        if (dynamic_cast<TQueryServiceStatusReplyPacket*>(reply.get()) == nullptr) {
            return false;
        }
        SetServiceStatus(std::unique_ptr<TQueryServiceStatusReplyPacket>(
            static_cast<TQueryServiceStatusReplyPacket*>(reply.release())));
        return true;
    }
    void DispatchBuild() override {
        if (runBuild) {
            TGridConsole::DispatchBuild();
        }
    }
    std::unique_ptr<TBuildProxy> NewBuildProxy() override {
        return proxyFactory ? proxyFactory(*this) : TGridConsole::NewBuildProxy();
    }
    std::string ServiceHostName() const override { return "buildhost"; }
    void WriteStandard(const std::string& line, bool toStdErr) override {
        (toStdErr ? err : out) += line;
    }
    std::unique_ptr<TPacket> ServiceRequest(std::unique_ptr<TPacket> request) override {
        requests.push_back(request->ClassName());
        if (agent) {
            return agent(*request);
        }
        if (dynamic_cast<TQueryServiceStatusPacket*>(request.get()) != nullptr) {
            return StatusReply();
        }
        return nullptr;
    }
    std::int64_t ServicePost(std::unique_ptr<TPacket> packet) override {
        if (postsFail) {
            return 0;
        }
        const std::string name = packet->ClassName();
        posts.push_back(name);
        posted.push_back(std::move(packet));
        if (realCacheService) {
            if (name == "TStopBCServicePacket") {
                platform::StopService(kBuildCacheServiceName);
            } else if (name == "TStartBCServicePacket") {
                platform::StartService(kBuildCacheServiceName);
            }
            return 1;
        }
        if (cacheServiceObeys && name == "TStopBCServicePacket" &&
            cacheState == platform::ServiceState::Running) {
            cacheState = platform::ServiceState::Stopped;
        }
        if (name == "TStartBCServicePacket") {
            cacheState = platform::ServiceState::Running;
        }
        return 1;
    }
    platform::ServiceState QueryCacheServiceState() override {
        return realCacheService ? TGridConsole::QueryCacheServiceState() : cacheState;
    }
};

class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        previousFolder_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        UnsetEnv("qzConsoleParams");
    }
    void TearDown() override {
        std::filesystem::current_path(previousFolder_);
        UnsetEnv("qzConsoleParams");
        UnsetEnv("TamrelBuildContext");
        SetExitCodeBase(0);
        SetExitCode(0);
        platform::SetProcessArguments(std::vector<std::string>{});
    }

    /// A console for the arguments after the program path; /NOLOGO keeps the banner out.
    std::unique_ptr<TCapturingConsole> Make(std::vector<std::string> args,
                                            const std::string& title = "Orvane Console") {
        args.insert(args.begin(), "/usr/bin/qzConsole");
        args.push_back("/NOLOGO");
        platform::SetProcessArguments(args);
        UnsetEnv("TamrelBuildContext"); // every run marks the environment
        SetExitCodeBase(0);
        SetExitCode(0);
        return std::make_unique<TCapturingConsole>(title);
    }
    std::unique_ptr<TCapturingConsole> Run(std::vector<std::string> args) {
        auto console = Make(std::move(args));
        console->RunCommand();
        return console;
    }
    /// The message of the exception a run raises, or "" when it raises none.
    std::string RunRaises(std::vector<std::string> args) {
        try {
            Run(std::move(args));
        } catch (const Exception& e) {
            return e.Message();
        }
        return "";
    }
    std::string File(const std::string& name, const std::string& content = "") {
        qz::test::WriteFile(dir_ / name, content);
        return dir_ / name;
    }
    std::string Read(const std::string& name) {
        return qz::test::ReadFile(dir_ / name).value_or("<missing>");
    }

    qz::test::TempDir dir_;
    std::filesystem::path previousFolder_;
};

} // namespace qz::nv::testing
