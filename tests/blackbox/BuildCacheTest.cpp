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

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <httplib.h>
#include <map>
#include <regex>
#include <thread>

namespace qz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
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
        WriteRegistry();
        WriteConfig();
    }
    void TearDown() override {
        StopCache();
        programData_.reset();
        registryRoot_.reset();
        platform::SetObjectDirectory("");
    }

    // The agent's folder and the service's supervision entry; serviceArgs are added to its
    // command line.
    void WriteRegistry(const std::string& serviceArgs = "") {
        test::WriteFile(dir_ / "HKLM.reg",
                        "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                            dir_ / "agent" + "\"\n\"TempDir\"=\"" + dir_ / "temp" +
                            "\"\n[SOFTWARE\\Tamrel\\Services\\orvane-buildcache]\n\"PidFile\"=\"" +
                            pidFile_ + "\"\n\"Start\"=\"" QZ_BUILDCACHED_PATH + " --pid-file " +
                            pidFile_ + serviceArgs + " >>" + dir_ / "service.log" + " 2>&1\"\n");
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
        ASSERT_TRUE(platform::StartService(kCacheService).has_value());
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
        if (!remote_.empty()) {
            request.SetStr(TBuildCommandPacket::RemoteBuildCacheServer, remote_);
        }
        request.SetStr(TBuildCommandPacket::CurDir, dir_ / workFolder);
        request.SetStr(TBuildCommandPacket::PrimaryFilename, dir_ / (workFolder + "/job.xml"));
        std::string block = std::string("PATH=/usr/bin:/bin") + '\0' + '\0';
        request.SetStr(TBuildCommandPacket::EnvBlock, block);
        TVirtualStream stream;
        request.SaveToStream(stream, nullptr, 0);
        EXPECT_TRUE(platform::WritePrivateFile(dir_ / ("temp/" + idText + ".nv_bld_cmd"),
                                               stream.AsString()));
        const std::string name = "Orvane_Build_" + idText;
        std::unique_ptr<platform::Event> start;
        EXPECT_EQ(test::Unpack(platform::Event::Create(name + "_Start_SyncWithProxyEvent", true,
                                                       false, platform::ObjectAccess::Private),
                               start),
                  0);
        platform::File errFile;
        platform::FileOpenRequest open;
        open.access = platform::FileAccess::Write;
        open.disposition = platform::FileDisposition::CreateAlways;
        EXPECT_TRUE(errFile.Open(dir_ / (workFolder + ".err"), open));
        platform::ChildProcess process;
        platform::ChildStartOptions options;
        options.arguments = {tasksmith_, "/id=" + idText};
        options.newSession = true;
        std::vector<std::string> env = platform::EnvironmentEntries();
        env.push_back("TamrelRegistryRoot=" + dir_.path());
        env.push_back("TamrelObjectDir=" + dir_.path());
        options.environment = env;
        options.stdErr = errFile.Handle();
        options.stdOut = errFile.Handle();
        Build build;
        EXPECT_TRUE(process.Start(options));
        if (whileRunning_) {
            whileRunning_(process.Pid());
        }
        platform::Waitable* startWait = start.get();
        EXPECT_EQ(platform::WaitAny(&startWait, 1, false, 30000).status,
                  platform::WaitStatus::Signaled);
        std::unique_ptr<platform::Mutex> owner;
        EXPECT_EQ(test::Unpack(platform::Mutex::Create(name + "_OwnerTermination",
                                                       platform::ObjectAccess::Private),
                               owner),
                  0);
        EXPECT_EQ(owner->Acquire(0).status, platform::WaitStatus::Signaled);
        std::unique_ptr<platform::Event> attached;
        EXPECT_EQ(test::Unpack(platform::Event::Open(name + "_OwnerAttachedEvent"), attached), 0);
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
    /// host:port of a cache service other than the local one.
    std::string remote_;
    /// Called with Tasksmith's pid once it started (it leads its own process group).
    std::function<void(int pid)> whileRunning_;
    /// The Tasksmith program the builds run.
    std::string tasksmith_ = QZ_TASKSMITH_PATH;

    std::string CacheStats() {
        httplib::Client client("127.0.0.1", port_);
        auto reply = client.Get("/v1/stats");
        return reply && reply->status == 200 ? reply->body : std::string();
    }
    std::size_t FilesIn(const fs::path& folder) {
        std::size_t n = 0;
        std::error_code error;
        for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            n += it->is_regular_file(error) ? 1 : 0;
        }
        return n;
    }
    int ServicePid() { return std::atoi(test::ReadFile(pidFile_).value_or("0").c_str()); }
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

