#include "platform/ServiceControl.h"

#include "TestSupport.h"
#include "platform/RegistryStore.h"
#include "platform/posix/SystemdBus.h"
#include "platform/posix/SystemdUnitState.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace qz::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kService = "Orvane BuildCache";

TEST(ServiceControl, UnitNamesAndSupervisionKey) {
    EXPECT_EQ(ServiceUnitName(kService), "orvane-buildcache.service");
    EXPECT_EQ(ServiceUnitName("A B  C"), "a-b--c.service");
    EXPECT_EQ(SupervisedServiceKey(kService), "SOFTWARE\\Tamrel\\Services\\orvane-buildcache");
}

TEST(ServiceControl, SystemdStatesCoverEveryServiceState) {
    using detail::MapUnitState;
    EXPECT_EQ(MapUnitState("not-found", "inactive", ""), ServiceState::NotInstalled);
    EXPECT_EQ(MapUnitState("loaded", "active", ""), ServiceState::Running);
    EXPECT_EQ(MapUnitState("loaded", "reloading", "running"), ServiceState::Running);
    EXPECT_EQ(MapUnitState("loaded", "inactive", ""), ServiceState::Stopped);
    EXPECT_EQ(MapUnitState("loaded", "failed", ""), ServiceState::Stopped);
    EXPECT_EQ(MapUnitState("loaded", "deactivating", ""), ServiceState::StopPending);
    EXPECT_EQ(MapUnitState("loaded", "activating", ""), ServiceState::StartPending);
    EXPECT_EQ(MapUnitState("loaded", "active", "thawing"), ServiceState::ContinuePending);
    EXPECT_EQ(MapUnitState("loaded", "active", "freezing"), ServiceState::PausePending);
    EXPECT_EQ(MapUnitState("loaded", "active", "frozen"), ServiceState::Paused);
    EXPECT_EQ(MapUnitState("loaded", "maintenance", ""), ServiceState::Unknown);
    EXPECT_EQ(MapUnitState("", "", ""), ServiceState::Unknown);
}

TEST(ServiceControl, TheSystemdClientLibraryLoadsWithEveryFunctionUsed) {
    std::optional<Failure> failure = detail::SystemdLibraryFailure(detail::kSystemdLibrary);
    EXPECT_FALSE(failure.has_value()) << failure->Text();
}

TEST(ServiceControl, AMissingSystemdLibraryMeansNotInstalledWithAClearReason) {
    const std::string missing = "libqz-no-such-systemd.so.0";
    std::optional<Failure> failure = detail::SystemdLibraryFailure(missing);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->context.find(missing), std::string::npos) << failure->context;

    EXPECT_EQ(detail::QuerySystemdUnit(missing, "orvane-buildcache.service"),
              ServiceState::NotInstalled);
    for (const char* method : {"StartUnit", "StopUnit"}) {
        Result<> call = detail::CallSystemdUnit(missing, "orvane-buildcache.service", method);
        ASSERT_FALSE(call.has_value());
        EXPECT_EQ(call.error().code, ENOENT);
        EXPECT_NE(call.error().context.find("The service is not installed"), std::string::npos);
        EXPECT_NE(call.error().context.find(missing), std::string::npos) << call.error().context;
    }
}

TEST(ServiceControl, ALibraryWithoutTheBusFunctionsIsRefusedByName) {
    // libuuid loads but has none of the bus client's functions.
    std::optional<Failure> failure = detail::SystemdLibraryFailure("libuuid.so.1");
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->context.find("sd_bus_"), std::string::npos) << failure->context;
    EXPECT_EQ(detail::QuerySystemdUnit("libuuid.so.1", "x.service"), ServiceState::NotInstalled);
    EXPECT_FALSE(detail::CallSystemdUnit("libuuid.so.1", "x.service", "StartUnit").has_value());
}

class SupervisedService : public ::testing::Test {
protected:
    void SetUp() override {
        pidFile_ = dir_ / "cache.pid";
        Register("PidFile", pidFile_);
    }
    void TearDown() override {
        for (int pid : started_) {
            if (!test::ChildEnded(pid)) {
                test::KillChild(pid);
            }
        }
        if (holder_ > 0) {
            kill(holder_, SIGKILL);
        }
    }

    void Register(const std::string& name, const std::string& text) {
        Result<> status =
            RegistryStore::Update(RegistryRoot::LocalMachine, [&](RegistryDocument& document) {
                RegistryValue value;
                value.name = name;
                value.data = text;
                document.SetValue(SupervisedServiceKey(kService), value);
                return Result<>{};
            });
        ASSERT_TRUE(status) << status.error().Text();
    }

