// qzbuildcached: the build cache service ("Orvane BuildCache", systemd unit
// "orvane-buildcache.service"). Reads the cache configuration as the console does (the agent's
// "resources/buildcache_service_config.json" and the override in the cache data folder), starts
// its index server, and serves the cache on "service.port" until it is asked to stop.
//
//   qzbuildcached [--pid-file FILE] [--listen ADDRESS] [--max-cache-bytes N]
//                 [--redis-server PROGRAM]
//
// --pid-file: the file the project's own supervision watches; the service holds a write lock on
//             it while it lives and writes its pid there.
// --listen:   the address to listen on (default 127.0.0.1, the loopback only).
// --max-cache-bytes: the size limit in bytes, instead of "cacheCleaner.maxCacheSize" (GiB).

#include "CM/Exceptions.h"
#include "CacheServer.h"
#include "NV/BuildCacheSettings.h"
#include "platform/ServiceProcess.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace qz;

int Usage(const char* why) {
    std::fprintf(stderr,
                 "qzbuildcached: %s\nusage: qzbuildcached [--pid-file FILE] [--listen ADDRESS] "
                 "[--max-cache-bytes N] [--redis-server PROGRAM]\n",
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
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (platform::BlockStopSignals() != 0) {
        std::fprintf(stderr, "qzbuildcached: cannot block the stop signals\n");
        return 1;
    }
    platform::SupervisedPidFile lock;
    if (!pidFile.empty()) {
        int error = lock.Acquire(pidFile);
        if (error != 0) {
            std::fprintf(
                stderr, "qzbuildcached: %s\n",
                error == EWOULDBLOCK
                    ? ("another instance holds " + pidFile).c_str()
                    : ("cannot use the pid file " + pidFile + ": " + std::strerror(error)).c_str());
            return 1;
        }
        lock.WriteState("starting");
    }
    try {
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
        storeOptions.maxBytes =
            maxBytes ? *maxBytes
                     : static_cast<std::uint64_t>(std::max(0, settings.MaxCacheSize())) << 30;
        buildcache::CacheStore store(storeOptions);
        buildcache::ServerOptions serverOptions;
        serverOptions.address = address;
        serverOptions.port = settings.ServicePort();
        buildcache::CacheServer server(store, serverOptions);
        server.Bind();
        platform::StopSignalWatch watch;
        std::atomic<bool> stopRequested{false};
        std::atomic<bool> served{false};
        // A stop that comes while the server is about to start waits for it to run.
        watch.Start([&](int) {
            stopRequested = true;
            for (int i = 0; i < 500 && !server.Running() && !served; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            server.Stop();
        });
        if (lock.Held()) {
            lock.WriteState("");
        }
        platform::NotifyServiceManager("READY=1");
        std::printf("qzbuildcached: serving %s on %s:%d\n", storeOptions.cacheDirectory.c_str(),
                    address.c_str(), settings.ServicePort());
        std::fflush(stdout);
        if (!stopRequested) {
            server.Run();
        }
        served = true;
        platform::NotifyServiceManager("STOPPING=1");
        if (lock.Held()) {
            lock.WriteState("stopping");
        }
        watch.Stop();
    } catch (const Exception& e) {
        std::fprintf(stderr, "qzbuildcached: %s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}
