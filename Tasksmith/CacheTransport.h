#pragma once

// The HTTP exchanges of the build cache client, in a module of their own (libqzcachehttp.so,
// beside Tasksmith). Only a build that uses a build cache loads it: the HTTP library and the TLS
// libraries it brings take several milliseconds to load and initialise, which every build would
// pay otherwise. The module links nothing of the project; both sides share only this header.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qz::tasksmith {

/// What came back from one exchange.
struct CacheTransportReply {
    /// An answer arrived; otherwise error says why not (no connection, a timeout).
    bool arrived = false;
    int status = 0;
    /// The body of an answer other than a GET's 200 (at most 4096 bytes of a GET's).
    std::string body;
    std::string error;
};

/// Writes the bytes of a piece of a PUT body; false when the connection failed.
using CachePieceWriter = std::function<bool(const char* data, std::size_t size)>;
/// Produces the body of a PUT from offset on (at most length bytes) through the writer; false
/// ends the transfer.
using CachePieceSource =
    std::function<bool(std::size_t offset, std::size_t length, const CachePieceWriter& write)>;

/// One service's HTTP client, every exchange bounded by the timeouts it was made with. One thread
/// at a time.
class CacheTransport {
public:
    virtual ~CacheTransport() = default;
    /// A GET whose 200 body goes to sink piece by piece (false from the sink ends the transfer).
    virtual CacheTransportReply Get(const std::string& path,
                                    const std::function<bool(std::string_view)>& sink) = 0;
    virtual CacheTransportReply Put(const std::string& path, const std::string& body,
                                    const char* type) = 0;
    /// A PUT of size bytes produced by source.
    virtual CacheTransportReply PutPieces(const std::string& path, std::size_t size,
                                          const CachePieceSource& source, const char* type) = 0;
};

/// The module's one export: a new transport for host:port, or nullptr when it cannot be made.
using CacheTransportFactory = CacheTransport* (*)(const char* host, int port, int connectTimeoutMs,
                                                  int transferTimeoutMs);
inline constexpr const char* kCacheTransportFactoryName = "QzNewCacheTransport";
inline constexpr const char* kCacheTransportModuleName = "libqzcachehttp.so";

} // namespace qz::tasksmith
