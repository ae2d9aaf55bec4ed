#include "PacketChannel.h"

#include "DiagLog.h"
#include "Exceptions.h"
#include "Format.h"
#include "ServicePackets.h"
#include "StreamUtils.h"
#include "platform/SharedSection.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace qz {

namespace {

constexpr const char* kControlSuffix = "Channel_Data";

// Waits of a requester are cut into slices so that a dead receiver is noticed.
constexpr std::uint32_t kWaitSlice = 4000;
// A requester looks at the receiving thread once its wait has lasted this long.
constexpr std::int32_t kRemoteThreadCheckAfter = 2000;
// The drain gives up on a lock that another process holds this long and tries again on the
// next pass, so that a peer stuck (or stopped) inside its append cannot hang this thread.
constexpr std::uint32_t kDrainLockTimeout = 200;
// A sender gives up on a lock held this long: a live process that never lets go (stopped, or
// hostile) must not hang the sender.
constexpr std::uint32_t kSendLockTimeout = 10000;
// A drain buffer larger than this is given back after use.
constexpr std::size_t kKeptBufferSize = 4 << 20;

std::atomic<std::int32_t>& Atomic32(std::int32_t& field) {
    return reinterpret_cast<std::atomic<std::int32_t>&>(field);
}

std::atomic<std::uint8_t>& Atomic8(std::uint8_t& field) {
    return reinterpret_cast<std::atomic<std::uint8_t>&>(field);
}

class TControlLock {
public:
    TControlLock(ChannelControlBlock& control, std::uint32_t timeout) : control_(control) {
        locked_ = SpinLock(control_.Lock, timeout, slAbandonWarning) != kSpinTimedOut;
    }
    ~TControlLock() {
        if (locked_) {
            try {
                SpinUnlock(control_.Lock);
            } catch (const Exception&) {
                // A peer overwrote the lock record while we held it; nothing to give back.
            }
        }
    }
    TControlLock(const TControlLock&) = delete;
    TControlLock& operator=(const TControlLock&) = delete;
    bool Locked() const { return locked_; }

private:
    ChannelControlBlock& control_;
    bool locked_ = false;
};

std::unique_ptr<TPacket> MakeExceptionPacket(const std::string& message,
                                             const std::string& className) {
    auto packet = std::make_unique<TCommExceptionPacket>();
    packet->SetStr(TCommExceptionPacket::ExceptionMessage, message);
    packet->SetStr(TCommExceptionPacket::ExceptionClass, className);
    return packet;
}

// The header at start, checked against the pending data; ERangeError when it cannot frame a
// message there.
void ReadHeader(const char* data, std::int64_t start, std::int64_t pendingEnd,
                MessageHeader& header) {
    if (pendingEnd - start < static_cast<std::int64_t>(sizeof header)) {
        throw ERangeError(Format("Message header at %d is cut short by the end of the data at %d",
                                 start, pendingEnd));
    }
    std::memcpy(&header, data + start, sizeof header);
    if (header.Version > kChannelVersion || header.Version < 1 ||
        header.Length < static_cast<std::int32_t>(sizeof header) ||
        header.Length > pendingEnd - start) {
        throw ERangeError(Format("Invalid message header at %d (version %d, length %d, data ends "
                                 "at %d)",
                                 start, header.Version, header.Length, pendingEnd));
    }
}

// A header exactly as senders write it, with a length inside the pending data.
bool WellFormedHeaderAt(const char* data, std::int64_t at, std::int64_t pendingEnd) {
    MessageHeader header;
    std::memcpy(&header, data + at, sizeof header);
    return header.Version == kChannelVersion && header.Flags <= 7 && header.reserved5[0] == 0 &&
           header.reserved5[1] == 0 && header.reserved5[2] == 0 &&
           header.reserved12 == 0xFFFFFFFF && header.reserved36 == 0 &&
           header.Length >= static_cast<std::int32_t>(sizeof header) &&
           header.Length <= pendingEnd - at;
}

// The position of the next well-formed header after start, or pendingEnd when there is none.
std::int64_t NextHeaderAfter(const char* data, std::int64_t start, std::int64_t pendingEnd) {
    for (std::int64_t at = start + 1;
         at + static_cast<std::int64_t>(sizeof(MessageHeader)) <= pendingEnd; ++at) {
        if (WellFormedHeaderAt(data, at, pendingEnd)) {
            return at;
        }
    }
    return pendingEnd;
}

} // namespace

