#pragma once

// The service's HTTP front: parses each request into a route (CacheProtocol.h lists them),
// refuses everything else with a 4xx reply and a one-line reason, and serves the routes from the
// store on a pool of threads.

#include "CacheStore.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace httplib {
struct Response;
class ContentReader;
} // namespace httplib

namespace qz::buildcache {

enum class RouteKind { GetEntry, PutEntry, GetBlob, PutBlob, Stats };

struct Route {
    RouteKind kind = RouteKind::Stats;
    /// The key or blob name (a digest); empty for Stats.
    std::string name;
};

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
};

/// The route of a method and path, or std::nullopt with the status to answer and why.
std::optional<Route> ParseRoute(std::string_view method, std::string_view path, int& status,
                                std::string& why);

/// Serves one parsed request from the store.
Reply Serve(CacheStore& store, const Route& route, std::string_view body);

struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 0;
    /// Largest request body (a blob).
    std::size_t maxBody = std::size_t(2) << 30;
};

class CacheServer {
public:
    CacheServer(CacheStore& store, const ServerOptions& options);
    ~CacheServer();
    /// Binds the port; raises when it cannot. Returns the port bound.
    int Bind();
    /// Serves until Stop (blocks).
    void Run();
    /// True while Run serves.
    bool Running() const;
    void Stop();

private:
    /// Answers a GET of a large blob with its bytes in pieces; false: serve it whole instead.
    bool SendBlob(const Route& route, httplib::Response& response);
    void ReceiveBlob(const Route& route, std::uint64_t length, const httplib::ContentReader& reader,
                     httplib::Response& response);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::buildcache