TEST_F(BuildCacheBlackBox, ATasksmithWithoutItsHttpClientModuleBuildsWithoutTheCache) {
    // Tasksmith loads its HTTP client from beside itself only when a build uses a cache: a copy
    // of the program alone runs its builds, and says why the cache cannot be used.
    StartCache();
    fs::create_directories(dir_ / "bare");
    fs::copy_file(QZ_TASKSMITH_PATH, dir_ / "bare/Tasksmith");
    fs::permissions(dir_ / "bare/Tasksmith", fs::perms::owner_all);
    tasksmith_ = dir_ / "bare/Tasksmith";
    Build build = Run(kSmallJob);
    ASSERT_EQ(build.exitCode, 0) << build.Text() << build.err;
    EXPECT_THAT(build.Text(), HasSubstr("is unavailable"));
    EXPECT_THAT(build.Text(), HasSubstr("libqzcachehttp.so"));
    EXPECT_EQ(test::ReadFile(dir_ / "work/a.txt").value_or(""), "hello\n");
    // The program beside its module uses the cache as before.
    tasksmith_ = QZ_TASKSMITH_PATH;
    Build cached = Run(kSmallJob);
    ASSERT_EQ(cached.exitCode, 0) << cached.Text() << cached.err;
    EXPECT_THAT(cached.Text(), Not(HasSubstr("unavailable")));
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

// Flips one byte in the middle of a file, keeping its size.
void Damage(const std::string& path) {
    std::string bytes = test::ReadFile(path).value_or("");
    ASSERT_FALSE(bytes.empty());
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
    test::WriteFile(path, bytes);
}

TEST_F(BuildCacheBlackBox, ALargeOutputTravelsInPiecesAndADamagedOneIsCaught) {
    StartCache();
    // Larger than the piece size, so that both sides stream it.
    const std::string job = R"(<job>
  <task id="big" cache="true"><shell>head -c 6000000 /dev/urandom > big.bin; echo made big</shell><output>big.bin</output></task>
</job>)";
    Build first = Run(job);
    ASSERT_EQ(first.exitCode, 0) << first.Text() << first.err;
    EXPECT_THAT(first.Text(), HasSubstr("1 stored"));
    const std::string made = test::ReadFile(dir_ / "work/big.bin").value_or("");
    ASSERT_EQ(made.size(), 6000000u);
    const std::string hash = buildcache::HashBytes(made);
    const std::string blob = dir_ / ("cache/FileCache/" + hash.substr(0, 2) + "/" + hash);
    ASSERT_TRUE(fs::exists(blob));

    fs::remove(dir_ / "work/big.bin");
    Build hit = Run(job);
    ASSERT_EQ(hit.exitCode, 0) << hit.Text();
    EXPECT_THAT(hit.Text(), HasSubstr("Build cache: 1 hits, 0 misses"));
    EXPECT_THAT(hit.Text(), HasSubstr("made big"));
    EXPECT_TRUE(test::ReadFile(dir_ / "work/big.bin") == made) << "the restore differs";
    EXPECT_EQ(FilesIn(dir_ / "cache/FileCache/tmp"), 0u);

    // Damaged on disk: the service cuts the transfer off and removes it; the task runs again,
    // and the cache is not taken for unavailable.
    Damage(blob);
    fs::remove(dir_ / "work/big.bin");
    Build damaged = Run(job);
    ASSERT_EQ(damaged.exitCode, 0) << damaged.Text();
    EXPECT_THAT(damaged.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));
    EXPECT_THAT(damaged.Text(), Not(HasSubstr("unavailable")));
    EXPECT_FALSE(fs::exists(blob));
    EXPECT_THAT(CacheStats(), HasSubstr("\"damaged\":1"));
    // Nothing of the failed restore is left beside the output.
    for (const auto& entry : fs::directory_iterator(dir_ / "work")) {
        EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".qzcache-")));
    }
}

// A task whose 100 MB output takes a while to store.
const char* const kHugeJob = R"(<job>
  <task id="huge" cache="true"><shell>head -c 100000000 /dev/zero | tr '\0' 'q' > huge.bin</shell><output>huge.bin</output></task>
</job>)";