std::string DisconnectReasonText(int reason) {
    switch (reason) {
    case drUnknown:
        return "Unknown reason";
    case drNotReachable:
        return "Server is not reachable";
    case drProtocolVersion:
        return "Unknown protocol version";
    case drTerminated:
        return "Connection object marked as terminated";
    case drInvalid:
        return "Connection object marked as invalid";
    case drRemoteThreadEnded:
        return "Connection object remote thread has terminated";
    case drEventNotOpened:
        return "Connection object event could not be opened";
    case drUnknownError:
        return "Unknown error";
    case drReleased:
        return "Connection object was released";
    default:
        return Format("Unknown state (%d)", reason);
    }
}

void DecodeChannelMessages(std::string_view bytes,
                           const std::function<void(std::unique_ptr<TPacketChannelMessage>)>& add) {
    const char* data = bytes.data();
    const auto pendingEnd = static_cast<std::int64_t>(bytes.size());
    std::int64_t position = 0;
    while (position < pendingEnd) {
        std::int64_t start = position;
        MessageHeader header;
        try {
            ReadHeader(data, start, pendingEnd, header);
        } catch (const ERangeError& e) {
            // Broken framing (a hostile or dying writer): skip to the next place where a whole,
            // well-formed header begins, so that the messages other senders appended after the
            // damage still arrive.
            LogWarning("Connection object buffer unreadable\r\n" + e.Message() + "\r\n");
            position = NextHeaderAfter(data, start, pendingEnd);
            continue;
        }
        std::int64_t end = start + header.Length;
        std::unique_ptr<TPacket> packet;
        try {
            TVirtualStream body;
            body.SetExternalMemory(const_cast<char*>(data) + start + sizeof header,
                                   end - start - static_cast<std::int64_t>(sizeof header), {});
            packet = TPacket::CreateFromStream(body);
            if (body.Position() != body.Size()) {
                throw ERangeError(Format("Packet of %d bytes does not fill its message of %d bytes",
                                         body.Position(), body.Size()));
            }
        } catch (const Exception& e) {
            LogWarning("Connection object buffer unreadable\r\n" + e.Message() + "\r\n");
            packet = MakeExceptionPacket(e.Message(), e.ClassName());
        } catch (const std::exception& e) {
            LogWarning(std::string("Connection object buffer unreadable\r\n") + e.what() + "\r\n");
            packet = MakeExceptionPacket(e.what(), "Exception");
        }
        add(std::make_unique<TPacketChannelMessage>(header, std::move(packet)));
        position = end;
    }
}

// ---- Receiver ----

TPacketChannelReceiver::TPacketChannelReceiver(TNotifyQueue& queue, int sessionNumber,
                                               std::uint32_t sectionSize, const TGuid& channelGuid)
    : queue_(queue), channelGuid_(channelGuid), sessionNumber_(sessionNumber) {
    std::string name = MakeSessionObjectName(channelGuid, sessionNumber, kControlSuffix, false);
    auto section = platform::SharedSection::Open(name, sizeof(ChannelControlBlock), true,
                                                 platform::ObjectAccess::Shared);
    // A live receiver (or a squatter) having this channel is refused: two receivers would steal
    // each other's messages.
    int rc = !section ? section.error().code : (*section)->AlreadyExisted() ? EEXIST : 0;
    if (rc != 0) {
        RaiseOsError(Format("Failed to create file mapping: %s", name), rc);
    }
    controlSection_ = std::move(*section);
    control_ = static_cast<ChannelControlBlock*>(controlSection_->Data());
    stream_ = std::make_unique<TGrowingSharedStream>(channelGuid, sessionNumber, true, sectionSize,
                                                     kMaxChannelCapacity);
    control_->WakeGuid = queue_.ExternalEventGuid();
    control_->Version = kChannelVersion;
    control_->ReceiverThreadUid = CurrentThreadUid();
    Atomic8(control_->Valid).store(1, std::memory_order_release);
    queue_.AddExternalNotification(this,
                                   TMethod::Of<&TPacketChannelReceiver::ExternalNotify>(this));
    bufferMonitor_ = TClock::CreateClock(4000, false, [this](TClock&) { CheckBuffer(); });
}

