// The build cache as a build meets it: the real service (qzbuildcached, with its own redis-server)
// under the project's own supervision, and the real Tasksmith running job files whose tasks are
// cacheable. The test plays the console's side of Tasksmith's start, as TasksmithTest does.

#include "CM/BuildCommandPackets.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "CacheProtocol.h"
#include "NV/BuildCacheHelper.h"
#include "NV/BuildFlags.h"
#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/NamedObjects.h"
#include "platform/ServiceControl.h"
#include "platform/WaitAny.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <httplib.h>
#include <map>
#include <regex>
#include <thread>

namespace qz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr const char* kCacheService = "Orvane BuildCache";

struct Build {
    int exitCode = -1;
    std::string err;
    std::vector<std::unique_ptr<TPacket>> events;

    std::string Text() const {
        std::string all;
        for (const auto& e : events) {
            if (e->ClassName() == "TMonitorEventOutputPacket") {
                all += e->Str(TMonitorEventOutputPacket::Text) +
                       e->Str(TMonitorEventOutputPacket::ErrText) + "\n";
            }
        }
        return all;
    }
    std::size_t Count(const std::string& name) const {
        std::size_t n = 0;
        for (const auto& e : events) {
            n += e->ClassName() == name ? 1 : 0;
        }
        return n;
    }
};

// A port nobody listens on now (the probe server binds it, serves, and closes it again).
int FreePort() {
    httplib::Server probe;
    int port = probe.bind_to_any_port("127.0.0.1");
    std::thread serve([&] { probe.listen_after_bind(); });
    auto deadline = Clock::now() + 10s;
    while (!probe.is_running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    probe.stop();
    serve.join();
    return port;
}

std::map<std::string, std::string> Contents(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::exists(folder)) {
        return files;
    }
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder)] = test::ReadFile(entry.path()).value_or("");
        }
    }
    return files;
}

class BuildCacheBlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterAllPacketClasses();
        platform::SetObjectDirectory(dir_.path());
        for (const char* folder : {"agent/resources", "temp", "work", "programdata"}) {
            fs::create_directories(dir_ / folder);
        }
        // The service, its supervision, the clean and Tasksmith read these.
        registryRoot_ = std::make_unique<test::ScopedEnv>("TamrelRegistryRoot", dir_.path());
        programData_ = std::make_unique<test::ScopedEnv>("PROGRAMDATA", dir_ / "programdata");
        port_ = FreePort();
        ASSERT_GT(port_, 0);
        pidFile_ = dir_ / "cache.pid";
        test::WriteFile(dir_ / "HKLM.reg",
                        "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                            dir_ / "agent" + "\"\n\"TempDir\"=\"" + dir_ / "temp" +
                            "\"\n[SOFTWARE\\Tamrel\\Services\\orvane-buildcache]\n\"PidFile\"=\"" +
                            pidFile_ + "\"\n\"Start\"=\"" QZ_BUILDCACHED_PATH + " --pid-file " +
                            pidFile_ + " >>" + dir_ / "service.log" + " 2>&1\"\n");
        WriteConfig();
    }
    void TearDown() override {
        StopCache();
        programData_.reset();
        registryRoot_.reset();
        platform::SetObjectDirectory("");
    }

    void WriteConfig(const std::string& extra = "") {
        test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json",
                        "{\"service\":{\"port\":" + std::to_string(port_) +
                            "},\"localRedisInstance\":{\"port\":0,\"dbLocation\":\"" + dir_ / "db" +
                            "\"},\"fileSystem\":{\"cacheDirectoryLocation\":\"" + dir_ / "cache" +
                            "\"}" + extra + "}");
    }

    platform::ServiceState WaitState(platform::ServiceState wanted) {
        auto deadline = Clock::now() + 20s;
        platform::ServiceState state = platform::QueryServiceState(kCacheService);
        while (state != wanted && Clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            state = platform::QueryServiceState(kCacheService);
        }
        return state;
    }

    void StartCache() {
        ASSERT_TRUE(platform::StartService(kCacheService).ok());
        ASSERT_EQ(WaitState(platform::ServiceState::Running), platform::ServiceState::Running)
            << test::ReadFile(dir_ / "service.log").value_or("");
        httplib::Client client("127.0.0.1", port_);
        auto deadline = Clock::now() + 20s;
        while (Clock::now() < deadline) {
            if (auto r = client.Get("/v1/stats"); r && r->status == 200) {
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        FAIL() << "the cache service does not answer; its log: "
               << test::ReadFile(dir_ / "service.log").value_or("");
    }

    void StopCache() {
        platform::ServiceState state = platform::QueryServiceState(kCacheService);
        if (state == platform::ServiceState::Stopped ||
            state == platform::ServiceState::NotInstalled) {
            return;
        }
        platform::StopService(kCacheService);
        if (WaitState(platform::ServiceState::Stopped) != platform::ServiceState::Stopped) {
            int pid = std::atoi(test::ReadFile(pidFile_).value_or("0").c_str());
            if (pid > 0) {
                kill(pid, SIGKILL);
            }
            ADD_FAILURE() << "the cache service did not stop";
        }
    }

    // The stats sample with every task cacheable, in work/.
    std::string SampleJob() {
        fs::copy(QZ_EXAMPLES_DIR "/stats", dir_ / "work",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::remove_all(dir_ / "work/build");
        std::string job = test::ReadFile(dir_ / "work/job.xml").value_or("");
        return std::regex_replace(job, std::regex("<task "), "<task cache=\"true\" ");
    }

    Build Run(const std::string& xml, const std::string& workFolder = "work",
              std::uint64_t extraFlags = 0) {
        TGuid id = NewGuid();
        std::string idText = GuidToText(id);
        test::WriteFile(dir_ / (workFolder + "/job.xml"), xml);
        TBuildCommandPacket request;
        request.SetGuid(TBuildCommandPacket::BuildID, id);
        request.SetBits(TBuildCommandPacket::Flags,
                        nv::kInitialBuildFlags | (1ULL << nv::bfBuildCacheOverride) | extraFlags);
        request.SetBool(TBuildCommandPacket::UseLocalBuildCache, true);
        request.SetBool(TBuildCommandPacket::BuildCacheReadOnly, readOnly_);
        request.SetStr(TBuildCommandPacket::CurDir, dir_ / workFolder);
        request.SetStr(TBuildCommandPacket::PrimaryFilename, dir_ / (workFolder + "/job.xml"));
        std::string block = std::string("PATH=/usr/bin:/bin") + '\0' + '\0';
        request.SetStr(TBuildCommandPacket::EnvBlock, block);
        TVirtualStream stream;
        request.SaveToStream(stream, nullptr, 0);
        EXPECT_EQ(platform::WritePrivateFile(dir_ / ("temp/" + idText + ".nv_bld_cmd"),
                                             stream.AsString()),
                  0);
        const std::string name = "Orvane_Build_" + idText;
        std::unique_ptr<platform::Event> start;
        EXPECT_EQ(platform::Event::Create(name + "_Start_SyncWithProxyEvent", true, false,
                                          platform::ObjectAccess::Private, start),
                  0);
        platform::File errFile;
        platform::FileOpenRequest open;
        open.access = platform::FileAccess::Write;
        open.disposition = platform::FileDisposition::CreateAlways;
        EXPECT_FALSE(errFile.Open(dir_ / (workFolder + ".err"), open));
        platform::ChildProcess process;
        platform::ChildStartOptions options;
        options.arguments = {QZ_TASKSMITH_PATH, "/id=" + idText};
        options.newSession = true;
        std::vector<std::string> env = platform::EnvironmentEntries();
        env.push_back("TamrelRegistryRoot=" + dir_.path());
        env.push_back("TamrelObjectDir=" + dir_.path());
        options.environment = env;
        options.stdErr = errFile.Handle();
        options.stdOut = errFile.Handle();
        Build build;
        EXPECT_EQ(process.Start(options), 0);
        platform::Waitable* startWait = start.get();
        EXPECT_EQ(platform::WaitAny(&startWait, 1, false, 30000).status,
                  platform::WaitStatus::Signaled);
        std::unique_ptr<platform::Mutex> owner;
        EXPECT_EQ(platform::Mutex::Create(name + "_OwnerTermination",
                                          platform::ObjectAccess::Private, owner),
                  0);
        EXPECT_EQ(owner->Acquire(0).status, platform::WaitStatus::Signaled);
        std::unique_ptr<platform::Event> attached;
        EXPECT_EQ(platform::Event::Open(name + "_OwnerAttachedEvent", attached), 0);
        attached->Set();
        if (!process.Wait(120000)) {
            platform::SignalProcessGroup(process.Pid(), platform::ProcessSignal::Kill);
            process.Wait(5000);
            ADD_FAILURE() << "Tasksmith did not end in time";
        }
        build.exitCode = process.ExitCode().value_or(-1);
        errFile.Close();
        build.err = test::ReadFile(dir_ / (workFolder + ".err")).value_or("");
        for (const auto& day : fs::directory_iterator(dir_ / "agent/History/Local")) {
            std::string file = day.path().string() + "/" + idText + ".nv_mon";
            if (fs::exists(file)) {
                TMonitorFile monitor = OpenMonitorFile(file);
                build.events = ReadMonitorEvents(*monitor.Events);
            }
        }
        return build;
    }

    test::TempDir dir_;
    std::unique_ptr<test::ScopedEnv> registryRoot_;
    std::unique_ptr<test::ScopedEnv> programData_;
    int port_ = 0;
    std::string pidFile_;
    bool readOnly_ = false;
};

TEST_F(BuildCacheBlackBox, TheSecondBuildIsAllHitsWithIdenticalOutputs) {
    StartCache();
    std::string job = SampleJob();
    Build cold = Run(job);
    ASSERT_EQ(cold.exitCode, 0) << cold.Text() << cold.err;
    EXPECT_THAT(cold.Text(), HasSubstr("Build cache: 0 hits, 14 misses, 14 stored"));
    auto built = Contents(dir_ / "work/build");
    ASSERT_EQ(built.size(), 14u);

    fs::remove_all(dir_ / "work/build");
    Build warm = Run(job);
    ASSERT_EQ(warm.exitCode, 0) << warm.Text() << warm.err;
    EXPECT_THAT(warm.Text(), HasSubstr("Build cache: 14 hits, 0 misses"));
    EXPECT_EQ(warm.Count("TMonitorEventBuildCacheRestorePacket"), 14u);
    EXPECT_EQ(warm.Count("TMonitorEventBeginStepPacket"), 0u);
    EXPECT_EQ(warm.Count("TMonitorEventBuildCacheSummaryPacket"), 1u);
    for (const auto& e : warm.events) {
        if (e->ClassName() == "TMonitorEventBCBarUpdatePacket") {
            EXPECT_EQ(e->Int(e->FieldIndex("Retrievals")), 14);
            EXPECT_EQ(e->Int(e->FieldIndex("Updates")), 0);
        }
        if (e->ClassName() == "TMonitorEventBuildCacheSummaryPacket") {
            ASSERT_EQ(e->Strings(e->FieldIndex("Lines")).Count(), 1);
            EXPECT_THAT(e->Strings(e->FieldIndex("Lines"))[0], HasSubstr("14 hits"));
        }
        if (e->ClassName() == "TMonitorEventBuildCacheRestorePacket") {
            EXPECT_GE(e->Int(e->FieldIndex("OriginalDuration")), 0);
            EXPECT_GT(e->Int(e->FieldIndex("TaskID")), 0);
        }
    }
    EXPECT_EQ(Contents(dir_ / "work/build"), built);
    // The restored program still runs.
    EXPECT_TRUE(fs::status(dir_ / "work/build/stats").permissions() != fs::perms::none);
    test::RunResult stats = test::RunProgram({dir_ / "work/build/stats", "--help"});
    EXPECT_NE(stats.exitCode, 126) << "the restored program lost its execute bit";

    // Changing one source reruns exactly the tasks that depend on it.
    std::string source = test::ReadFile(dir_ / "work/src/sum.c").value_or("");
    test::WriteFile(dir_ / "work/src/sum.c", source + "\nint qz_cache_test_marker = 1;\n");
    fs::remove_all(dir_ / "work/build");
    Build changed = Run(job);
    ASSERT_EQ(changed.exitCode, 0) << changed.Text();
    EXPECT_THAT(changed.Text(), HasSubstr("Build cache: 12 hits, 2 misses, 2 stored"));
    EXPECT_THAT(changed.Text(), HasSubstr("Compiling sum.c"));
}

// A one-task job whose output and printed line the cache restores.
const char* const kSmallJob = R"(<job>
  <task id="a" cache="true"><shell>printf 'hello\n' > a.txt; echo made a</shell><output>a.txt</output></task>
</job>)";

TEST_F(BuildCacheBlackBox, ADamagedBlobIsDetectedAndRebuilt) {
    StartCache();
    ASSERT_EQ(Run(kSmallJob).exitCode, 0);
    std::string hash = buildcache::HashBytes("hello\n");
    std::string blob = dir_ / ("cache/FileCache/" + hash.substr(0, 2) + "/" + hash);
    ASSERT_TRUE(fs::exists(blob));
    test::WriteFile(blob, "HELLO\n");
    fs::remove(dir_ / "work/a.txt");
    Build damaged = Run(kSmallJob);
    ASSERT_EQ(damaged.exitCode, 0) << damaged.Text();
    EXPECT_THAT(damaged.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));
    EXPECT_EQ(test::ReadFile(dir_ / "work/a.txt").value_or(""), "hello\n");
    fs::remove(dir_ / "work/a.txt");
    Build again = Run(kSmallJob);
    EXPECT_THAT(again.Text(), HasSubstr("Build cache: 1 hits, 0 misses"));
    EXPECT_THAT(again.Text(), HasSubstr("made a"));
    EXPECT_EQ(test::ReadFile(dir_ / "work/a.txt").value_or(""), "hello\n");
}