TEST_F(BuildCacheBlackBox, AStoreKilledHalfWayLeavesNoEntryThatPassesForGood) {
    StartCache();
    // Runs the job and, once the service receives the output, kills what kill names.
    auto buildAndKill = [&](const std::function<void(int tasksmith)>& kill) {
        std::atomic<bool> ended{false};
        std::atomic<bool> caught{false};
        std::thread watcher;
        whileRunning_ = [&](int pid) {
            watcher = std::thread([&, pid] {
                caught =
                    test::WaitUntil(
                        [&] { return ended || FilesIn(dir_ / "cache/FileCache/tmp") > 0; }, 60s) &&
                    !ended;
                if (caught) {
                    kill(pid);
                }
            });
        };
        Build build = Run(kHugeJob);
        ended = true;
        if (watcher.joinable()) {
            watcher.join();
        }
        whileRunning_ = nullptr;
        EXPECT_TRUE(caught) << "the store was not seen in progress";
        return build;
    };
    // Tasksmith killed while the service receives the output.
    Build killed = buildAndKill([](int pid) { ::kill(-pid, SIGKILL); });
    EXPECT_EQ(killed.exitCode, 128 + SIGKILL);
    // The service drops the half-received blob and stores no entry.
    EXPECT_TRUE(test::WaitUntil([&] { return FilesIn(dir_ / "cache/FileCache/tmp") == 0; }, 20s));
    EXPECT_THAT(CacheStats(), HasSubstr("\"entries\":0"));
    fs::remove(dir_ / "work/huge.bin");
    Build next = Run(kHugeJob);
    ASSERT_EQ(next.exitCode, 0) << next.Text();
    EXPECT_THAT(next.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));

    // The service killed while it receives: the build goes on without it, and the service's
    // next start leaves no trace of the write.
    StopCache();
    fs::remove_all(dir_ / "cache");
    fs::remove_all(dir_ / "db");
    StartCache();
    fs::remove(dir_ / "work/huge.bin");
    Build orphaned = buildAndKill([this](int) { ::kill(ServicePid(), SIGKILL); });
    ASSERT_EQ(orphaned.exitCode, 0) << orphaned.Text();
    EXPECT_THAT(orphaned.Text(), HasSubstr("is unavailable"));
    EXPECT_EQ(WaitState(platform::ServiceState::Stopped), platform::ServiceState::Stopped);
    StartCache();
    EXPECT_EQ(FilesIn(dir_ / "cache/FileCache/tmp"), 0u);
    EXPECT_THAT(CacheStats(), HasSubstr("\"entries\":0"));
    fs::remove(dir_ / "work/huge.bin");
    Build after = Run(kHugeJob);
    ASSERT_EQ(after.exitCode, 0) << after.Text();
    EXPECT_THAT(after.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));
    EXPECT_EQ(fs::file_size(dir_ / "work/huge.bin"), 100000000u);
}

TEST_F(BuildCacheBlackBox, BlobsThatNoEntryNamesAreSweptOnceOld) {
    WriteRegistry(" --unclaimed-age 1");
    StartCache();
    ASSERT_EQ(Run(kSmallJob).exitCode, 0);
    // A store that died after its blob and before its entry.
    const std::string orphan = "bytes of a store that died";
    const std::string hash = buildcache::HashBytes(orphan);
    httplib::Client client("127.0.0.1", port_);
    auto put = client.Put(("/v1/blob/" + hash).c_str(), orphan, "application/octet-stream");
    ASSERT_TRUE(put);
    ASSERT_EQ(put->status, 201);
    const std::string blob = dir_ / ("cache/FileCache/" + hash.substr(0, 2) + "/" + hash);
    ASSERT_TRUE(fs::exists(blob));
    // The cleaner takes it within a few of its rounds; the stored task's blob stays.
    EXPECT_TRUE(test::WaitUntil([&] { return !fs::exists(blob); }, 20s));
    EXPECT_THAT(CacheStats(), HasSubstr("\"unclaimed\":1"));
    fs::remove(dir_ / "work/a.txt");
    EXPECT_THAT(Run(kSmallJob).Text(), HasSubstr("Build cache: 1 hits, 0 misses"));

    // A file in a blob folder that the index does not know (a crash between its write and its
    // record) goes at the next start once old.
    StopCache();
    const std::string stray = buildcache::HashBytes("stray");
    fs::create_directories(dir_ / ("cache/FileCache/" + stray.substr(0, 2)));
    test::WriteFile(dir_ / ("cache/FileCache/" + stray.substr(0, 2) + "/" + stray), "stray");
    test::SleepMs(1100);
    StartCache();
    EXPECT_FALSE(fs::exists(dir_ / ("cache/FileCache/" + stray.substr(0, 2) + "/" + stray)));
}

