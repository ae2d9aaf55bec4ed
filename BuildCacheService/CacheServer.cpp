#include "CacheServer.h"

#include "CM/Exceptions.h"

#include <nlohmann/json.hpp>

#include <httplib.h>

namespace qz::buildcache {

std::optional<Route> ParseRoute(std::string_view method, std::string_view path, int& status,
                                std::string& why) {
    const bool get = method == "GET";
    const bool put = method == "PUT";
    if (path == "/v1/stats") {
        if (!get) {
            status = 405;
            why = "only GET reads the stats";
            return std::nullopt;
        }
        return Route{RouteKind::Stats, {}};
    }
    Route route;
    std::string_view name;
    if (path.starts_with("/v1/entry/")) {
        name = path.substr(10);
        route.kind = get ? RouteKind::GetEntry : RouteKind::PutEntry;
    } else if (path.starts_with("/v1/blob/")) {
        name = path.substr(9);
        route.kind = get ? RouteKind::GetBlob : RouteKind::PutBlob;
    } else {
        status = 404;
        why = "no such resource";
        return std::nullopt;
    }
    if (!get && !put) {
        status = 405;
        why = "only GET and PUT are served";
        return std::nullopt;
    }
    if (!IsDigest(name)) {
        status = 400;
        why = "a name must be 64 lower-case hexadecimal digits";
        return std::nullopt;
    }
    route.name = std::string(name);
    return route;
}

Reply Serve(CacheStore& store, const Route& route, std::string_view body) {
    Reply reply;
    switch (route.kind) {
    case RouteKind::Stats: {
        StoreStats stats = store.Stats();
        nlohmann::json object{{"entries", stats.entries}, {"bytes", stats.bytes},
                              {"hits", stats.hits},       {"misses", stats.misses},
                              {"evicted", stats.evicted}, {"damaged", stats.damaged}};
        reply.body = object.dump();
        reply.contentType = "application/json";
        return reply;
    }
    case RouteKind::GetEntry: {
        std::optional<Manifest> manifest = store.FindEntry(route.name);
        if (!manifest) {
            return {404, "not in the cache\n"};
        }
        reply.body = ManifestToText(*manifest);
        reply.contentType = "application/json";
        return reply;
    }
    case RouteKind::PutEntry: {
        std::string why;
        std::optional<Manifest> manifest = ParseManifest(body, why);
        if (!manifest) {
            return {400, why + "\n"};
        }
        StoreResult result = store.PutEntry(route.name, *manifest, why);
        if (result == StoreResult::Refused) {
            return {409, why + "\n"};
        }
        return {result == StoreResult::Exists ? 200 : 201, "stored\n"};
    }
    case RouteKind::GetBlob: {
        std::optional<std::string> bytes = store.ReadBlob(route.name);
        if (!bytes) {
            return {404, "not in the cache\n"};
        }
        reply.body = std::move(*bytes);
        reply.contentType = "application/octet-stream";
        return reply;
    }
    case RouteKind::PutBlob: {
        StoreResult result = store.PutBlob(route.name, body);
        if (result == StoreResult::Refused) {
            return {400, "the bytes do not have the digest of their name\n"};
        }
        if (result == StoreResult::Failed) {
            return {507, "the cache cannot store the blob\n"};
        }
        return {result == StoreResult::Exists ? 200 : 201, "stored\n"};
    }
    }
    return {500, "unknown route\n"};
}

struct CacheServer::Impl {
    CacheStore& store;
    ServerOptions options;
    httplib::Server server;
    Impl(CacheStore& s, const ServerOptions& o) : store(s), options(o) {}
};

CacheServer::CacheServer(CacheStore& store, const ServerOptions& options)
    : impl_(std::make_unique<Impl>(store, options)) {
    httplib::Server& server = impl_->server;
    server.set_payload_max_length(options.maxBody);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(30, 0);
    server.set_keep_alive_timeout(5);
    server.set_tcp_nodelay(true);
    auto serve = [this](const httplib::Request& request, httplib::Response& response,
                        std::string_view body) {
        int status = 400;
        std::string why;
        std::optional<Route> route = ParseRoute(request.method, request.path, status, why);
        if (!route) {
            response.status = status;
            response.set_content(why + "\n", "text/plain");
            return;
        }
        Reply reply;
        try {
            reply = Serve(impl_->store, *route, body);
        } catch (const Exception& e) {
            reply = {503, "the cache is unavailable: " + e.Message() + "\n"};
        } catch (const std::exception& e) {
            reply = {500, std::string("internal error: ") + e.what() + "\n"};
        }
        response.status = reply.status;
        response.set_content(std::move(reply.body), reply.contentType.c_str());
    };
    auto handle = [serve](const httplib::Request& request, httplib::Response& response) {
        serve(request, response, request.body);
    };
    // Bodies are received into one buffer of their announced size (the library's own buffer
    // grows in small steps, which makes large blobs slow).
    auto receive = [serve, maxBody = options.maxBody](const httplib::Request& request,
                                                      httplib::Response& response,
                                                      const httplib::ContentReader& reader) {
        std::string body;
        std::uint64_t length = request.get_header_value<std::uint64_t>("Content-Length");
        if (length <= maxBody) {
            body.reserve(static_cast<std::size_t>(length));
        }
        bool whole = reader([&](const char* data, std::size_t size) {
            body.append(data, size);
            return true;
        });
        if (!whole) {
            if (response.status < 400) {
                response.status = 400;
            }
            response.set_content("the request's body could not be read\n", "text/plain");
            return;
        }
        serve(request, response, body);
    };
    // Every method and path reaches ParseRoute, which answers what is not served.
    const char* const pattern = R"(/.*)";
    server.Get(pattern, handle);
    server.Options(pattern, handle);
    server.Put(pattern, receive);
    server.Post(pattern, receive);
    server.Delete(pattern, receive);
    server.Patch(pattern, receive);
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            response.set_content("refused (HTTP " + std::to_string(response.status) + ")\n",
                                 "text/plain");
        }
    });
}

CacheServer::~CacheServer() {
    Stop();
}

int CacheServer::Bind() {
    httplib::Server& server = impl_->server;
    if (impl_->options.port == 0) {
        int port = server.bind_to_any_port(impl_->options.address.c_str());
        if (port <= 0) {
            Raise("Cannot listen on " + impl_->options.address);
        }
        return port;
    }
    if (!server.bind_to_port(impl_->options.address.c_str(), impl_->options.port)) {
        Raise("Cannot listen on " + impl_->options.address + ":" +
              std::to_string(impl_->options.port) + " (is the port taken?)");
    }
    return impl_->options.port;
}

void CacheServer::Run() {
    impl_->server.listen_after_bind();
}

bool CacheServer::Running() const {
    return impl_->server.is_running();
}

void CacheServer::Stop() {
    impl_->server.stop();
}

} // namespace qz::buildcache