TEST_F(BuildCacheBlackBox, AServiceThatStopsMidBuildLeavesACorrectBuildAndOneLine) {
    StartCache();
    // The second task stops the service; the third and fourth then find it gone.
    const std::string job = std::string(R"(<job slots="1">
  <task id="a" cache="true"><shell>echo a > a.txt</shell><output>a.txt</output></task>
  <task id="stop" depends="a"><shell>kill $(head -n 1 )") +
                            pidFile_ + R"(); sleep 1</shell></task>
  <task id="b" cache="true" depends="stop"><shell>echo b > b.txt</shell><output>b.txt</output></task>
  <task id="c" cache="true" depends="b"><shell>echo c > c.txt</shell><output>c.txt</output></task>
</job>)";
    Build build = Run(job);
    ASSERT_EQ(build.exitCode, 0) << build.Text();
    EXPECT_EQ(test::ReadFile(dir_ / "work/c.txt").value_or(""), "c\n");
    std::string text = build.Text();
    std::size_t first = text.find("is unavailable");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("is unavailable", first + 1), std::string::npos) << "one line only";
    EXPECT_EQ(WaitState(platform::ServiceState::Stopped), platform::ServiceState::Stopped);
}

TEST_F(BuildCacheBlackBox, ABuildWithoutTheServiceRunsNormally) {
    Build build = Run(kSmallJob);
    ASSERT_EQ(build.exitCode, 0) << build.Text();
    EXPECT_THAT(build.Text(), HasSubstr("is unavailable"));
    EXPECT_EQ(test::ReadFile(dir_ / "work/a.txt").value_or(""), "hello\n");
}

