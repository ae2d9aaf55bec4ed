#pragma once

// The build's event stream: monitor event packets encoded once under one save context (context
// framing from position 0) and handed, packet by packet, to every sink: the monitor data file
// and the shared stream the console reads. Both therefore carry the same bytes, so a position in
// one is the same event boundary in the other.

#include "CM/Packets.h"
#include "CM/StreamUtils.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qz::tasksmith {

/// Where encoded events go. Append receives whole packets only.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Append(const void* data, std::size_t size) = 0;
    /// Makes everything appended so far durable or visible (called at least every 100 ms while
    /// events flow, and at the end).
    virtual void Flush() {}
};

/// A sink over any stream (the shared stream of the build, a memory stream in tests): one
/// WriteBuffer per packet, so a reader never sees part of a packet.
class StreamEventSink : public EventSink {
public:
    explicit StreamEventSink(TStream& stream) : stream_(stream) {}
    void Append(const void* data, std::size_t size) override;

private:
    TStream& stream_;
};

class EventWriter {
public:
    void AddSink(EventSink* sink) { sinks_.push_back(sink); }
    /// Encodes the event and appends it to every sink.
    void Write(const TPacket& event);
    void Flush();
    /// Bytes written so far (the position of the next event).
    std::int64_t Position() const { return position_; }

private:
    TPacketSaveContext context_;
    // Kept between events: a block given back and taken again for every event costs a system
    // call pair and page faults per output line batch.
    TVirtualStream buffer_{VirtualStreamOption::KeepMemory | VirtualStreamOption::NeverShrink};
    std::vector<EventSink*> sinks_;
    std::int64_t position_ = 0;
};

/// A monitor event of a class that has no C++ wrapper, by class name, with its defaults.
std::unique_ptr<TPacket> NewEvent(const char* className);

/// Sets a field by name; the value is converted to the field's type. A name the class does not
/// have is a programming error.
void SetField(TPacket& packet, const char* field, int value);
void SetField(TPacket& packet, const char* field, const std::string& value);
void SetField(TPacket& packet, const char* field, const char* value);
void SetField(TPacket& packet, const char* field, bool value);

} // namespace qz::tasksmith