TPacketChannelReceiver::~TPacketChannelReceiver() {
    queue_.ClearExternalQueue(this);
    MarkTerminated();
    bufferMonitor_.reset();
    messages_.clear();
    stream_.reset();
    control_ = nullptr;
    controlSection_.reset();
    queue_.ClearQueue(this);
}

void TPacketChannelReceiver::MarkTerminated() {
    if (control_) {
        Atomic8(control_->Terminated).store(1, std::memory_order_release);
    }
}

void TPacketChannelReceiver::ReadMessages() {
    if (!onMessage_) {
        return;
    }
    TControlLock lock(*control_, kDrainLockTimeout);
    if (!lock.Locked()) {
        return; // the sender's append is still running, or the lock is held by a stuck peer
    }
    std::int32_t pendingEnd = Atomic32(control_->PendingEnd).load(std::memory_order_acquire);
    if (pendingEnd <= 0 || Atomic8(control_->Terminated).load()) {
        Atomic32(control_->PendingEnd).store(0, std::memory_order_release);
        return;
    }
    // One copy of everything pending, then decoding from private memory: a peer that changes
    // the bytes meanwhile cannot change what is being decoded.
    if (pendingEnd > stream_->DataSize()) {
        LogWarning(Format("Connection object buffer unreadable\r\nPending data ends at %d, beyond "
                          "the stream size %d\r\n",
                          pendingEnd, stream_->DataSize()));
        Atomic32(control_->PendingEnd).store(0, std::memory_order_release);
        return;
    }
    buffer_.resize(static_cast<std::size_t>(pendingEnd));
    stream_->SetPosition(0);
    std::int64_t got = stream_->Read(buffer_.data(), pendingEnd);
    if (got != pendingEnd) {
        LogWarning(Format("Connection object buffer unreadable\r\nMessage data ends at %d, beyond "
                          "the stream size %d\r\n",
                          pendingEnd, got));
    } else {
        DecodeChannelMessages(std::string_view(buffer_.data(), buffer_.size()),
                              [this](std::unique_ptr<TPacketChannelMessage> message) {
                                  messages_.push_back(std::move(message));
                              });
    }
    Atomic32(control_->PendingEnd).store(0, std::memory_order_release);
    if (buffer_.capacity() > kKeptBufferSize) {
        std::vector<char>().swap(buffer_);
    }
}

void TPacketChannelReceiver::DispatchMessages() {
    while (!messages_.empty()) {
        std::unique_ptr<TPacketChannelMessage> message = std::move(messages_.front());
        messages_.pop_front();
        if (onMessage_) {
            onMessage_(*message);
        }
    }
}

void TPacketChannelReceiver::ExternalNotify() {
    if (Atomic32(control_->PendingEnd).load(std::memory_order_acquire) <= 0) {
        return;
    }
    try {
        try {
            ReadMessages();
        } catch (const Exception& e) {
            MarkTerminated();
            LogWarning("Connection object buffer marked as terminated\r\n" + e.Message() + "\r\n");
        }
        DispatchMessages();
        bufferMonitor_->Reset();
    } catch (const Exception&) {
        RaiseWithContext("Failed to process external notification on receiving channel");
    }
}

void TPacketChannelReceiver::CheckBuffer() {
    bufferMonitor_->SetEnabled(false);
    TControlLock lock(*control_, kDrainLockTimeout);
    if (lock.Locked() && Atomic32(control_->PendingEnd).load() <= 0) {
        stream_->Truncate();
    }
}

