// qzbuildcached: the build cache service ("Orvane BuildCache", systemd unit
// "orvane-buildcache.service"). Reads the cache configuration as the console does (the agent's
// "resources/buildcache_service_config.json" and the override in the cache data folder), starts
// its index server, and serves the cache on "service.port" until it is asked to stop.
//
//   qzbuildcached [--pid-file FILE] [--listen ADDRESS] [--max-cache-bytes N]
//                 [--redis-server PROGRAM] [--unclaimed-age SECONDS]
//
// --pid-file: the file the project's own supervision watches; the service holds a write lock on
//             it while it lives and writes its pid there.
// --listen:   the address to listen on (default 127.0.0.1, the loopback only).
// --max-cache-bytes: the size limit in bytes, instead of "cacheCleaner.maxCacheSize" (GiB).
// --unclaimed-age: blobs that no entry names are removed once they are this old (default 3600),
//             at the start and by the cleaner, which looks every ten minutes (or every
//             unclaimed age, when that is shorter).

#include "CM/Exceptions.h"
#include "CacheServer.h"
#include "NV/BuildCacheSettings.h"
#include "platform/ServiceProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace qz;

int Usage(const char* why) {
    std::fprintf(stderr,
                 "qzbuildcached: %s\nusage: qzbuildcached [--pid-file FILE] [--listen ADDRESS] "
                 "[--max-cache-bytes N] [--redis-server PROGRAM] [--unclaimed-age SECONDS]\n",
                 why);
    return 2;
}

bool ParseCount(const char* text, std::uint64_t& value) {
    if (*text == '\0' || std::strlen(text) > 19) {
        return false;
    }
    value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string pidFile;
    std::string address = "127.0.0.1";
    std::string redisProgram = "redis-server";
    std::optional<std::uint64_t> maxBytes;
    std::uint64_t unclaimedAge = 3600;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            return Usage(("missing value or unknown option " + arg).c_str());
        }
        const char* value = argv[++i];
        if (arg == "--pid-file") {
            pidFile = value;
        } else if (arg == "--listen") {
            address = value;
        } else if (arg == "--redis-server") {
            redisProgram = value;
        } else if (arg == "--max-cache-bytes") {
            std::uint64_t n = 0;
            if (!ParseCount(value, n)) {
                return Usage("--max-cache-bytes takes a whole number");
            }
            maxBytes = n;
        } else if (arg == "--unclaimed-age") {
            if (!ParseCount(value, unclaimedAge) || unclaimedAge > (std::uint64_t(1) << 40)) {
                return Usage("--unclaimed-age takes a whole number of seconds");
            }
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (!platform::BlockStopSignals()) {
        std::fprintf(stderr, "qzbuildcached: cannot block the stop signals\n");
        return 1;
    }
    platform::SupervisedPidFile lock;
    if (!pidFile.empty()) {
        if (auto acquired = lock.Acquire(pidFile); !acquired) {
            const int error = acquired.error().code;
            std::fprintf(
                stderr, "qzbuildcached: %s\n",
                error == EWOULDBLOCK
                    ? ("another instance holds " + pidFile).c_str()
                    : ("cannot use the pid file " + pidFile + ": " + std::strerror(error)).c_str());
            return 1;
        }
        (void)lock.WriteState("starting");
    }
    // Stops are watched from the start on: a stop while the index server starts ends that
    // start (and the index server) instead of waiting for it.
    std::atomic<bool> stopRequested{false};
    std::atomic<buildcache::CacheServer*> serving{nullptr};
    std::atomic<bool> served{false};
    std::mutex cleanerMutex;
    std::condition_variable cleanerWake;
    try {
        std::optional<buildcache::CacheStore> store;
        std::optional<buildcache::CacheServer> server;
        platform::StopSignalWatch watch;
        std::thread cleaner;
        // Stopped (and the cleaner joined) before the server and the store go, whatever way
        // this block is left.
        struct Ending {
            platform::StopSignalWatch& watch;
            std::thread& cleaner;
            std::atomic<bool>& stop;
            std::mutex& mutex;
            std::condition_variable& wake;
            ~Ending() {
                watch.Stop();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    stop = true;
                }
                wake.notify_all();
                if (cleaner.joinable()) {
                    cleaner.join();
                }
            }
        } ending{watch, cleaner, stopRequested, cleanerMutex, cleanerWake};
        platform::Result<> watching = watch.Start([&](int) {
            {
                std::lock_guard<std::mutex> lock(cleanerMutex);
                stopRequested = true;
            }
            cleanerWake.notify_all();
            buildcache::CacheServer* running = serving.load();
            if (running == nullptr) {
                return; // main sees stopRequested before it would serve
            }
            // A stop that comes while the server is about to start waits for it to run.
            for (int i = 0; i < 500 && !running->Running() && !served; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            running->Stop();
        });
        if (!watching) {
            Raise("Cannot watch the stop signals");
        }
        nv::TBuildCacheSettings settings;
        if (settings.ServicePort() <= 0 || settings.ServicePort() > 65535) {
            Raise("The configuration sets no valid \"service.port\"");
        }
        if (settings.RedisPort() < 0 || settings.RedisPort() > 65535) {
            Raise("The configuration's \"localRedisInstance.port\" is out of range");
        }
        buildcache::StoreOptions storeOptions;
        storeOptions.cacheDirectory = settings.CacheDirectoryLocation();
        storeOptions.redis.program = redisProgram;
        storeOptions.redis.folder = settings.DbLocation();
        storeOptions.redis.port = settings.RedisPort();
        storeOptions.redis.stopStart = &stopRequested;
        storeOptions.unclaimedBlobAgeSeconds = static_cast<std::int64_t>(unclaimedAge);
        storeOptions.maxBytes =
            maxBytes ? *maxBytes
                     : static_cast<std::uint64_t>(std::max(0, settings.MaxCacheSize())) << 30;
        store.emplace(storeOptions);
        buildcache::ServerOptions serverOptions;
        serverOptions.address = address;
        serverOptions.port = settings.ServicePort();
        server.emplace(*store, serverOptions);
        server->Bind();
        cleaner = std::thread([&] {
            const auto period =
                std::chrono::seconds(std::clamp<std::uint64_t>(unclaimedAge, 1, 600));
            std::unique_lock<std::mutex> lock(cleanerMutex);
            while (!cleanerWake.wait_for(lock, period, [&] { return stopRequested.load(); })) {
                lock.unlock();
                try {
                    store->Sweep();
                } catch (const Exception& e) {
                    std::fprintf(stderr, "qzbuildcached: the cleaner failed: %s\n",
                                 e.Message().c_str());
                }
                lock.lock();
            }
        });
        if (lock.Held()) {
            lock.WriteState("");
        }
        platform::NotifyServiceManager("READY=1");
        std::printf("qzbuildcached: serving %s on %s:%d\n", storeOptions.cacheDirectory.c_str(),
                    address.c_str(), settings.ServicePort());
        std::fflush(stdout);
        serving = &*server;
        if (!stopRequested) {
            server->Run();
        }
        served = true;
        platform::NotifyServiceManager("STOPPING=1");
        if (lock.Held()) {
            lock.WriteState("stopping");
        }
    } catch (const buildcache::StartStopped&) {
        std::fprintf(stderr, "qzbuildcached: stopped during its start\n");
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "qzbuildcached: %s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}