    // A forked service that locks the pid file, writes it and waits to be terminated.
    int StartHolder(const std::string& stateLine, const char* pidText = nullptr) {
        int pid = test::ForkChild([this, stateLine, pidText] {
            int fd = open(pidFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0 || ftruncate(fd, 0) != 0) {
                return 2;
            }
            std::string text =
                (pidText ? std::string(pidText) : std::to_string(getpid())) + "\n" + stateLine;
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                return 3;
            }
            alarm(60);
            pause();
            return 0;
        });
        started_.push_back(pid);
        return pid;
    }

    ServiceState WaitForState(ServiceState wanted, std::chrono::milliseconds deadline = 10s) {
        auto end = std::chrono::steady_clock::now() + deadline;
        ServiceState state = QueryServiceState(kService);
        while (state != wanted && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(10ms);
            state = QueryServiceState(kService);
        }
        return state;
    }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
    // No system bus: the supervision must answer on its own.
    test::ScopedEnv bus_{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_ / "no-bus"};
    std::string pidFile_;
    std::vector<int> started_;
    int holder_ = 0;
};

TEST_F(SupervisedService, WithoutSystemBusOrRegistrationTheServiceIsNotInstalled) {
    EXPECT_EQ(QueryServiceState("Some Other Service"), ServiceState::NotInstalled);
    Result<> start = StartService("Some Other Service");
    EXPECT_FALSE(start.has_value());
    EXPECT_FALSE(start.error().context.empty());
    EXPECT_FALSE(StopService("Some Other Service").has_value());
}

TEST_F(SupervisedService, PidFileStatesAndLeftovers) {
    EXPECT_EQ(QueryServiceState(kService), ServiceState::Stopped);

    const std::pair<const char*, ServiceState> cases[] = {
        {"", ServiceState::Running},
        {"running\n", ServiceState::Running},
        {"starting\n", ServiceState::StartPending},
        {"stopping", ServiceState::StopPending},
        {"pausing\n", ServiceState::PausePending},
        {"paused\n", ServiceState::Paused},
        {"continuing\n", ServiceState::ContinuePending},
        {"sleeping\n", ServiceState::Unknown},
    };
    for (const auto& [line, state] : cases) {
        unlink(pidFile_.c_str());
        int pid = StartHolder(line);
        EXPECT_EQ(WaitForState(state), state) << line;
        test::KillChild(pid);
        // The file stays behind, but nobody holds it any more.
        EXPECT_EQ(QueryServiceState(kService), ServiceState::Stopped) << line;
    }
}

TEST_F(SupervisedService, AHolderThatHasNotWrittenItsPidIsStarting) {
    // The text is a predecessor's (or garbage): the kernel's holder is not the pid written.
    for (const char* text : {"1", "12x", ""}) {
        unlink(pidFile_.c_str());
        int pid = StartHolder("", text);
        EXPECT_EQ(WaitForState(ServiceState::StartPending), ServiceState::StartPending) << text;
        // Stopping it reaches the holder, not the pid in the text.
        EXPECT_TRUE(StopService(kService).has_value());
        EXPECT_EQ(test::WaitChild(pid, 10s), 128 + SIGTERM) << text;
    }
}

TEST_F(SupervisedService, StopTerminatesTheHolder) {
    int pid = StartHolder("");
    ASSERT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    Result<> result = StopService(kService);
    EXPECT_TRUE(result.has_value()) << (result ? std::string() : result.error().context);
    EXPECT_EQ(test::WaitChild(pid, 10s), 128 + SIGTERM);
    EXPECT_EQ(QueryServiceState(kService), ServiceState::Stopped);
    // Stopping a stopped service is no error.
    EXPECT_TRUE(StopService(kService).has_value());
}

TEST_F(SupervisedService, StartRunsTheRegisteredCommandDetached) {
    EXPECT_EQ(test::FailureCode(StartService(kService)), ENOEXEC);
    Register("Start", std::string("'") + QZ_FAKE_SERVICE_PATH + "' '" + pidFile_ + "'");
    Result<> result = StartService(kService);
    ASSERT_TRUE(result.has_value()) << (result ? std::string() : result.error().context);
    ASSERT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    // The service is nobody's child here: its pid is read back from the file.
    holder_ = std::stoi(test::ReadFile(pidFile_).value_or("0"));
    EXPECT_GT(holder_, 0);
    // Starting a running service does not start a second one.
    EXPECT_TRUE(StartService(kService).has_value());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(std::stoi(test::ReadFile(pidFile_).value_or("0")), holder_);

    EXPECT_TRUE(StopService(kService).has_value());
    EXPECT_EQ(WaitForState(ServiceState::Stopped), ServiceState::Stopped);
    holder_ = 0;
}

} // namespace
} // namespace qz::platform
