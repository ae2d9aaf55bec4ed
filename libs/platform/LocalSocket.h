#pragma once

// Local (unix-domain) stream sockets: a listening socket at a path, connecting to it, the uid of
// the process at the other end, and moving whole buffers over a connection. Descriptors are the
// plain numbers of Handles.h, opened close-on-exec; CloseHandle closes them.

#include "platform/Handles.h"
#include "platform/Result.h"

#include <cstddef>
#include <string>
#include <utility>

namespace qz::platform {

/// Creates a socket listening at path (which must not exist yet), readable and writable by its
/// owner only. The path must fit a socket address (107 bytes).
Result<THandle> ListenLocalSocket(const std::string& path, int backlog = 64);

/// Waits for and accepts one connection on a listening socket.
Result<THandle> AcceptLocalConnection(THandle listener);

/// Connects to the socket listening at path.
Result<THandle> ConnectLocalSocket(const std::string& path);

/// A connected pair of local stream sockets (both close-on-exec).
Result<std::pair<THandle, THandle>> CreateLocalSocketPair();

/// The user id of the process at the other end of a connection, as the kernel saw it when the
/// connection was made.
Result<unsigned> LocalPeerUid(THandle connection);

/// This process's real user id.
unsigned CurrentUserId();

/// Sends the whole buffer, resuming after short sends and interruptions. A peer that has closed
/// gives EPIPE (never the SIGPIPE signal).
Result<> SendAll(THandle connection, const void* data, std::size_t size);

/// Receives exactly size bytes, resuming after interruptions; returns the number received, which
/// is less than size only when the peer closed the connection first (0: closed before any byte).
Result<std::size_t> ReceiveExact(THandle connection, void* data, std::size_t size);

} // namespace qz::platform
