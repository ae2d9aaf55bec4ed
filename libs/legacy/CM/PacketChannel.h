#pragma once

// A packet channel carries packets one way between processes of one machine. The receiving end
// (TPacketChannelReceiver) owns a 44-byte control block and a growing shared stream; senders in
// other processes open both, append messages (a 44-byte header followed by the packet in header
// framing) and wake the receiver through the external event of its notify queue. A two-way
// connection is a pair of channels.
//
// Everything runs on the thread of the notify queue given at construction (the main thread).
// Bytes written by a peer are untrusted: a message whose header does not fit the stream ends the
// drain with a range error, and a packet that does not decode becomes a TCommExceptionPacket.

#include "EnvUtils.h"
#include "GrowingSharedStream.h"
#include "NotifyQueue.h"
#include "NvObjects.h"
#include "Packets.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qz {

namespace platform {
class SharedSection;
}

/// Message flags (bits of MessageHeader::Flags).
inline constexpr std::uint8_t cfReply = 0x01;
inline constexpr std::uint8_t cfExceptionReply = 0x02;
inline constexpr std::uint8_t cfRequest = 0x04;

/// The protocol version of control blocks and message headers.
inline constexpr std::int32_t kChannelVersion = 3;

/// The largest stream a channel can address: PendingEnd and Length are signed 32-bit.
inline constexpr std::int64_t kMaxChannelCapacity = 0x7FFFFFFF;

/// The default time a requester waits for a reply (600 s).
inline constexpr std::uint32_t kDefaultReplyTimeout = 600000;

/// The 44-byte control block of a channel, "Tamrel_{g}_Channel_Data" (little-endian).
struct ChannelControlBlock {
    std::int32_t Version; ///< kChannelVersion
    SpinLockRecord Lock;
    std::int32_t PendingEnd; ///< stream position after the last unread message; 0: none
    std::uint32_t reserved16;
    std::uint32_t ReceiverThreadUid;
    TGuid WakeGuid; ///< GUID of the receiving queue's external event
    std::uint8_t Valid;
    std::uint8_t Terminated;
    std::uint16_t reserved42;
};
static_assert(sizeof(ChannelControlBlock) == 44 && offsetof(ChannelControlBlock, WakeGuid) == 24);

/// The 44-byte header in front of every message (little-endian).
struct MessageHeader {
    std::int32_t Version; ///< kChannelVersion
    std::uint8_t Flags;   ///< cfReply, cfExceptionReply, cfRequest
    std::uint8_t reserved5[3];
    std::int32_t MessageId;
    std::uint32_t reserved12; ///< 0xFFFFFFFF
    TGuid ReplyChannel;       ///< the channel on which the sender receives
    std::int32_t SenderSession;
    std::uint32_t reserved36;
    std::int32_t Length; ///< 44 + the packet's encoded size
};
static_assert(sizeof(MessageHeader) == 44 && offsetof(MessageHeader, Length) == 40);

/// Disconnect reasons of a sender.
enum TDisconnectReason : std::uint8_t {
    drUnknown = 0,
    drNotReachable = 1,
    drProtocolVersion = 2,
    drTerminated = 3,
    drInvalid = 4,
    drRemoteThreadEnded = 5,
    drEventNotOpened = 6,
    drUnknownError = 7,
    drReleased = 8,
};

/// The text of a disconnect reason ("Server is not reachable", ..., "Unknown state (%d)").
std::string DisconnectReasonText(int reason);

/// One received message: its header as received and its packet.
class TPacketChannelMessage {
public:
    TPacketChannelMessage(const MessageHeader& header, std::unique_ptr<TPacket> packet)
        : header_(header), packet_(std::move(packet)) {}

    const MessageHeader& Header() const { return header_; }
    std::uint8_t Flags() const { return header_.Flags; }
    std::int32_t MessageId() const { return header_.MessageId; }
    const TGuid& ReplyChannel() const { return header_.ReplyChannel; }
    std::int32_t SenderSession() const { return header_.SenderSession; }