TEST_F(BuildCacheBlackBox, TheCleanEmptiesTheCacheAndTheNextBuildMissesEverything) {
    StartCache();
    ASSERT_EQ(Run(kSmallJob).exitCode, 0);
    // What the console's /CLEARBUILDCACHE does: the agent stops the service, the console cleans,
    // the agent starts it again.
    StopCache();
    EXPECT_TRUE(fs::exists(dir_ / "db/dump.rdb")) << "the index is saved when the service stops";
    EXPECT_TRUE(nv::TBuildCacheHelper::ClearBuildCache());
    EXPECT_FALSE(fs::exists(dir_ / "cache/FileCache"));
    EXPECT_FALSE(fs::exists(dir_ / "cache/TaskExtraInfo.db"));
    EXPECT_FALSE(fs::exists(dir_ / "db/dump.rdb"));
    StartCache();
    fs::remove(dir_ / "work/a.txt");
    Build after = Run(kSmallJob);
    ASSERT_EQ(after.exitCode, 0);
    EXPECT_THAT(after.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));
}

TEST_F(BuildCacheBlackBox, ReadOnlyBuildsNeverStoreAndFailuresAreNeverStored) {
    StartCache();
    const std::string failing = R"(<job>
  <task id="f" cache="true"><shell>echo partial > f.txt; exit 3</shell><output>f.txt</output></task>
</job>)";
    EXPECT_EQ(Run(failing).exitCode, 3);
    fs::remove(dir_ / "work/f.txt");
    Build second = Run(failing);
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_THAT(second.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 0 stored"));
    // A task that does not make its declared output is not stored either.
    const std::string lying = R"(<job>
  <task id="l" cache="true"><shell>true</shell><output>never.txt</output></task>
</job>)";
    Build lie = Run(lying);
    EXPECT_EQ(lie.exitCode, 0);
    EXPECT_THAT(lie.Text(), HasSubstr("0 stored"));
    // A read-only build takes hits but stores nothing.
    readOnly_ = true;
    Build readOnly = Run(kSmallJob);
    EXPECT_THAT(readOnly.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 0 stored"));
    readOnly_ = false;
    fs::remove(dir_ / "work/a.txt");
    EXPECT_THAT(Run(kSmallJob).Text(), HasSubstr("1 stored"));
    fs::remove(dir_ / "work/a.txt");
    readOnly_ = true;
    EXPECT_THAT(Run(kSmallJob).Text(), HasSubstr("Build cache: 1 hits, 0 misses"));
}

