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
        nlohmann::json object{{"entries", stats.entries},    {"bytes", stats.bytes},
                              {"hits", stats.hits},          {"misses", stats.misses},
                              {"evicted", stats.evicted},    {"damaged", stats.damaged},
                              {"unclaimed", stats.unclaimed}};
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

namespace {

/// Blobs up to this size are checked before they are sent (a damaged one is answered with 404);
/// larger ones are sent in pieces of this size and checked on the way.
constexpr std::size_t kPiece = std::size_t(1) << 20;

/// A blob on its way out: the bytes are hashed before each piece is sent, and the last piece is
/// held back when the digest is not the blob's name, so that a damaged blob never arrives whole.
struct Outgoing {
    platform::StreamReader reader;
    Hasher hasher;
    std::string buffer;
    std::uint64_t sent = 0;
};

} // namespace

bool CacheServer::SendBlob(const Route& route, httplib::Response& response) {
    CacheStore& store = impl_->store;
    std::optional<platform::StreamReader> reader = store.OpenBlob(route.name);
    if (!reader || reader->Size() <= kPiece) {
        return false; // small or missing: served whole (checked first) by Serve
    }
    auto outgoing = std::make_shared<Outgoing>();
    outgoing->reader = std::move(*reader);
    const std::uint64_t size = outgoing->reader.Size();
    const std::string hash = route.name;
    response.status = 200;
    response.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [&store, outgoing, size, hash](std::size_t offset, std::size_t length,
                                       httplib::DataSink& sink) {
            Outgoing& out = *outgoing;
            if (offset != out.sent) {
                return false;
            }
            out.buffer.resize(std::min(length, kPiece));
            platform::Result<std::size_t> done =
                out.reader.Read(out.buffer.data(), out.buffer.size());
            if (!done || *done == 0) {
                // Shorter than when it was opened: damaged.
                store.BlobDamaged(hash);
                return false;
            }
            std::string_view piece(out.buffer.data(), *done);
            out.hasher.Add(piece);
            out.sent += *done;
            if (out.sent >= size && (out.sent > size || out.hasher.Finish() != hash)) {
                store.BlobDamaged(hash);
                return false;
            }
            return sink.write(piece.data(), piece.size());
        });
    return true;
}

void CacheServer::ReceiveBlob(const Route& route, std::uint64_t length,
                              const httplib::ContentReader& reader, httplib::Response& response) {
    auto reply = [&response](int status, const std::string& text) {
        response.status = status;
        response.set_content(text, "text/plain");
    };
    if (length > impl_->options.maxBody) {
        // The library skips the body (so that the client hears the answer) and refuses it.
        (void)reader([](const char*, std::size_t) { return true; });
        reply(413, "the blob is too large\n");
        return;
    }
    std::unique_ptr<BlobUpload> upload;
    StoreResult begun = StoreResult::Failed;
    try {
        begun = impl_->store.BeginBlob(route.name, length, upload);
    } catch (const Exception& e) {
        reply(503, "the cache is unavailable: " + e.Message() + "\n");
        return;
    }
    bool writeFailed = false;
    // An existing blob's bytes are read and dropped, so that the connection stays in step.
    bool whole = reader([&](const char* data, std::size_t size) {
        if (upload && !upload->Write(std::string_view(data, size))) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    if (begun == StoreResult::Failed || writeFailed) {
        reply(507, "the cache cannot store the blob\n");
        return;
    }
    if (!whole) {
        reply(400, "the request's body could not be read\n");
        return;
    }
    if (begun == StoreResult::Exists) {
        reply(200, "stored\n");
        return;
    }
    StoreResult result = StoreResult::Failed;
    try {
        result = impl_->store.FinishBlob(*upload);
    } catch (const Exception& e) {
        reply(503, "the cache is unavailable: " + e.Message() + "\n");
        return;
    }
    if (result == StoreResult::Refused) {
        reply(400, "the bytes do not have the digest of their name\n");
    } else if (result == StoreResult::Failed) {
        reply(507, "the cache cannot store the blob\n");
    } else {
        reply(201, "stored\n");
    }
}

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
    auto handle = [this, serve](const httplib::Request& request, httplib::Response& response) {
        int status = 400;
        std::string why;
        std::optional<Route> route = ParseRoute(request.method, request.path, status, why);
        if (route && route->kind == RouteKind::GetBlob && SendBlob(*route, response)) {
            return;
        }
        serve(request, response, request.body);
    };
    // A blob is received in pieces into a temporary file and hashed on the way; any other body
    // (a manifest) is small and read whole.
    auto receive = [this, serve](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader& reader) {
        int status = 400;
        std::string why;
        std::optional<Route> route = ParseRoute(request.method, request.path, status, why);
        const std::uint64_t length = request.get_header_value<std::uint64_t>("Content-Length");
        if (route && route->kind == RouteKind::PutBlob) {
            ReceiveBlob(*route, length, reader, response);
            return;
        }
        std::string body;
        bool tooLarge = length > kMaxManifestSize;
        if (!tooLarge) {
            body.reserve(static_cast<std::size_t>(length));
        }
        bool whole = !tooLarge && reader([&](const char* data, std::size_t size) {
            if (body.size() + size > kMaxManifestSize) {
                tooLarge = true;
                return false;
            }
            body.append(data, size);
            return true;
        });
        if (tooLarge && route) {
            response.status = 413;
            response.set_content("the body is too large\n", "text/plain");
            return;
        }
        if (!whole && route) {
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