std::unique_ptr<TPacketChannelMessage>
TPacketChannelReceiver::WaitForReply(TPacketChannelSender& sender, std::int32_t messageId,
                                     std::uint32_t timeout) {
    if (messageId == 0) {
        // Send returned 0: the request never went out, so no reply can come.
        if (!sender.Connected()) {
            Raise("Connection terminated while waiting for reply from local connection: " +
                  sender.DisconnectReason());
        }
        Raise("Failed to send request to local connection");
    }
    if (timeout == 0) {
        timeout = defaultReplyTimeout_ != 0 ? defaultReplyTimeout_ : kDefaultReplyTimeout;
    }
    QZ_ASSERT(timeout != INFINITE);
    const std::uint32_t start = GetTickCount();
    const std::uint32_t deadline = start + timeout;
    bool dispatchPosted = false;
    for (;;) {
        std::int32_t remaining = TickDifference(deadline, GetTickCount());
        std::int32_t slice = std::min<std::int32_t>(remaining, kWaitSlice);
        if (slice <= 0) {
            break;
        }
        bool signalled =
            queue_.WaitForExternalEvent(static_cast<std::uint32_t>(slice), sender.WakeHandle());
        if (!signalled && remaining <= static_cast<std::int32_t>(kWaitSlice)) {
            break;
        }
        ReadMessages();
        std::unique_ptr<TPacketChannelMessage> match;
        for (auto it = messages_.end(); it != messages_.begin();) {
            --it;
            const TPacketChannelMessage& message = **it;
            bool isMatch = (message.Flags() & cfReply) && message.MessageId() == messageId &&
                           message.ReplyChannel() == sender.TargetGuid();
            if (isMatch) {
                if (!match) {
                    match = std::move(*it);
                } else {
                    LogWarning(
                        Format("Duplicate reply %d from local connection dropped", messageId));
                }
                it = messages_.erase(it);
            } else if (!dispatchPosted) {
                queue_.Post(this, npNormal,
                            TMethod::Of<&TPacketChannelReceiver::DispatchMessages>(this));
                dispatchPosted = true;
            }
        }
        if (match) {
            return match;
        }
        std::uint32_t elapsed = GetTickCount() - start;
        sender.CheckConnection(elapsed > static_cast<std::uint32_t>(kRemoteThreadCheckAfter));
        if (!sender.Connected()) {
            Raise("Connection terminated while waiting for reply from local connection: " +
                  sender.DisconnectReason());
        }
    }
    Raise(Format("Timed out waiting for reply from local connection (after %d seconds; Event "
                 "name: %s)",
                 timeout / 1000, sender.WakeEventName()));
}

// ---- Sender ----

TPacketChannelSender::TPacketChannelSender(TNotifyQueue& queue, const TGuid& ownReplyGuid,
                                           const TGuid& targetGuid, int sessionNumber,
                                           std::uint32_t sectionSize)
    : queue_(queue), creatingThread_(std::this_thread::get_id()), ownReplyGuid_(ownReplyGuid),
      targetGuid_(targetGuid),
      ownSession_(sessionNumber == SessionLocal ? SessionLocal : CurrentSessionNumber()),
      targetSession_(sessionNumber), sectionSize_(sectionSize) {
    queue_.AddExternalNotification(this, TMethod::Of<&TPacketChannelSender::ExternalNotify>(this));
}

TPacketChannelSender::~TPacketChannelSender() {
    queue_.ClearExternalQueue(this);
    Disconnect(drReleased);
    liveness_.reset();
    queue_.ClearQueue(this);
}

THandle TPacketChannelSender::WakeHandle() const {
    return wakeEvent_ ? wakeEvent_->Handle() : nullptr;
}

bool TPacketChannelSender::Connect() {
    QZ_ASSERT(std::this_thread::get_id() == creatingThread_);
    QZ_ASSERT(!connectAttempted_);
    connectAttempted_ = true;
    try {
        std::string name =
            MakeSessionObjectName(targetGuid_, targetSession_, kControlSuffix, false);
        auto section = platform::SharedSection::Open(name, sizeof(ChannelControlBlock), false,
                                                     platform::ObjectAccess::Shared);
        if (!section) {
            Disconnect(drNotReachable);
            return false;
        }
        controlSection_ = std::move(*section);
        control_ = static_cast<ChannelControlBlock*>(controlSection_->Data());
        if (!Atomic8(control_->Valid).load(std::memory_order_acquire)) {
            Disconnect(drInvalid);
            return false;
        }
        if (Atomic8(control_->Terminated).load()) {
            Disconnect(drTerminated);
            return false;
        }
        if (control_->Version != kChannelVersion) {
            Disconnect(drProtocolVersion);
            return false;
        }
        if (IsThreadUidTerminated(control_->ReceiverThreadUid)) {
            Disconnect(drRemoteThreadEnded);
            return false;
        }
        wakeEventName_ = TNotifyQueue::MakeExternalEventName(control_->WakeGuid);
        try {
            wakeEvent_ = std::make_unique<TWinEvent>(wakeEventName_, false);
        } catch (const Exception&) {
            Disconnect(drEventNotOpened);
            return false;
        }
        stream_ = std::make_unique<TGrowingSharedStream>(targetGuid_, targetSession_, false,
                                                         sectionSize_);
        liveness_ = TClock::CreateClock(4000, true, [this](TClock&) { Liveness(); });
        connected_ = true;
        return true;
    } catch (const Exception&) {
        Disconnect(drUnknownError);
        RaiseWithContext("Failed to connect to packet channel receiver");
    }
}