TEST_F(BuildCacheBlackBox, ConcurrentBuildsSharingTheCacheStayCorrect) {
    StartCache();
    std::string job = SampleJob();
    fs::create_directories(dir_ / "work2");
    fs::copy(dir_ / "work", dir_ / "work2", fs::copy_options::recursive);
    Build first;
    std::thread other([&] { first = Run(job, "work2"); });
    Build second = Run(job, "work");
    other.join();
    ASSERT_EQ(first.exitCode, 0) << first.Text();
    ASSERT_EQ(second.exitCode, 0) << second.Text();
    EXPECT_EQ(Contents(dir_ / "work/build"), Contents(dir_ / "work2/build"));
    fs::remove_all(dir_ / "work/build");
    Build warm = Run(job);
    EXPECT_THAT(warm.Text(), HasSubstr("Build cache: 14 hits, 0 misses"));
}

TEST_F(BuildCacheBlackBox, TruncatedAndOversizedRequestsLeaveTheServiceServing) {
    StartCache();
    const std::string hash = buildcache::HashBytes("x");
    const std::string port = std::to_string(port_);
    for (std::string request :
         {"PUT /v1/blob/" + hash + " HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc",
          std::string("GET /v1/stats HTTP/1.1\r\nHost: ") + std::string(200000, 'x') + "\r\n\r\n",
          std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
          std::string("GET /v1/blob/..%2f..%2fetc%2fpasswd HTTP/1.1\r\nHost: x\r\n\r\n")}) {
        test::WriteFile(dir_ / "request.bin", request);
        test::RunResult r = test::RunProgram({"/usr/bin/timeout", "5", "/bin/bash", "-c",
                                              "exec 3<>/dev/tcp/127.0.0.1/" + port + "; cat " +
                                                  dir_ / "request.bin" + " >&3; exec 3>&-"});
        (void)r;
    }
    httplib::Client client("127.0.0.1", port_);
    auto reply = client.Get("/v1/stats");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_FALSE(fs::exists(dir_ / "cache/FileCache/tmp/x"));
}

} // namespace
} // namespace qz