    TPacket& Packet() const { return *packet_; }
    /// Hands the packet to the caller; the message no longer has one.
    std::unique_ptr<TPacket> TakePacket() { return std::move(packet_); }
    bool HasPacket() const { return packet_ != nullptr; }

private:
    MessageHeader header_;
    std::unique_ptr<TPacket> packet_;
};

/// Decodes the messages of a drained channel buffer, in order. A packet that does not decode,
/// or does not fill its message exactly, arrives as a TCommExceptionPacket with the error; broken
/// framing (a header whose version or length cannot be right) is skipped up to the next
/// well-formed header. Never raises for any input; failures go to the diagnostic log.
void DecodeChannelMessages(std::string_view bytes,
                           const std::function<void(std::unique_ptr<TPacketChannelMessage>)>& add);

class TPacketChannelSender;

class TPacketChannelReceiver {
public:
    using TMessageEvent = std::function<void(TPacketChannelMessage& message)>;

    /// Creates the control block and the channel stream (as owner, growth bounded by
    /// kMaxChannelCapacity), publishes the queue's external event and registers the drain as an
    /// external handler of the queue. Raises the creation errors of the shared objects.
    TPacketChannelReceiver(TNotifyQueue& queue, int sessionNumber, std::uint32_t sectionSize,
                           const TGuid& channelGuid);
    /// Marks the channel terminated and releases everything.
    ~TPacketChannelReceiver();
    TPacketChannelReceiver(const TPacketChannelReceiver&) = delete;
    TPacketChannelReceiver& operator=(const TPacketChannelReceiver&) = delete;

    /// Called for every message, in arrival order, on the queue's thread. Without it, messages
    /// are not read.
    void SetOnMessage(TMessageEvent onMessage) { onMessage_ = std::move(onMessage); }

    /// The external handler: drains and dispatches when something is pending. A failed drain
    /// marks the channel terminated ("Connection object buffer marked as terminated" in the log).
    void ExternalNotify();
    /// Drains the stream into the message list. Raises ERangeError for a message header that
    /// does not fit (version, length beyond the pending data).
    void ReadMessages();
    /// Hands each listed message to OnMessage, first to last, and frees it.
    void DispatchMessages();
    /// Waits for the reply with the id to a request sent through sender (timeout 0: the default
    /// reply timeout). Other messages that arrive meanwhile stay listed and are dispatched after
    /// the caller returns to the loop. Raises "Connection terminated while waiting for reply from
    /// local connection: %s", "Timed out waiting for reply from local connection (after %d
    /// seconds; Event name: %s)" and, for message id 0, "Cannot wait for a reply to a message that
    /// was not sent". The caller owns the returned message.
    std::unique_ptr<TPacketChannelMessage>
    WaitForReply(TPacketChannelSender& sender, std::int32_t messageId, std::uint32_t timeout);
    /// Sets Terminated in the control block: every sender disconnects at its next check.
    void MarkTerminated();

    /// The reply timeout used when 0 is given (0: kDefaultReplyTimeout).
    std::uint32_t DefaultReplyTimeout() const { return defaultReplyTimeout_; }
    void SetDefaultReplyTimeout(std::uint32_t milliseconds) { defaultReplyTimeout_ = milliseconds; }

    const TGuid& ChannelGuid() const { return channelGuid_; }
    int SessionNumber() const { return sessionNumber_; }
    ChannelControlBlock& ControlBlock() const { return *control_; }
    TGrowingSharedStream& Stream() const { return *stream_; }
    /// Messages read but not yet dispatched.
    std::size_t PendingMessageCount() const { return messages_.size(); }

private:
    void CheckBuffer();
    void ResetBufferMonitor();

