#include "EventWriter.h"

#include "CM/Exceptions.h"

namespace qz::tasksmith {

namespace {

int FieldOf(const TPacket& packet, const char* field) {
    int index = packet.FieldIndex(field);
    QZ_ASSERT(index >= 0);
    return index;
}

} // namespace

void StreamEventSink::Append(const void* data, std::size_t size) {
    stream_.WriteBuffer(data, static_cast<std::int64_t>(size));
}

void EventWriter::Write(const TPacket& event) {
    buffer_.SetSize(0);
    event.SaveToStream(buffer_, &context_, 0);
    std::string_view bytes = buffer_.View();
    for (EventSink* sink : sinks_) {
        sink->Append(bytes.data(), bytes.size());
    }
    position_ += static_cast<std::int64_t>(bytes.size());
}

void EventWriter::Flush() {
    for (EventSink* sink : sinks_) {
        sink->Flush();
    }
}

std::unique_ptr<TPacket> NewEvent(const char* className) {
    const TPacketClass* cls = FindPacketClassByName(className);
    QZ_ASSERT(cls != nullptr);
    return cls->Create();
}

void SetField(TPacket& packet, const char* field, int value) {
    int index = FieldOf(packet, field);
    if (packet.Class().Field(index).type == TValueType::Boolean) {
        packet.SetBool(index, value != 0);
    } else {
        packet.SetInt(index, value);
    }
}

void SetField(TPacket& packet, const char* field, const std::string& value) {
    packet.SetStr(FieldOf(packet, field), value);
}

void SetField(TPacket& packet, const char* field, const char* value) {
    packet.SetStr(FieldOf(packet, field), value);
}

void SetField(TPacket& packet, const char* field, bool value) {
    packet.SetBool(FieldOf(packet, field), value);
}

} // namespace qz::tasksmith
