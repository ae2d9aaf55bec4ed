#include "RedisIndex.h"

#include "CM/Exceptions.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NativeThread.h"

#include <hiredis.h>

namespace qz::buildcache {

namespace {

RedisValue ToValue(const redisReply* reply) {
    RedisValue value;
    switch (reply->type) {
    case REDIS_REPLY_INTEGER:
        value.nil = false;
        value.integer = reply->integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
        value.nil = false;
        value.text.assign(reply->str, reply->len);
        break;
    case REDIS_REPLY_ARRAY:
        value.nil = false;
        for (std::size_t i = 0; i < reply->elements; ++i) {
            const redisReply* item = reply->element[i];
            if (item->type == REDIS_REPLY_STRING) {
                value.items.emplace_back(item->str, item->len);
            } else {
                value.items.emplace_back();
            }
        }
        break;
    default:
        break;
    }
    return value;
}

} // namespace

RedisIndex::~RedisIndex() {
    try {
        Stop();
    } catch (...) {
    }
}

std::string RedisIndex::LogTail() const {
    std::string text;
    platform::File file;
    platform::FileOpenRequest request;
    if (!file.Open(options_.folder + "/redis.log", request)) {
        return {};
    }
    const std::int64_t size = file.Size().value_or(0);
    std::int64_t from = size > 2000 ? size - 2000 : 0;
    text.resize(static_cast<std::size_t>(size - from));
    std::size_t done = 0;
    (void)file.ReadAt(from, text.data(), text.size(), done);
    text.resize(done);
    // The lines that tell what went wrong are the last ones.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

void RedisIndex::Connect() {
    timeval timeout{5, 0};
    redisContext* context =
        options_.port > 0
            ? redisConnectWithTimeout("127.0.0.1", options_.port, timeout)
            : redisConnectUnixWithTimeout((options_.folder + "/redis.sock").c_str(), timeout);
    if (context == nullptr || context->err != 0) {
        if (context != nullptr) {
            redisFree(context);
        }
        return;
    }
    redisSetTimeout(context, timeout);
    context_ = context;
}

void RedisIndex::Start(const RedisOptions& options) {
    options_ = options;
    std::string log = options_.folder + "/redis.log";
    (void)platform::RemoveFile(log);
    platform::ChildStartOptions start;
    start.arguments = {options_.program,
                       "--dir",
                       options_.folder,
                       "--dbfilename",
                       "dump.rdb",
                       "--save",
                       "300 1 60 1000",
                       "--appendonly",
                       "no",
                       "--daemonize",
                       "no",
                       "--logfile",
                       log,
                       "--loglevel",
                       "warning",
                       "--protected-mode",
                       "yes",
                       "--databases",
                       "1"};
    if (options_.port > 0) {
        start.arguments.insert(start.arguments.end(),
                               {"--port", std::to_string(options_.port), "--bind", "127.0.0.1"});
    } else {
        start.arguments.insert(start.arguments.end(),
                               {"--port", "0", "--unixsocket", options_.folder + "/redis.sock",
                                "--unixsocketperm", "700"});
    }
    start.newProcessGroup = true;
    start.killWithParent = true;
    platform::File null;
    platform::FileOpenRequest request;
    request.access = platform::FileAccess::ReadWrite;
    if (null.Open("/dev/null", request)) {
        start.stdIn = null.Handle();
        start.stdOut = null.Handle();
        start.stdErr = null.Handle();
    }
    server_ = platform::ChildProcess();
    if (auto started = server_.Start(start); !started) {
        RaiseOsError("Cannot start the cache index server " + options_.program,
                     started.error().code);
    }
    const std::uint64_t deadline =
        platform::MonotonicMilliseconds() + static_cast<std::uint64_t>(options_.startTimeoutMs);
    while (platform::MonotonicMilliseconds() < deadline) {
        if (options_.stopStart != nullptr && options_.stopStart->load()) {
            Stop();
            throw StartStopped{};
        }
        if (server_.Wait(0)) {
            context_ = nullptr;
            Raise("The cache index server ended at its start (exit code " +
                  std::to_string(server_.ExitCode().value_or(-1)) + "); its database in " +
                  options_.folder + " may be damaged or its port taken. Its log says:\n" +
                  LogTail());
        }
        if (context_ == nullptr) {
            Connect();
        }
        if (context_ != nullptr) {
            auto* reply = static_cast<redisReply*>(redisCommand(context_, "PING"));
            bool ready = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
            if (reply != nullptr) {
                freeReplyObject(reply);
            } else {
                redisFree(context_);
                context_ = nullptr;
            }
            if (ready) {
                return;
            }
        }
        platform::SleepMilliseconds(20);
    }
    Stop();
    Raise("The cache index server did not answer within " +
          std::to_string(options_.startTimeoutMs / 1000) + " s");
}

void RedisIndex::Stop() {
    if (!server_.Started()) {
        return;
    }
    if (context_ != nullptr) {
        auto* reply = static_cast<redisReply*>(redisCommand(context_, "SHUTDOWN SAVE"));
        if (reply != nullptr) {
            freeReplyObject(reply);
        }
        redisFree(context_);
        context_ = nullptr;
    } else {
        // Not connected (its start was stopped): it saves and ends on the terminate signal.
        platform::SignalProcessGroup(server_.Pid(), platform::ProcessSignal::Terminate);
    }
    if (!server_.Wait(10000)) {
        platform::SignalProcessGroup(server_.Pid(), platform::ProcessSignal::Kill);
        server_.Wait(5000);
    }
    server_ = platform::ChildProcess();
}

RedisValue RedisIndex::Command(const std::vector<std::string>& arguments) {
    if (context_ == nullptr) {
        Raise("The cache index server is not running");
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& a : arguments) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    auto* reply = static_cast<redisReply*>(
        redisCommandArgv(context_, static_cast<int>(argv.size()), argv.data(), lengths.data()));
    if (reply == nullptr) {
        std::string why = context_->errstr;
        redisFree(context_);
        context_ = nullptr;
        Raise("The cache index server does not answer: " + why);
    }
    if (reply->type == REDIS_REPLY_ERROR) {
        std::string why(reply->str, reply->len);
        freeReplyObject(reply);
        Raise("The cache index server refused " + arguments.front() + ": " + why);
    }
    RedisValue value = ToValue(reply);
    freeReplyObject(reply);
    return value;
}

} // namespace qz::buildcache