    TNotifyQueue& queue_;
    TGuid channelGuid_;
    int sessionNumber_;
    std::unique_ptr<platform::SharedSection> controlSection_;
    ChannelControlBlock* control_ = nullptr;
    std::unique_ptr<TGrowingSharedStream> stream_;
    TMessageEvent onMessage_;
    std::deque<std::unique_ptr<TPacketChannelMessage>> messages_;
    std::vector<char> buffer_; // the pending bytes of one drain
    std::unique_ptr<TClock> bufferMonitor_;
    std::uint32_t defaultReplyTimeout_ = 0;
};

class TPacketChannelSender {
public:
    using TDisconnectEvent = std::function<void(TPacketChannelSender& sender)>;

    /// Stores the arguments and registers the liveness check as an external handler; does not
    /// connect. The sender's own session (written into every message) is SessionLocal when
    /// sessionNumber is SessionLocal, else CurrentSessionNumber(); SetOwnSession overrides it.
    TPacketChannelSender(TNotifyQueue& queue, const TGuid& ownReplyGuid, const TGuid& targetGuid,
                         int sessionNumber, std::uint32_t sectionSize);
    /// Disconnects with drReleased.
    ~TPacketChannelSender();
    TPacketChannelSender(const TPacketChannelSender&) = delete;
    TPacketChannelSender& operator=(const TPacketChannelSender&) = delete;

    /// Opens the target's control block, wake event and stream. False (with the reason) when the
    /// target is missing, invalid, terminated, of another version or its thread has ended.
    /// Unexpected errors raise "Failed to connect to packet channel receiver" + CR LF + message.
    /// Once per sender.
    bool Connect();
    /// Appends one message and returns its id (the given id for a reply, else the next of the
    /// counter), or 0 when the sender is not connected or the message could not be written. Never
    /// raises. Wakes the receiver unless the message is a request.
    std::int32_t Send(std::int32_t messageId, const TPacket& packet, std::uint8_t flags);
    /// Disconnects (and calls OnDisconnect) when the target is marked terminated or, with
    /// checkRemoteThread, when its receiving thread has ended.
    void CheckConnection(bool checkRemoteThread);
    /// The external handler: CheckConnection(false).
    void ExternalNotify();
    /// Sets the target's wake event, ignoring failures.
    void WakeReceiver();

    bool Connected() const { return connected_; }
    int DisconnectReasonCode() const { return reason_; }
    std::string DisconnectReason() const { return DisconnectReasonText(reason_); }
    void SetOnDisconnect(TDisconnectEvent onDisconnect) { onDisconnect_ = std::move(onDisconnect); }

    const TGuid& TargetGuid() const { return targetGuid_; }
    const TGuid& OwnReplyGuid() const { return ownReplyGuid_; }
    int TargetSession() const { return targetSession_; }
    int OwnSession() const { return ownSession_; }
    void SetOwnSession(int sessionNumber) { ownSession_ = sessionNumber; }
    /// The target's wake event (null when not connected).
    THandle WakeHandle() const;
    /// The kernel name of the target's wake event, for messages.
    const std::string& WakeEventName() const { return wakeEventName_; }

private:
    friend class TPacketChannelReceiver;
    void Disconnect(int reason);
    void Liveness();

    TNotifyQueue& queue_;
    std::thread::id creatingThread_;
    bool connectAttempted_ = false;
    bool connected_ = false;
    TGuid ownReplyGuid_;
    TGuid targetGuid_;
    std::unique_ptr<platform::SharedSection> controlSection_;
    ChannelControlBlock* control_ = nullptr;
    std::unique_ptr<TGrowingSharedStream> stream_;
    std::unique_ptr<TWinEvent> wakeEvent_;
    std::string wakeEventName_;
    std::int32_t counter_ = 0;
    std::unique_ptr<TClock> liveness_;
    TDisconnectEvent onDisconnect_;
    int reason_ = drUnknown;
    int ownSession_;
    int targetSession_;
    std::uint32_t sectionSize_;
};

} // namespace qz
