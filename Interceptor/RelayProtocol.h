#pragma once

// The messages between qzrelay (started in place of an intercepted tool) and the broker of the
// build in Tasksmith, over a local stream socket. A frame is a 4-byte little-endian payload
// length (at most kMaxFramePayload) and the payload: strings, each ended by one NUL byte, the
// first naming the message kind; numbers are decimal text. docs/interception.md describes the
// exchange. Both sides use this one copy; nothing here knows which side it runs on.

#include "platform/Handles.h"
#include "platform/Result.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qz::intercept {

/// The largest payload a frame may carry. A side never sends a larger one, and a frame that
/// announces one is malformed.
inline constexpr std::size_t kMaxFramePayload = 4 * 1024 * 1024;

/// The protocol version the relay sends in RUN.
inline constexpr std::string_view kProtocolVersion = "1";

/// relay -> broker, once, first: a start of a tool was caught.
struct RunMessage {
    int pid = 0;                   ///< the relay's process id
    std::string cwd;               ///< its working folder (absolute)
    std::string program;           ///< the resolved absolute path of the tool
    std::vector<std::string> argv; ///< argv[0..argc-1] as the caller gave them
};

/// preload library -> broker, once, first: the process that spawns a tool (and will wait for it)
/// asks whether it may start the tool itself at once. The same fields as RUN.
struct AskMessage : RunMessage {};

/// broker -> preload library: no local slot at once; start qzrelay, which asks with RUN.
struct BusyMessage {};

/// preload library -> broker, after SLOT: the tool was started as process pid; DONE follows when
/// the spawning process has waited for it.
struct StartedMessage {
    std::string step;
    int pid = 0;
};

/// preload library -> broker, after SLOT, from a process that is about to replace itself by the
/// tool (execve): the run goes on as process pid, whose parent will report its end with REAPED
/// (entry index of the runs table names the run to it). DONE follows on this connection only
/// when the exec fails.
struct HandoffMessage {
    std::string step;
    int pid = 0;
    int index = 0;
};

/// preload library -> broker, first and only, from the process that reaped a handed-off run.
struct ReapedMessage {
    std::string step;
    int pid = 0;
    bool signalled = false;
    int number = 0;
};

/// The runs table, a file of this name beside the broker's socket: kExecRuns entries of two
/// 32-bit little-endian words, the pid of a handed-off run (0: free, -1: being written) and its
/// step. The exec'ing process writes its entry; whoever reaps the pid takes the entry (back to 0)
/// and sends REAPED; the broker clears an entry whose step it ends otherwise.
inline constexpr std::string_view kExecRunsName = "runs";
inline constexpr std::size_t kExecRuns = 1024;

/// broker -> relay: run the tool here, in no slot. An empty reason: not a tool of the build's
/// list (or its arguments do not match); otherwise the broker already showed the fallback line.
struct LocalMessage {
    std::string reason;
};

/// broker -> relay: run the tool here in a counted slot, then report DONE.
struct SlotMessage {
    std::string step;
};

/// broker -> relay: run prefix + [program, argv[1..]] (an srun line of the build's allocation),
/// capture its output, then report DONE, or RETRY when Slurm (not the tool) failed.
struct RemoteMessage {
    std::string step;
    std::string node;
    std::vector<std::string> prefix;
};

/// relay -> broker, at the end of a SLOT or REMOTE run: how the tool ended.
struct DoneMessage {
    std::string step;
    bool signalled = false; ///< "signal" (number is the signal) or "exit" (number is the code)
    int number = 0;
};

/// relay -> broker: the remote placement failed; the relay runs the tool here and then sends
/// DONE for the same step.
struct RetryMessage {
    std::string step;
    std::string reason;
};

/// relay -> broker, any time after RUN: a line for the broker's log (the relay never writes
/// anything of its own to the tool's output).
struct NoteMessage {
    std::string text;
};

using Message = std::variant<RunMessage, LocalMessage, SlotMessage, RemoteMessage, DoneMessage,
                             RetryMessage, NoteMessage, AskMessage, BusyMessage, StartedMessage,
                             HandoffMessage, ReapedMessage>;

/// The strings of a message, kind first.
std::vector<std::string> FieldsOf(const Message& message);

/// The message the strings of a payload form; fails (EPROTO, with the reason) when the kind is
/// unknown, a field is missing or extra, or a number or path is damaged.
platform::Result<Message> ParseFields(const std::vector<std::string>& fields);

/// The whole frame (length and payload) for the strings; fails (EINVAL) when a string holds a
/// NUL byte or there are none, and (EMSGSIZE) when the payload would exceed kMaxFramePayload.
platform::Result<std::string> EncodeFrame(const std::vector<std::string>& fields);

/// The strings of a payload (without its length); fails (EPROTO) when it is empty or its last
/// byte is not NUL.
platform::Result<std::vector<std::string>> DecodePayload(std::string_view payload);

/// The payload length a frame's first 4 bytes announce.
std::size_t DecodeLength(const unsigned char header[4]);

/// Encodes and sends the message on a connection, blocking until it is written.
platform::Result<> WriteMessage(platform::THandle connection, const Message& message);

/// Blocks until one whole frame has arrived and returns its message. Fails with ECONNRESET when
/// the peer closed the connection (before or inside a frame), EMSGSIZE for a frame over the
/// limit (nothing more is read from the connection), EPROTO for a malformed one, or the system's
/// code.
platform::Result<Message> ReadMessage(platform::THandle connection);

/// The kind name of a message ("RUN", "LOCAL", ...).
std::string_view KindOf(const Message& message);

} // namespace qz::intercept
