// The build cache client's HTTP exchanges over the HTTP library (see CacheTransport.h).

#include "CacheTransport.h"

#include <algorithm>
#include <chrono>
#include <httplib.h>
#include <memory>
#include <type_traits>

namespace qz::tasksmith {
namespace {

constexpr std::size_t kMaxReason = 4096;

class HttpCacheTransport final : public CacheTransport {
public:
    HttpCacheTransport(const char* host, int port, int connectTimeoutMs, int transferTimeoutMs)
        : client_(host, port) {
        client_.set_connection_timeout(std::chrono::milliseconds(connectTimeoutMs));
        client_.set_read_timeout(std::chrono::milliseconds(transferTimeoutMs));
        client_.set_write_timeout(std::chrono::milliseconds(transferTimeoutMs));
        // A new connection per request: a kept connection the service closed meanwhile would
        // fail the next request and make the cache look unavailable.
        client_.set_keep_alive(false);
        client_.set_tcp_nodelay(true);
    }

    CacheTransportReply Get(const std::string& path,
                            const std::function<bool(std::string_view)>& sink) override {
        // A 200 body goes to the sink piece by piece; any other body is a short reason.
        CacheTransportReply reply;
        int status = 0;
        httplib::Result result = client_.Get(
            path,
            [&](const httplib::Response& response) {
                status = response.status;
                return true;
            },
            [&](const char* data, std::size_t size) {
                if (status != 200) {
                    if (reply.body.size() < kMaxReason) {
                        reply.body.append(data, std::min(size, kMaxReason));
                    }
                    return true;
                }
                return sink(std::string_view(data, size));
            });
        Answer(result, reply, false);
        return reply;
    }

    CacheTransportReply Put(const std::string& path, const std::string& body,
                            const char* type) override {
        CacheTransportReply reply;
        Answer(client_.Put(path, body, type), reply, true);
        return reply;
    }

    CacheTransportReply PutPieces(const std::string& path, std::size_t size,
                                  const CachePieceSource& source, const char* type) override {
        CacheTransportReply reply;
        httplib::Result result = client_.Put(
            path, size,
            [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return source(offset, length, [&](const char* data, std::size_t count) {
                    return sink.write(data, count);
                });
            },
            type);
        Answer(result, reply, true);
        return reply;
    }

private:
    static void Answer(const httplib::Result& result, CacheTransportReply& reply, bool withBody) {
        if (!result) {
            reply.error = httplib::to_string(result.error());
            return;
        }
        reply.arrived = true;
        reply.status = result->status;
        if (withBody) {
            reply.body = result->body;
        }
    }

    httplib::Client client_;
};

} // namespace
} // namespace qz::tasksmith

extern "C" __attribute__((visibility("default"))) qz::tasksmith::CacheTransport*
QzNewCacheTransport(const char* host, int port, int connectTimeoutMs, int transferTimeoutMs) {
    try {
        return new qz::tasksmith::HttpCacheTransport(host, port, connectTimeoutMs,
                                                     transferTimeoutMs);
    } catch (...) {
        return nullptr;
    }
}

static_assert(std::is_same_v<decltype(&QzNewCacheTransport), qz::tasksmith::CacheTransportFactory>);