void TPacketChannelSender::Liveness() {
    CheckConnection(true);
}

void TPacketChannelSender::Disconnect(int reason) {
    connected_ = false;
    reason_ = reason;
    control_ = nullptr;
    controlSection_.reset();
    stream_.reset();
    // The liveness clock may be the caller: stop it here, free it with the sender.
    if (liveness_) {
        liveness_->SetEnabled(false);
    }
    wakeEvent_.reset();
}

void TPacketChannelSender::CheckConnection(bool checkRemoteThread) {
    if (!connected_ || !control_) {
        return;
    }
    int reason = drUnknown;
    if (Atomic8(control_->Terminated).load(std::memory_order_acquire)) {
        reason = drTerminated;
    } else if (checkRemoteThread && IsThreadUidTerminated(control_->ReceiverThreadUid)) {
        reason = drRemoteThreadEnded;
    }
    if (reason != drUnknown) {
        Disconnect(reason);
        if (onDisconnect_) {
            onDisconnect_(*this);
        }
    }
}

void TPacketChannelSender::ExternalNotify() {
    CheckConnection(false);
}

void TPacketChannelSender::WakeReceiver() {
    if (wakeEvent_) {
        wakeEvent_->Handle()->Signal();
    }
}

std::int32_t TPacketChannelSender::Send(std::int32_t messageId, const TPacket& packet,
                                        std::uint8_t flags) {
    QZ_ASSERT(std::this_thread::get_id() == creatingThread_);
    CheckConnection(false);
    if (!connected_) {
        return 0;
    }
    try {
        std::int32_t id = messageId;
        if (!(flags & cfReply)) {
            // Ids stay positive: 0 means "not sent" to the caller.
            counter_ = counter_ == INT32_MAX ? 1 : counter_ + 1;
            id = counter_;
        }
        TVirtualStream encoded;
        MessageHeader header{};
        encoded.Write(&header, sizeof header);
        packet.SaveToStream(encoded);
        std::int64_t length = encoded.Size();
        if (length > kMaxChannelCapacity) {
            LogWarning(Format("Message of %d bytes is too large for a packet channel", length));
            return 0;
        }
        header.Version = kChannelVersion;
        header.Flags = flags;
        header.MessageId = id;
        header.reserved12 = 0xFFFFFFFF;
        header.ReplyChannel = ownReplyGuid_;
        header.SenderSession = ownSession_;
        header.Length = static_cast<std::int32_t>(length);
        std::memcpy(encoded.Memory(), &header, sizeof header);
        {
            TControlLock lock(*control_, kSendLockTimeout);
            if (!lock.Locked()) {
                Raise("Timed out waiting for the lock of the packet channel");
            }
            std::int64_t start = std::max<std::int32_t>(Atomic32(control_->PendingEnd).load(), 0);
            if (start + length > kMaxChannelCapacity) {
                LogWarning(Format("Packet channel is full: %d bytes pending, message of %d bytes",
                                  start, length));
                return 0;
            }
            stream_->SetPosition(start);
            stream_->WriteBuffer(encoded.Memory(), length);
            Atomic32(control_->PendingEnd)
                .store(static_cast<std::int32_t>(start + length), std::memory_order_release);
        }
        if (!(flags & cfRequest)) {
            if (auto set = wakeEvent_->Handle()->Signal(); !set) {
                RaiseOsError(Format("Failed to set event object 0x0%x",
                                    reinterpret_cast<std::uintptr_t>(wakeEvent_->Handle())),
                             set.error().code);
            }
        }
        return id;
    } catch (const Exception& e) {
        LogWarning("Failed to send message on packet channel\r\n" + e.Message());
        return 0;
    }
}

} // namespace qz