TEST_F(BuildCacheBlackBox, AStopWhileTheIndexStartsEndsTheServiceAndItsIndex) {
    // An index server that never answers: the service waits for it, and a stop must not.
    const std::string fake = dir_ / "fake-redis";
    test::WriteFile(fake, "#!/bin/sh\necho $$ > " + dir_ / "fake.pid" + "\nexec sleep 120\n");
    fs::permissions(fake, fs::perms::owner_all);
    int service = test::StartProgram({QZ_BUILDCACHED_PATH, "--redis-server", fake});
    ASSERT_GT(service, 0);
    ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(dir_ / "fake.pid"); }, 20s));
    int fakePid = 0;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return (fakePid = std::atoi(test::ReadFile(dir_ / "fake.pid").value_or("").c_str())) >
                   0;
        },
        5s));
    test::StopChild(service);
    EXPECT_EQ(test::WaitChild(service, 8s), 0) << "the service did not end cleanly";
    // Its index server ended with it.
    EXPECT_TRUE(test::WaitUntil([&] { return kill(fakePid, 0) != 0; }, 10s));
}

// A cache service that answers only when the build shows that other tasks run meanwhile: a
// lookup waits for the file lookup-go, a blob's store for store-go (each within a deadline).
class SlowCache {
public:
    explicit SlowCache(const std::string& folder) : folder_(folder) {
        server_.Get(R"(/v1/entry/.*)", [this](const httplib::Request&, httplib::Response& r) {
            lookupReleased = test::WaitUntil([&] { return fs::exists(folder_ + "/lookup-go"); });
            r.status = 404;
            r.set_content("not in the cache\n", "text/plain");
        });
        server_.Put(R"(/v1/blob/.*)", [this](const httplib::Request&, httplib::Response& r) {
            storeReleased = test::WaitUntil([&] { return fs::exists(folder_ + "/store-go"); });
            r.status = 201;
            r.set_content("stored\n", "text/plain");
        });
        server_.Put(R"(/v1/entry/.*)", [](const httplib::Request&, httplib::Response& r) {
            r.status = 201;
            r.set_content("stored\n", "text/plain");
        });
        port = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~SlowCache() {
        server_.stop();
        thread_.join();
    }
    int port = 0;
    std::atomic<bool> lookupReleased{false};
    std::atomic<bool> storeReleased{false};

private:
    std::string folder_;
    httplib::Server server_;
    std::thread thread_;
};

TEST_F(BuildCacheBlackBox, LookupsAndStoresDoNotHoldUpTheOtherTasks) {
    SlowCache cache(dir_ / "work");
    ASSERT_GT(cache.port, 0);
    remote_ = "127.0.0.1:" + std::to_string(cache.port);
    // a's lookup waits until b runs; a's store waits until b printed its line.
    const std::string job = R"(<job slots="2">
  <task id="a" cache="true"><shell>echo a > a.txt</shell><output>a.txt</output></task>
  <task id="b"><shell>touch lookup-go; i=0; while [ ! -f a.txt ] &amp;&amp; [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done; echo b-line; sleep 0.3; touch store-go</shell></task>
</job>)";
    Build build = Run(job);
    ASSERT_EQ(build.exitCode, 0) << build.Text() << build.err;
    EXPECT_TRUE(cache.lookupReleased) << "the lookup held up the start of b";
    EXPECT_TRUE(cache.storeReleased);
    EXPECT_THAT(build.Text(), HasSubstr("Build cache: 0 hits, 1 misses, 1 stored"));
    // b's line arrived while a's results were being stored, and the caching shows on a's row.
    std::ptrdiff_t line = -1;
    std::ptrdiff_t lastEnd = -1;
    int begins = 0;
    for (std::size_t i = 0; i < build.events.size(); ++i) {
        const TPacket& e = *build.events[i];
        if (e.ClassName() == "TMonitorEventOutputPacket" &&
            e.Str(TMonitorEventOutputPacket::Text).find("b-line") != std::string::npos) {
            line = static_cast<std::ptrdiff_t>(i);
        }
        if (e.ClassName() == "TMonitorEventBeginCachingPacket") {
            ++begins;
        }
        if (e.ClassName() == "TMonitorEventEndCachingPacket") {
            lastEnd = static_cast<std::ptrdiff_t>(i);
            EXPECT_FALSE(e.Str(e.FieldIndex("WorkerID")).empty());
        }
    }
    EXPECT_EQ(begins, 2) << "a lookup and a store";
    ASSERT_GE(line, 0);
    EXPECT_LT(line, lastEnd);
    EXPECT_TRUE(build.events[static_cast<std::size_t>(lastEnd)]->Bool(
        build.events[static_cast<std::size_t>(lastEnd)]->FieldIndex("IsSuccess")));
}

} // namespace
} // namespace qz
