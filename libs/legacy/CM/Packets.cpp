#include "Packets.h"

#include "ByteOrder.h"
#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>

namespace qz {

namespace {

constexpr std::uint32_t kFormatVersion = 2;
constexpr int kHeaderSize = 32;
constexpr int kIntroSize = 19;
constexpr int kMaxListPreallocation = 32;
// Nesting of packets inside packets (nested fields and list items). Real classes nest a few
// levels; a hostile stream could otherwise nest list items until the stack overflows.
constexpr int kMaxNestingDepth = 64;
// Packets are encoded into memory streams that grow in steps of up to 1 MB.
constexpr std::uint16_t kPacketStreamOptions = VirtualStreamOption::Step1M;

std::unique_ptr<TVirtualStream> NewBlob() {
    return std::make_unique<TVirtualStream>(kPacketStreamOptions);
}

enum ValueIndex {
    vInt,
    vDouble,
    vString,
    vWide,
    vGuid,
    vStrings,
    vList,
    vPacket,
    vBlob,
    vIntList,
    vInt64List
};

TPacketFieldKind KindOf(TValueType type) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::CompactInt:
    case TValueType::Handle:
        return FieldKindInteger;
    case TValueType::Boolean:
        return FieldKindBoolean;
    case TValueType::DateTime:
        return FieldKindDateTime;
    case TValueType::String:
    case TValueType::WideString:
        return FieldKindString;
    case TValueType::Guid:
    case TValueType::Enum:
    case TValueType::RawEnum:
    case TValueType::Set:
    case TValueType::Record:
        return FieldKindOther;
    default:
        return FieldKindObject;
    }
}

int NaturalSize(TValueType type, int specSize) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::CompactInt:
    case TValueType::Handle:
        return 4;
    case TValueType::Int8:
    case TValueType::Boolean:
    case TValueType::Enum:
    case TValueType::RawEnum:
        return 1;
    case TValueType::Word:
        return 2;
    case TValueType::Int64:
    case TValueType::DateTime:
        return 8;
    case TValueType::Guid:
        return 16;
    case TValueType::Set:
    case TValueType::Record:
        return specSize;
    default:
        return 0;
    }
}

// The stored (raw) form of an integer-like value: truncated to the field's width; Integer and
// CompactInt keep their sign, Int64 all of it.
std::int64_t Truncate(TValueType type, int size, std::int64_t value) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::CompactInt:
        return static_cast<std::int32_t>(value);
    case TValueType::Cardinal:
    case TValueType::Handle:
        return static_cast<std::uint32_t>(value);
    case TValueType::Int8:
    case TValueType::Enum:
    case TValueType::RawEnum:
        return static_cast<std::uint8_t>(value);
    case TValueType::Word:
        return static_cast<std::uint16_t>(value);
    case TValueType::Boolean:
        return value != 0 ? 1 : 0;
    case TValueType::Set:
        return size >= 8 ? value
                         : static_cast<std::int64_t>(static_cast<std::uint64_t>(value) &
                                                     ((std::uint64_t{1} << (size * 8)) - 1));
    default:
        return value;
    }
}

// The value as a signed number (Int8 sign-extended).
std::int64_t Interpret(TValueType type, std::int64_t raw) {
    if (type == TValueType::Int8) {
        return static_cast<std::int8_t>(static_cast<std::uint8_t>(raw));
    }
    return raw;
}

bool IsIntegerLike(TValueType type) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::CompactInt:
    case TValueType::Handle:
    case TValueType::Boolean:
    case TValueType::Enum:
    case TValueType::RawEnum:
    case TValueType::Set:
        return true;
    default:
        return false;
    }
}

// ---- Texts of values ----

std::string QuoteText(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\0' ? ' ' : c;
    }
    out += '\'';
    return out;
}

// The general floating format with 4 significant digits: plain notation unless the number
// needs more than 4 digits before the point or is below 1E-5, then mantissa "E" exponent.
std::string FloatGeneral4(double value) {
    if (value == 0 || !std::isfinite(value)) {
        return value == 0 ? "0" : (std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF"));
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3e", value);
    std::string sci = buffer;
    std::size_t e = sci.find('e');
    int exponent = std::atoi(sci.c_str() + e + 1);
    auto stripZeros = [](std::string s) {
        if (s.find('.') != std::string::npos) {
            while (!s.empty() && s.back() == '0') {
                s.pop_back();
            }
            if (!s.empty() && s.back() == '.') {
                s.pop_back();
            }
        }
        return s;
    };
    if (exponent >= 4 || std::fabs(value) < 1e-5) {
        return stripZeros(sci.substr(0, e)) + "E" + std::to_string(exponent);
    }
    std::snprintf(buffer, sizeof buffer, "%.*f", std::max(0, 3 - exponent), value);
    return stripZeros(buffer);
}

// Date and time of a day number counted from 1899-12-30; the time is left out at midnight.
std::string DateTimeText(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 3e6) {
        return FloatGeneral4(value);
    }
    auto days = static_cast<std::int64_t>(std::floor(value));
    auto ms = static_cast<std::int64_t>(std::llround((value - static_cast<double>(days)) * 864e5));
    if (ms >= 86400000) {
        ++days;
        ms -= 86400000;
    }
    // 1970-01-01 is day 25569.
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days - 25569}}};
    std::string text = Format("%.4d-%.2d-%.2d", static_cast<int>(date.year()),
                              static_cast<int>(static_cast<unsigned>(date.month())),
                              static_cast<int>(static_cast<unsigned>(date.day())));
    if (ms != 0) {
        std::int64_t s = ms / 1000;
        text += Format(" %.2d:%.2d:%.2d", s / 3600, s / 60 % 60, s % 60);
    }
    return text;
}

std::int32_t TextToInteger(const std::string& text) {
    std::int32_t value = 0;
    if (!TryTextToInt(text, value)) {
        Raise(Format("'%s' is not a valid integer value", text));
    }
    return value;
}

double TextToFloat(const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size()) {
        Raise(Format("'%s' is not a valid floating point value", text));
    }
    return value;
}

// The lines of a text as a string list splits them.
TStringListEx SplitLines(std::string_view text) {
    TStringListEx lines;
    lines.AssignText(text);
    return lines;
}

// The low size bytes (1 to 8) of the value, little-endian.
void WriteLE(TStream& stream, std::uint64_t value, int size) {
    std::uint8_t b[8];
    StoreLE(b, value, static_cast<std::size_t>(size));
    stream.WriteBuffer(b, size);
}

void WriteU32(TStream& stream, std::uint32_t value) {
    WriteLE(stream, value, 4);
}

// A compact length, then the bytes.
void WriteSizedString(TStream& stream, std::string_view text) {
    WriteCompactCount(stream, static_cast<std::int32_t>(text.size()));
    stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

} // namespace

// ---- The reader: one per top-level load; it knows the stream size and its own position ----

struct TPacket::TReader {
    TStream& stream;
    TPacketLoadContext* context;
    std::int64_t size;
    std::int64_t pos;
    int depth = 0;

    TReader(TStream& s, TPacketLoadContext* c) : stream(s), context(c) {
        pos = s.Position();
        size = s.Size();
    }
    std::int64_t Left() const { return size - pos; }
    void Read(void* buffer, std::int64_t count) {
        stream.ReadBuffer(buffer, count);
        pos += count;
    }
    std::uint8_t Byte() {
        std::uint8_t b;
        Read(&b, 1);
        return b;
    }
    void Skip(std::int64_t count) {
        if (count != 0) {
            pos = stream.Seek(count, SeekOrigin::Current);
        }
    }
    void SeekTo(std::int64_t position) { pos = stream.Seek(position, SeekOrigin::Begin); }

    void Need(const std::string& name, std::int64_t count) {
        if (Left() < count) {
            throw ERangeError(
                Format("Trying to load %s (%d bytes) beyond the buffer end", name, count));
        }
    }
    // Positions are 64-bit: an event stream passes 2 GiB in a long build.
    void NeedNoOverflow(const std::string& name, std::int64_t count) {
        if (count < 0 || pos > std::numeric_limits<std::int64_t>::max() - count) {
            throw ERangeError(Format(
                "Position calculation will overflow trying to load %s (Position: %d, Length: %d)",
                name, pos, count));
        }
    }
    std::int32_t Compact(const std::string& name) {
        if (Left() < 1) {
            throw ERangeError(Format(
                "Trying to load short %s field's length (1 byte) beyond the buffer end", name));
        }
        std::uint8_t b[4] = {Byte(), 0, 0, 0};
        if (b[0] & 1) {
            if (Left() < 3) {
                throw ERangeError(Format(
                    "Trying to load %s field's length (3 bytes) beyond the buffer end", name));
            }
            Read(b + 1, 3);
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(LoadLE(b, 4)) >> 1);
    }
    std::string Bytes(const std::string& name, std::int64_t count) {
        if (count == 0) {
            return {};
        }
        NeedNoOverflow(name, count);
        Need(name, count);
        std::string bytes(static_cast<std::size_t>(count), '\0');
        Read(bytes.data(), count);
        return bytes;
    }
    // A sized value: size byte, then the bytes; the native width is kept (zero-extended when
    // fewer bytes were stored, surplus skipped when more).
    std::uint64_t Sized(const std::string& name, int native) {
        if (Left() < 1) {
            throw ERangeError(
                Format("Trying to load %s field's length (1 byte) beyond the buffer end", name));
        }
        int n = Byte();
        if (n == 0) {
            throw ERangeError(
                Format("Zero or Negative length (%d bytes) trying to load %s", n, name));
        }
        NeedNoOverflow(name, n);
        Need(name, n);
        std::uint8_t b[8] = {};
        if (n >= native) {
            Read(b, native);
            Skip(n - native);
        } else {
            Read(b, n);
        }
        return LoadLE(b, native);
    }
};

namespace {
const TPacketClass& ReadClassRef(TPacket::TReader& reader, TPacketLoadContext& context,
                                 int& storedFieldCount);
} // namespace

// ---- TPacketClass ----

TPacketClass::TPacketClass(const TPacketClassDef& def, const TPacketClass* base)
    : m_name(def.name), m_parent(base), m_factory(def.factory) {
    m_guid = def.guid != nullptr ? GuidFromText(def.guid)
                                 : (base != nullptr ? base->ClassGUID() : TGuid{});
    for (const TPacketFieldSpec& f : def.fields) {
        TPacketField field;
        field.name = f.name;
        field.itemName = f.itemName;
        field.caption = f.caption;
        field.itemCaption = f.itemCaption;
        field.type = f.type;
        field.kind = KindOf(f.type);
        field.size = NaturalSize(f.type, f.size);
        field.intDefault = 0;
        field.doubleDefault = 0;
        field.ref = nullptr;
        field.skipForeign = f.skipForeign;
        QZ_ASSERT((f.type != TValueType::Set || (f.size >= 1 && f.size <= 8)) &&
                  (f.type != TValueType::Record || f.size > 0));
        if (f.defaultValue != nullptr) {
            std::string def = f.defaultValue;
            if (f.type == TValueType::Boolean) {
                field.intDefault = SameTextAscii(def, "true") ? 1 : 0;
            } else if (f.type == TValueType::DateTime) {
                field.doubleDefault = std::strtod(def.c_str(), nullptr);
            } else if (IsIntegerLike(f.type)) {
                field.intDefault =
                    Truncate(f.type, field.size, std::strtoll(def.c_str(), nullptr, 10));
            } else {
                field.textDefault = def;
            }
        }
        m_fields.push_back(std::move(field));
        m_refNames.emplace_back(f.ref != nullptr ? f.ref : "");
    }
}

void TPacketClass::ResolveReferences(
    const std::function<const TPacketClass*(std::string_view)>& lookup) {
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        TValueType type = m_fields[i].type;
        if (type == TValueType::Packet || type == TValueType::OptionalPacket ||
            type == TValueType::PacketList) {
            const TPacketClass* ref =
                m_refNames[i].empty() ? &TPacket::StaticClass() : lookup(m_refNames[i]);
            QZ_ASSERT(ref != nullptr);
            m_fields[i].ref = ref;
        }
    }
}

bool TPacketClass::InheritsFrom(const TPacketClass& other) const {
    for (const TPacketClass* c = this; c != nullptr; c = c->m_parent) {
        if (c == &other) {
            return true;
        }
    }
    return false;
}

int TPacketClass::FieldIndex(std::string_view name) const {
    for (int i = 0; i < FieldCount(); ++i) {
        if (m_fields[static_cast<std::size_t>(i)].name == name) {
            return i;
        }
    }
    return -1;
}

TPacketFieldKind TPacketClass::FieldKind(int index) const {
    return HasField(index) ? Field(index).kind : FieldKindOther;
}

std::string TPacketClass::FieldName(int index) const {
    return HasField(index) ? Field(index).name : std::string();
}

std::string TPacketClass::FieldItemName(int index) const {
    return HasField(index) ? Field(index).itemName : std::string();
}

std::string TPacketClass::FieldCaption(int index) const {
    if (!HasField(index)) {
        return {};
    }
    return Field(index).caption.empty() ? Field(index).name : Field(index).caption;
}

std::string TPacketClass::FieldItemCaption(int index) const {
    if (!HasField(index)) {
        return {};
    }
    return Field(index).itemCaption.empty() ? Field(index).itemName : Field(index).itemCaption;
}

std::unique_ptr<TPacket> TPacketClass::Create() const {
    if (m_factory != nullptr) {
        return m_factory(*this);
    }
    if (InheritsFrom(TCommPacket::StaticClass())) {
        return std::make_unique<TCommPacket>(*this);
    }
    return std::make_unique<TPacket>(*this);
}

// ---- TPacket: life cycle ----

const TPacketClass& TPacket::StaticClass() {
    static const TPacketClass cls(
        TPacketClassDef{"TPacket", "{47BF5205-8993-41F5-98E9-03CB6EA34D1E}", false, {}}, nullptr);
    return cls;
}

TPacket::TPacket() : TPacket(StaticClass()) {}

TPacket::TPacket(const TPacketClass& cls) : m_class(&cls) {
    InitValues();
    m_class->m_instanceCount.fetch_add(1, std::memory_order_relaxed);
}

TPacket::~TPacket() {
    m_class->m_instanceCount.fetch_sub(1, std::memory_order_relaxed);
}

void TPacket::InitValues() {
    m_values.clear();
    m_values.reserve(static_cast<std::size_t>(FieldCount()));
    for (int i = 0; i < FieldCount(); ++i) {
        const TPacketField& f = m_class->Field(i);
        switch (f.type) {
        case TValueType::DateTime:
            m_values.emplace_back(std::in_place_index<vDouble>, f.doubleDefault);
            break;
        case TValueType::String:
            m_values.emplace_back(std::in_place_index<vString>, f.textDefault);
            break;
        case TValueType::Record:
            m_values.emplace_back(std::in_place_index<vString>,
                                  std::string(static_cast<std::size_t>(f.size), '\0'));
            break;
        case TValueType::WideString:
            m_values.emplace_back(std::in_place_index<vWide>, Utf8ToWide(f.textDefault));
            break;
        case TValueType::Guid:
            m_values.emplace_back(std::in_place_index<vGuid>);
            break;
        case TValueType::StringList:
        case TValueType::StringListAsText:
            m_values.emplace_back(std::in_place_index<vStrings>);
            break;
        case TValueType::PacketList:
            QZ_ASSERT(f.ref != nullptr);
            m_values.emplace_back(std::in_place_index<vList>,
                                  std::make_unique<TCustomPacketList>(*f.ref));
            break;
        case TValueType::Packet:
            QZ_ASSERT(f.ref != nullptr);
            m_values.emplace_back(std::in_place_index<vPacket>, f.ref->Create());
            break;
        case TValueType::OptionalPacket:
            m_values.emplace_back(std::in_place_index<vPacket>);
            break;
        case TValueType::Blob:
            m_values.emplace_back(std::in_place_index<vBlob>, NewBlob());
            break;
        case TValueType::IntegerList:
            m_values.emplace_back(std::in_place_index<vIntList>);
            break;
        case TValueType::Int64List:
            m_values.emplace_back(std::in_place_index<vInt64List>);
            break;
        default:
            m_values.emplace_back(std::in_place_index<vInt>, f.intDefault);
            break;
        }
    }
}

std::string TPacket::AccessorName(int index) const {
    return ClassName() + "." + FieldName(index);
}

const TPacketField& TPacket::Typed(int index, TValueType a, TValueType b) const {
    QZ_ASSERT(m_class->HasField(index));
    const TPacketField& f = m_class->Field(index);
    QZ_ASSERT(f.type == a || f.type == b);
    return f;
}

// ---- Generic accessors ----

TPacketObject TPacket::GetFieldAsObject(int index) {
    if (m_class->HasField(index)) {
        TValue& v = m_values[static_cast<std::size_t>(index)];
        switch (m_class->Field(index).type) {
        case TValueType::StringList:
        case TValueType::StringListAsText:
            return &std::get<vStrings>(v);
        case TValueType::PacketList:
            return std::get<vList>(v).get();
        case TValueType::Packet:
        case TValueType::OptionalPacket:
            return &Nested(index);
        case TValueType::Blob:
            return std::get<vBlob>(v).get();
        case TValueType::IntegerList:
            return &std::get<vIntList>(v);
        case TValueType::Int64List:
            return &std::get<vInt64List>(v);
        default:
            break;
        }
    }
    Raise(Format("Cannot get field as object: %s", AccessorName(index)));
}

std::int32_t TPacket::GetFieldAsInteger(int index) const {
    TPacketFieldKind kind = FieldKind(index);
    if (m_class->HasField(index) && (kind == FieldKindInteger || kind == FieldKindBoolean)) {
        const TPacketField& f = m_class->Field(index);
        return static_cast<std::int32_t>(
            Interpret(f.type, std::get<vInt>(m_values[static_cast<std::size_t>(index)])));
    }
    Raise(Format("Cannot get field as integer: %s", AccessorName(index)));
}

void TPacket::SetFieldAsInteger(int index, std::int32_t value) {
    TPacketFieldKind kind = FieldKind(index);
    if (m_class->HasField(index) && (kind == FieldKindInteger || kind == FieldKindBoolean)) {
        const TPacketField& f = m_class->Field(index);
        std::get<vInt>(m_values[static_cast<std::size_t>(index)]) = Truncate(f.type, f.size, value);
        return;
    }
    Raise(Format("Cannot set field as integer: %s", AccessorName(index)));
}

std::string TPacket::GetFieldAsString(int index) const {
    if (m_class->HasField(index)) {
        const TPacketField& f = m_class->Field(index);
        const TValue& v = m_values[static_cast<std::size_t>(index)];
        switch (f.kind) {
        case FieldKindString:
            return f.type == TValueType::WideString ? WideToUtf8(std::get<vWide>(v))
                                                    : std::get<vString>(v);
        case FieldKindInteger: {
            std::int64_t raw = std::get<vInt>(v);
            return std::to_string(Interpret(f.type, raw));
        }
        case FieldKindBoolean:
            return std::get<vInt>(v) != 0 ? "True" : "False";
        case FieldKindDateTime:
            return FloatGeneral4(std::get<vDouble>(v));
        default:
            if (f.type == TValueType::StringList) {
                return std::get<vStrings>(v).ToText();
            }
            break;
        }
    }
    Raise(Format("Cannot get field as string: %s", AccessorName(index)));
}

void TPacket::SetFieldAsString(int index, const std::string& value) {
    if (m_class->HasField(index)) {
        const TPacketField& f = m_class->Field(index);
        TValue& v = m_values[static_cast<std::size_t>(index)];
        switch (f.kind) {
        case FieldKindString:
            if (f.type == TValueType::WideString) {
                std::get<vWide>(v) = Utf8ToWide(value);
            } else {
                std::get<vString>(v) = value;
            }
            return;
        case FieldKindInteger:
            std::get<vInt>(v) = Truncate(f.type, f.size, value.empty() ? 0 : TextToInteger(value));
            return;
        case FieldKindBoolean:
            std::get<vInt>(v) = SameTextAscii(value, "True") ? 1 : 0;
            return;
        case FieldKindDateTime:
            std::get<vDouble>(v) = TextToFloat(value);
            return;
        default:
            if (f.type == TValueType::StringList) {
                std::get<vStrings>(v).AssignText(value);
                return;
            }
            break;
        }
    }
    Raise(Format("Cannot set field as string: %s", AccessorName(index)));
}

double TPacket::GetFieldAsDouble(int index) const {
    TPacketFieldKind kind = FieldKind(index);
    if (m_class->HasField(index)) {
        const TPacketField& f = m_class->Field(index);
        const TValue& v = m_values[static_cast<std::size_t>(index)];
        if (kind == FieldKindInteger) {
            return static_cast<double>(Interpret(f.type, std::get<vInt>(v)));
        }
        if (kind == FieldKindDateTime) {
            return std::get<vDouble>(v);
        }
    }
    Raise(Format("Cannot get field as double: %s", AccessorName(index)));
}

void TPacket::SetFieldAsDouble(int index, double value) {
    TPacketFieldKind kind = FieldKind(index);
    if (m_class->HasField(index)) {
        const TPacketField& f = m_class->Field(index);
        TValue& v = m_values[static_cast<std::size_t>(index)];
        if (kind == FieldKindInteger) {
            double rounded = std::nearbyint(value); // the default mode rounds halves to even
            if (!(rounded >= -9.2e18 && rounded <= 9.2e18)) {
                Raise("Invalid floating point operation");
            }
            std::get<vInt>(v) = Truncate(f.type, f.size, static_cast<std::int64_t>(rounded));
            return;
        }
        if (kind == FieldKindDateTime) {
            std::get<vDouble>(v) = value;
            return;
        }
    }
    Raise(Format("Cannot set field as double: %s", AccessorName(index)));
}

// ---- Copy, clear, compare, dump ----

void TPacket::Assign(const TPacket& source) {
    if (&source == this) {
        return;
    }
    if (!source.Class().InheritsFrom(Class())) {
        Raise("Invalid class typecast");
    }
    for (int i = 0; i < FieldCount(); ++i) {
        const TValue& from = source.m_values[static_cast<std::size_t>(i)];
        TValue& to = m_values[static_cast<std::size_t>(i)];
        switch (m_class->Field(i).type) {
        case TValueType::PacketList:
            std::get<vList>(to)->Assign(*std::get<vList>(from));
            break;
        case TValueType::Packet:
            std::get<vPacket>(to)->Assign(*std::get<vPacket>(from));
            break;
        case TValueType::OptionalPacket:
            if (!std::get<vPacket>(from)) {
                std::get<vPacket>(to).reset();
            } else {
                EnsureOptional(i).Assign(*std::get<vPacket>(from));
            }
            break;
        case TValueType::Blob:
            std::get<vBlob>(to)->SetContent(std::get<vBlob>(from)->View());
            break;
        default:
            // Plain values (numbers, texts, GUIDs, string and number lists) copy as they are.
            std::visit(
                [&to](const auto& value) {
                    if constexpr (std::is_copy_assignable_v<std::decay_t<decltype(value)>>) {
                        to = value;
                    }
                },
                from);
            break;
        }
    }
}

void TPacket::Clear() {
    for (int i = 0; i < FieldCount(); ++i) {
        const TPacketField& f = m_class->Field(i);
        TValue& v = m_values[static_cast<std::size_t>(i)];
        switch (f.type) {
        case TValueType::PacketList:
            std::get<vList>(v)->Clear();
            break;
        case TValueType::Packet:
        case TValueType::OptionalPacket:
            if (std::get<vPacket>(v)) {
                std::get<vPacket>(v)->Clear();
            }
            break;
        case TValueType::Blob:
            std::get<vBlob>(v)->SetSize(0);
            break;
        case TValueType::StringList:
        case TValueType::StringListAsText:
            std::get<vStrings>(v).Clear();
            break;
        case TValueType::IntegerList:
            std::get<vIntList>(v).clear();
            break;
        case TValueType::Int64List:
            std::get<vInt64List>(v).clear();
            break;
        case TValueType::DateTime:
            std::get<vDouble>(v) = f.doubleDefault;
            break;
        case TValueType::String:
            std::get<vString>(v) = f.textDefault;
            break;
        case TValueType::Record:
            std::get<vString>(v).assign(static_cast<std::size_t>(f.size), '\0');
            break;
        case TValueType::WideString:
            std::get<vWide>(v) = Utf8ToWide(f.textDefault);
            break;
        case TValueType::Guid:
            std::get<vGuid>(v) = TGuid{};
            break;
        default:
            std::get<vInt>(v) = f.intDefault;
            break;
        }
    }
}

int TPacket::GetFieldText(int index, std::string& text) const {
    if (!m_class->HasField(index)) {
        return 0;
    }
    const TPacketField& f = m_class->Field(index);
    const TValue& v = m_values[static_cast<std::size_t>(index)];
    switch (f.type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::CompactInt:
    case TValueType::Handle:
        text = std::to_string(Interpret(f.type, std::get<vInt>(v)));
        return 1;
    case TValueType::Boolean:
        text = std::get<vInt>(v) != 0 ? "True" : "False";
        return 1;
    case TValueType::DateTime:
        text = DateTimeText(std::get<vDouble>(v));
        return 1;
    case TValueType::String:
        text = QuoteText(std::get<vString>(v));
        return 1;
    case TValueType::WideString:
        text = QuoteText(WideToUtf8(std::get<vWide>(v)));
        return 1;
    case TValueType::Guid:
        text = GuidToText(std::get<vGuid>(v));
        return 1;
    case TValueType::Enum:
    case TValueType::RawEnum:
    case TValueType::Set:
    case TValueType::Record:
        return 0;
    case TValueType::StringList:
        text = std::get<vStrings>(v).ToText();
        return 2;
    case TValueType::PacketList:
        text = std::get<vList>(v)->Text();
        return 2;
    case TValueType::Packet:
    case TValueType::OptionalPacket:
        if (!std::get<vPacket>(v)) {
            text = "(null)";
            return 1;
        }
        text = std::get<vPacket>(v)->DumpText();
        return 2;
    case TValueType::Blob:
        text = Format("(size = %d)", std::get<vBlob>(v)->Size());
        return 1;
    default:
        text.clear();
        return 1;
    }
}

bool TPacket::FieldEquals(int index, const TPacket& other) const {
    const TValue& a = m_values[static_cast<std::size_t>(index)];
    const TValue& b = other.m_values[static_cast<std::size_t>(index)];
    switch (m_class->Field(index).type) {
    case TValueType::PacketList:
        return std::get<vList>(a)->Equals(*std::get<vList>(b));
    case TValueType::Packet:
        return std::get<vPacket>(a)->Equals(*std::get<vPacket>(b));
    case TValueType::OptionalPacket:
        return SameOptional(index, other);
    case TValueType::Blob:
        return std::get<vBlob>(a)->View() == std::get<vBlob>(b)->View();
    default:
        return a.index() == b.index() && std::visit(
                                             [&b](const auto& value) {
                                                 using T = std::decay_t<decltype(value)>;
                                                 const T& otherValue = std::get<T>(b);
                                                 // Lines compare by their exact bytes.
                                                 if constexpr (std::is_same_v<T, TStringListEx>) {
                                                     return value.Strings() == otherValue.Strings();
                                                 } else {
                                                     return value == otherValue;
                                                 }
                                             },
                                             a);
    }
}

bool TPacket::Equals(const TPacket& other) const {
    if (&other == this) {
        return true;
    }
    if (!(other.ClassGUID() == ClassGUID()) || other.FieldCount() < FieldCount()) {
        return false;
    }
    for (int i = 0; i < FieldCount(); ++i) {
        if (!FieldEquals(i, other)) {
            return false;
        }
    }
    return true;
}

bool TPacket::CompareFields(const TPacket& other,
                            const std::function<void(int)>& onDifference) const {
    if (&other == this) {
        return true;
    }
    if (!(other.ClassGUID() == ClassGUID()) || other.FieldCount() < FieldCount()) {
        onDifference(-1);
        return false;
    }
    bool same = true;
    for (int i = 0; i < FieldCount(); ++i) {
        if (!FieldEquals(i, other)) {
            same = false;
            onDifference(i);
        }
    }
    return same;
}

std::unique_ptr<TPacket> TPacket::Clone() const {
    std::unique_ptr<TPacket> copy = m_class->Create();
    copy->Assign(*this);
    return copy;
}

void TPacket::DumpToStrings(TStringListEx& lines) const {
    lines.Add("(" + ClassName() + ")");
    for (int i = 0; i < FieldCount(); ++i) {
        std::string text;
        int result = GetFieldText(i, text);
        std::string head = "  " + FieldName(i) + " = ";
        if (result == 0) {
            lines.Add(head + "(?)");
        } else if (result == 2) {
            lines.Add(head);
            for (const std::string& line : SplitLines(text)) {
                lines.Add("    " + line);
            }
        } else {
            lines.Add(head + text);
        }
    }
}

std::string TPacket::DumpText() const {
    TStringListEx lines;
    DumpToStrings(lines);
    return lines.ToText();
}

// ---- Typed access ----

std::int64_t TPacket::Int(int index) const {
    QZ_ASSERT(m_class->HasField(index) && IsIntegerLike(m_class->Field(index).type));
    return Interpret(m_class->Field(index).type,
                     std::get<vInt>(m_values[static_cast<std::size_t>(index)]));
}

void TPacket::SetInt(int index, std::int64_t value) {
    QZ_ASSERT(m_class->HasField(index) && IsIntegerLike(m_class->Field(index).type));
    const TPacketField& f = m_class->Field(index);
    std::get<vInt>(m_values[static_cast<std::size_t>(index)]) = Truncate(f.type, f.size, value);
}

bool TPacket::Bool(int index) const {
    Typed(index, TValueType::Boolean);
    return std::get<vInt>(m_values[static_cast<std::size_t>(index)]) != 0;
}

void TPacket::SetBool(int index, bool value) {
    Typed(index, TValueType::Boolean);
    std::get<vInt>(m_values[static_cast<std::size_t>(index)]) = value ? 1 : 0;
}

double TPacket::Double(int index) const {
    Typed(index, TValueType::DateTime);
    return std::get<vDouble>(m_values[static_cast<std::size_t>(index)]);
}

void TPacket::SetDouble(int index, double value) {
    Typed(index, TValueType::DateTime);
    std::get<vDouble>(m_values[static_cast<std::size_t>(index)]) = value;
}

const std::string& TPacket::Str(int index) const {
    Typed(index, TValueType::String);
    return std::get<vString>(m_values[static_cast<std::size_t>(index)]);
}

void TPacket::SetStr(int index, std::string value) {
    Typed(index, TValueType::String);
    std::get<vString>(m_values[static_cast<std::size_t>(index)]) = std::move(value);
}

const std::u16string& TPacket::WStr(int index) const {
    Typed(index, TValueType::WideString);
    return std::get<vWide>(m_values[static_cast<std::size_t>(index)]);
}

void TPacket::SetWStr(int index, std::u16string value) {
    Typed(index, TValueType::WideString);
    std::get<vWide>(m_values[static_cast<std::size_t>(index)]) = std::move(value);
}

const TGuid& TPacket::Guid(int index) const {
    Typed(index, TValueType::Guid);
    return std::get<vGuid>(m_values[static_cast<std::size_t>(index)]);
}

void TPacket::SetGuid(int index, const TGuid& value) {
    Typed(index, TValueType::Guid);
    std::get<vGuid>(m_values[static_cast<std::size_t>(index)]) = value;
}

std::uint64_t TPacket::Bits(int index) const {
    Typed(index, TValueType::Set);
    return static_cast<std::uint64_t>(std::get<vInt>(m_values[static_cast<std::size_t>(index)]));
}

void TPacket::SetBits(int index, std::uint64_t value) {
    const TPacketField& f = Typed(index, TValueType::Set);
    std::get<vInt>(m_values[static_cast<std::size_t>(index)]) =
        Truncate(f.type, f.size, static_cast<std::int64_t>(value));
}

const std::string& TPacket::RecordBytes(int index) const {
    Typed(index, TValueType::Record);
    return std::get<vString>(m_values[static_cast<std::size_t>(index)]);
}

void TPacket::SetRecordBytes(int index, std::string value) {
    const TPacketField& f = Typed(index, TValueType::Record);
    value.resize(static_cast<std::size_t>(f.size), '\0');
    std::get<vString>(m_values[static_cast<std::size_t>(index)]) = std::move(value);
}

TStringListEx& TPacket::Strings(int index) {
    Typed(index, TValueType::StringList, TValueType::StringListAsText);
    return std::get<vStrings>(m_values[static_cast<std::size_t>(index)]);
}

const TStringListEx& TPacket::Strings(int index) const {
    Typed(index, TValueType::StringList, TValueType::StringListAsText);
    return std::get<vStrings>(m_values[static_cast<std::size_t>(index)]);
}

TCustomPacketList& TPacket::List(int index) {
    Typed(index, TValueType::PacketList);
    return *std::get<vList>(m_values[static_cast<std::size_t>(index)]);
}

const TCustomPacketList& TPacket::List(int index) const {
    Typed(index, TValueType::PacketList);
    return *std::get<vList>(m_values[static_cast<std::size_t>(index)]);
}

TVirtualStream& TPacket::Blob(int index) {
    Typed(index, TValueType::Blob);
    return *std::get<vBlob>(m_values[static_cast<std::size_t>(index)]);
}

const TVirtualStream& TPacket::Blob(int index) const {
    Typed(index, TValueType::Blob);
    return *std::get<vBlob>(m_values[static_cast<std::size_t>(index)]);
}

std::unique_ptr<TVirtualStream> TPacket::TakeBlob(int index) {
    Typed(index, TValueType::Blob);
    auto& slot = std::get<vBlob>(m_values[static_cast<std::size_t>(index)]);
    std::unique_ptr<TVirtualStream> blob = std::move(slot);
    slot = NewBlob();
    return blob;
}

TPacketIntegerList& TPacket::IntList(int index) {
    Typed(index, TValueType::IntegerList);
    return std::get<vIntList>(m_values[static_cast<std::size_t>(index)]);
}

TPacketInt64List& TPacket::Int64List(int index) {
    Typed(index, TValueType::Int64List);
    return std::get<vInt64List>(m_values[static_cast<std::size_t>(index)]);
}

TPacket& TPacket::Nested(int index) {
    return const_cast<TPacket&>(static_cast<const TPacket*>(this)->Nested(index));
}

const TPacket& TPacket::Nested(int index) const {
    Typed(index, TValueType::Packet, TValueType::OptionalPacket);
    const auto& slot = std::get<vPacket>(m_values[static_cast<std::size_t>(index)]);
    if (!slot) {
        Raise("Attempt to access uninitialized member object: " + AccessorName(index));
    }
    return *slot;
}

bool TPacket::HasOptional(int index) const {
    Typed(index, TValueType::OptionalPacket);
    return std::get<vPacket>(m_values[static_cast<std::size_t>(index)]) != nullptr;
}

TPacket& TPacket::EnsureOptional(int index) {
    const TPacketField& f = Typed(index, TValueType::OptionalPacket);
    auto& slot = std::get<vPacket>(m_values[static_cast<std::size_t>(index)]);
    if (!slot) {
        slot = f.ref->Create();
    }
    return *slot;
}

void TPacket::ReleaseOptional(int index) {
    Typed(index, TValueType::OptionalPacket);
    std::get<vPacket>(m_values[static_cast<std::size_t>(index)]).reset();
}

bool TPacket::SameOptional(int index, const TPacket& other) const {
    Typed(index, TValueType::OptionalPacket);
    const auto& a = std::get<vPacket>(m_values[static_cast<std::size_t>(index)]);
    const auto& b = std::get<vPacket>(other.m_values[static_cast<std::size_t>(index)]);
    if (!a || !b) {
        return !a && !b;
    }
    return a->Equals(*b);
}

// ---- Encoding: save ----

void TPacket::SaveToStream(TStream& stream, TPacketSaveContext* context,
                           std::uint32_t flags) const {
    SaveInto(stream, context, flags);
}

void TPacket::SaveInto(TStream& stream, TPacketSaveContext* context, std::uint32_t flags) const {
    if (flags & pfCompress) {
        TVirtualStream buffer(kPacketStreamOptions);
        SaveInto(buffer, context, flags & ~(pfCompress | pfBuffered));
        buffer.SetPosition(0);
        CompressToStream(buffer, buffer.Size(), stream, kCompressFormatQuickLZ131);
        return;
    }
    if (flags & pfBuffered) {
        TVirtualStream buffer(kPacketStreamOptions);
        SaveInto(buffer, context, flags & ~pfBuffered);
        stream.WriteBuffer(buffer.Memory(), buffer.Size());
        return;
    }
    if (context != nullptr) {
        WriteClassReference(stream, *context, *m_class);
        SaveFields(stream, context);
        return;
    }
    std::int64_t start = stream.Position();
    std::uint8_t header[kHeaderSize] = {};
    header[0] = kFormatVersion;
    auto fieldCount = static_cast<std::uint32_t>(FieldCount());
    for (int i = 0; i < 4; ++i) {
        header[8 + i] = static_cast<std::uint8_t>(fieldCount >> (8 * i));
    }
    std::memcpy(header + 16, ClassGUID().Bytes(), 16);
    stream.WriteBuffer(header, kHeaderSize);
    SaveFields(stream, nullptr);
    std::int64_t length = stream.Position() - start;
    if (length > std::numeric_limits<std::int32_t>::max()) {
        Raise(Format("Packet %s is too large to save (%d bytes)", ClassName(), length));
    }
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * i));
    }
    stream.Seek(start, SeekOrigin::Begin);
    stream.WriteBuffer(header, kHeaderSize);
    stream.Seek(start + length, SeekOrigin::Begin);
}

void TPacket::SaveFields(TStream& stream, TPacketSaveContext* context) const {
    for (int i = 0; i < FieldCount(); ++i) {
        const TPacketField& f = m_class->Field(i);
        const TValue& v = m_values[static_cast<std::size_t>(i)];
        switch (f.type) {
        case TValueType::Integer:
        case TValueType::Cardinal:
        case TValueType::Int8:
        case TValueType::Word:
        case TValueType::Int64:
        case TValueType::Boolean:
        case TValueType::RawEnum:
            WriteLE(stream, static_cast<std::uint64_t>(std::get<vInt>(v)), f.size);
            break;
        case TValueType::CompactInt:
            WriteCompactCount(stream, static_cast<std::int32_t>(std::get<vInt>(v)));
            break;
        case TValueType::Enum:
        case TValueType::Set:
        case TValueType::Handle: {
            std::uint8_t size = static_cast<std::uint8_t>(f.size);
            stream.WriteBuffer(&size, 1);
            WriteLE(stream, static_cast<std::uint64_t>(std::get<vInt>(v)), f.size);
            break;
        }
        case TValueType::DateTime: {
            double d = std::get<vDouble>(v);
            std::uint64_t bits;
            std::memcpy(&bits, &d, 8);
            WriteLE(stream, bits, 8);
            break;
        }
        case TValueType::Guid:
            stream.WriteBuffer(std::get<vGuid>(v).Bytes(), 16);
            break;
        case TValueType::Record:
            stream.WriteBuffer(std::get<vString>(v).data(), f.size);
            break;
        case TValueType::String:
            WriteSizedString(stream, std::get<vString>(v));
            break;
        case TValueType::WideString: {
            const std::u16string& w = std::get<vWide>(v);
            WriteCompactCount(stream, static_cast<std::int32_t>(w.size()));
            std::string bytes(w.size() * 2, '\0');
            for (std::size_t k = 0; k < w.size(); ++k) {
                Store16(bytes.data() + 2 * k, w[k]);
            }
            stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
            break;
        }
        case TValueType::StringList: {
            const TStringListEx& lines = std::get<vStrings>(v);
            WriteCompactCount(stream, static_cast<std::int32_t>(lines.Count()));
            for (const std::string& line : lines) {
                WriteSizedString(stream, line);
            }
            break;
        }
        case TValueType::StringListAsText:
            WriteSizedString(stream, std::get<vStrings>(v).ToText());
            break;
        case TValueType::IntegerList: {
            const TPacketIntegerList& list = std::get<vIntList>(v);
            WriteCompactCount(stream, static_cast<std::int32_t>(list.size()));
            for (std::int32_t item : list) {
                WriteLE(stream, static_cast<std::uint32_t>(item), 4);
            }
            break;
        }
        case TValueType::Int64List: {
            const TPacketInt64List& list = std::get<vInt64List>(v);
            WriteCompactCount(stream, static_cast<std::int32_t>(list.size()));
            for (std::int64_t item : list) {
                WriteLE(stream, static_cast<std::uint64_t>(item), 8);
            }
            break;
        }
        case TValueType::Blob: {
            std::string_view bytes = std::get<vBlob>(v)->View();
            if (context != nullptr) {
                WriteCompactCount(stream, static_cast<std::int32_t>(bytes.size()));
            } else {
                WriteU32(stream, static_cast<std::uint32_t>(bytes.size()));
            }
            stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
            break;
        }
        case TValueType::Packet:
            std::get<vPacket>(v)->SaveInto(stream, context, 0);
            break;
        case TValueType::OptionalPacket: {
            const auto& nested = std::get<vPacket>(v);
            std::uint8_t present = nested ? 1 : 0;
            stream.WriteBuffer(&present, 1);
            if (nested) {
                nested->SaveInto(stream, context, 0);
            }
            break;
        }
        case TValueType::PacketList:
            std::get<vList>(v)->SaveToStream(stream, context);
            break;
        }
    }
}

// ---- Encoding: load ----

void TPacket::LoadValue(TReader& reader, int index) {
    const TPacketField& f = m_class->Field(index);
    TValue& v = m_values[static_cast<std::size_t>(index)];
    const std::string& name = f.name;
    switch (f.type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::Boolean:
    case TValueType::RawEnum: {
        reader.Need(name, f.size);
        std::uint8_t b[8];
        reader.Read(b, f.size);
        std::uint64_t raw = LoadLE(b, f.size);
        if (f.type == TValueType::Integer) {
            raw = static_cast<std::uint64_t>(
                static_cast<std::int64_t>(static_cast<std::int32_t>(raw)));
        } else if (f.type == TValueType::Boolean) {
            raw = raw != 0 ? 1 : 0;
        }
        std::get<vInt>(v) = static_cast<std::int64_t>(raw);
        break;
    }
    case TValueType::CompactInt:
        std::get<vInt>(v) = reader.Compact(name);
        break;
    case TValueType::Enum:
    case TValueType::Set:
        std::get<vInt>(v) = static_cast<std::int64_t>(reader.Sized(name, f.size));
        break;
    case TValueType::Handle: {
        if (reader.Left() < 1) {
            throw ERangeError(
                Format("Trying to load %s field's length (1 byte) beyond the buffer end", name));
        }
        int n = reader.Byte();
        if (n != 4 && n != 8) {
            throw ERangeError(Format("Invalid size value (%d bytes) for %s", n, name));
        }
        reader.Need(name, n);
        if (n == 8) {
            throw ERangeError(Format("The size read for the handler (%d bytes) is bigger than "
                                     "the native type of %s (%d bytes)",
                                     n, name, 4));
        }
        std::uint8_t b[4];
        reader.Read(b, 4);
        std::get<vInt>(v) = static_cast<std::int64_t>(LoadLE(b, 4));
        break;
    }
    case TValueType::DateTime: {
        reader.Need(name, 8);
        std::uint8_t b[8];
        reader.Read(b, 8);
        std::uint64_t bits = LoadLE(b, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        std::get<vDouble>(v) = d;
        break;
    }
    case TValueType::Guid:
        reader.Need(name, 16);
        reader.Read(std::get<vGuid>(v).Bytes(), 16);
        break;
    case TValueType::Record:
        reader.Need(name, f.size);
        reader.Read(std::get<vString>(v).data(), f.size);
        break;
    case TValueType::String:
        std::get<vString>(v) = reader.Bytes(name, reader.Compact(name));
        break;
    case TValueType::WideString: {
        std::int64_t count = reader.Compact(name);
        std::string bytes = reader.Bytes(name, 2 * count);
        std::u16string& w = std::get<vWide>(v);
        w.assign(static_cast<std::size_t>(count), u'\0');
        for (std::size_t k = 0; k < w.size(); ++k) {
            w[k] = static_cast<char16_t>(Load16(bytes.data() + 2 * k));
        }
        break;
    }
    case TValueType::StringList: {
        std::int32_t count = reader.Compact(name);
        TStringListEx& lines = std::get<vStrings>(v);
        lines.Clear();
        lines.EnsureCapacity(std::min(count, kMaxListPreallocation));
        for (std::int32_t k = 0; k < count; ++k) {
            std::string itemName = name + "#" + std::to_string(k + 1);
            lines.Add(reader.Bytes(itemName, reader.Compact(itemName)));
        }
        break;
    }
    case TValueType::StringListAsText:
        std::get<vStrings>(v).AssignText(reader.Bytes(name, reader.Compact(name)));
        break;
    case TValueType::IntegerList:
    case TValueType::Int64List: {
        std::int64_t count = reader.Compact(name);
        int width = f.type == TValueType::IntegerList ? 4 : 8;
        // The data is read in one piece; checking its presence first keeps a forged count from
        // allocating memory the stream does not hold.
        if (reader.Left() < count * width) {
            Raise("Stream read error");
        }
        std::string bytes(static_cast<std::size_t>(count * width), '\0');
        reader.Read(bytes.data(), count * width);
        auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        if (width == 4) {
            TPacketIntegerList& list = std::get<vIntList>(v);
            list.resize(static_cast<std::size_t>(count));
            for (std::size_t k = 0; k < list.size(); ++k) {
                list[k] = static_cast<std::int32_t>(LoadLE(data + 4 * k, 4));
            }
        } else {
            TPacketInt64List& list = std::get<vInt64List>(v);
            list.resize(static_cast<std::size_t>(count));
            for (std::size_t k = 0; k < list.size(); ++k) {
                list[k] = static_cast<std::int64_t>(LoadLE(data + 8 * k, 8));
            }
        }
        break;
    }
    case TValueType::Blob: {
        std::int64_t length;
        if (reader.context != nullptr) {
            length = reader.Compact(name);
        } else {
            if (reader.Left() < 4) {
                throw ERangeError(Format(
                    "Trying to load %s field's length (%d bytes) beyond the buffer end", name, 4));
            }
            std::uint8_t b[4];
            reader.Read(b, 4);
            length = static_cast<std::int32_t>(LoadLE(b, 4));
        }
        if (length < 0) {
            throw ERangeError(Format("Negative length (%d bytes) trying to load %s", length, name));
        }
        std::get<vBlob>(v)->SetContent(reader.Bytes(name, length));
        break;
    }
    case TValueType::Packet:
        LoadAny(reader, f.ref, std::get<vPacket>(v).get(), f.skipForeign);
        break;
    case TValueType::OptionalPacket: {
        if (reader.Left() < 1) {
            throw ERangeError(Format(
                "Trying to load %s field's availability (1 byte) beyond the buffer end", name));
        }
        if (reader.Byte() != 0) {
            LoadAny(reader, f.ref, &EnsureOptional(index));
        } else {
            std::get<vPacket>(v).reset();
        }
        break;
    }
    case TValueType::PacketList:
        std::get<vList>(v)->LoadItems(reader);
        break;
    }
}

void TPacket::LoadFields(TReader& reader, int& remaining) {
    for (int i = 0; i < FieldCount() && remaining > 0; ++i) {
        LoadValue(reader, i);
        --remaining;
    }
}

// Reads one packet: header or class reference, the fields, then the seek to the next packet.
// With into, the packet is loaded into that instance (whose class is the expected one);
// otherwise a new instance of the stored class is made and returned.
std::unique_ptr<TPacket> TPacket::LoadAny(TReader& reader, const TPacketClass* expected,
                                          TPacket* into, bool skipForeign) {
    if (reader.pos >= reader.size || reader.pos < 0) {
        throw ERangeError("Buffer position out of bounds before loading packet header");
    }
    if (reader.depth >= kMaxNestingDepth) {
        throw ERangeError(Format("Packets nested deeper than %d levels", kMaxNestingDepth));
    }
    auto incompatible = [&](const TGuid& stored) {
        Raise(Format("Incompatible packet class: %s (%s, %s expected)", GuidToText(stored),
                     GuidToText(expected->ClassGUID()), expected->Name()));
    };
    const TPacketClass* cls = nullptr;
    int storedCount = 0;
    std::int64_t next = -1;
    if (reader.context != nullptr) {
        cls = &ReadClassRef(reader, *reader.context, storedCount);
        if (expected != nullptr && !(cls->ClassGUID() == expected->ClassGUID())) {
            incompatible(cls->ClassGUID());
        }
    } else {
        std::int64_t start = reader.pos;
        if (reader.Left() < kHeaderSize) {
            throw ERangeError("Trying to load packet header beyond the buffer end");
        }
        std::uint8_t header[kHeaderSize];
        reader.Read(header, kHeaderSize);
        auto version = static_cast<std::uint32_t>(LoadLE(header, 4));
        if (version != kFormatVersion) {
            Raise(Format("Cannot load packet. Unknown format version: %d", version));
        }
        TGuid stored;
        std::memcpy(stored.Bytes(), header + 16, 16);
        auto length = static_cast<std::int32_t>(LoadLE(header + 4, 4));
        storedCount = static_cast<std::int32_t>(LoadLE(header + 8, 4));
        next = reader.pos + (static_cast<std::int64_t>(length) - kHeaderSize);
        if (expected != nullptr) {
            if (!(stored == expected->ClassGUID())) {
                if (skipForeign) {
                    // A nested packet whose class the peer chooses: skip it by its length.
                    if (next < start) {
                        throw ERangeError(Format(
                            "Next packet position is negative after loading %s packet fields",
                            expected->Name()));
                    }
                    reader.SeekTo(next);
                    return nullptr;
                }
                incompatible(stored);
            }
            cls = expected;
        } else {
            cls = FindPacketClass(stored);
            if (cls == nullptr) {
                Raise(Format("Unregistered packet class: %s", GuidToText(stored)));
            }
        }
    }
    std::unique_ptr<TPacket> created;
    TPacket* target = into;
    if (target == nullptr) {
        created = cls->Create();
        target = created.get();
    }
    auto loadBody = [&] {
        ++reader.depth;
        int remaining = storedCount;
        target->LoadFields(reader, remaining);
        --reader.depth;
        if (next >= 0) {
            reader.SeekTo(next);
        } else if (next < -1) {
            throw ERangeError(Format(
                "Next packet position is negative after loading %s packet fields", cls->Name()));
        }
    };
    if (!created) {
        loadBody();
        return nullptr;
    }
    try {
        loadBody();
    } catch (...) {
        created.reset();
        RaiseWithContext("Failed to load packet fields");
    }
    return created;
}

void TPacket::LoadFromStream(TStream& stream, TPacketLoadContext* context, std::uint32_t flags) {
    if (flags & pfDecompress) {
        TDecompressStream plain(&stream, stream.Position(), 1, false);
        LoadFromStream(plain, context, flags & ~pfDecompress);
        return;
    }
    TReader reader(stream, context);
    LoadAny(reader, m_class, this);
}

std::unique_ptr<TPacket> TPacket::CreateFromStream(TStream& stream, TPacketLoadContext* context,
                                                   std::uint32_t flags) {
    if (flags & pfDecompress) {
        TDecompressStream plain(&stream, stream.Position(), 1, false);
        return CreateFromStream(plain, context, flags & ~pfDecompress);
    }
    TReader reader(stream, context);
    return LoadAny(reader, nullptr, nullptr);
}

// ---- Files ----

void TPacket::SaveToFile(const std::string& fileName, std::uint32_t flags) const {
    if (flags & pfSafeReplace) {
        DeleteFileChecked(fileName);
        std::string temporary = fileName + ".temp";
        SaveToFile(temporary, flags & ~pfSafeReplace);
        MoveFileChecked(temporary, fileName);
        return;
    }
    std::uint16_t options = (flags & pfCreateFolders) ? FileOption::CreateFolders : 0;
    std::uint32_t streamFlags = flags & ~(pfCreateFolders | pfMappedWrite);
    if (flags & pfMappedWrite) {
        TMappedFileStream file(fileName, FileMode::Create, 0, options);
        SaveToStream(file, nullptr, streamFlags);
        // Closing cuts the file to its logical size; its failure must not pass unnoticed.
        file.Close();
        return;
    }
    TFileStreamEx file(fileName, FileMode::Create, 0, options);
    SaveToStream(file, nullptr, streamFlags);
}

namespace {

// Opens a packet file for reading, others may read but not write. With pfRetryOpen every failure
// to open (in use, or not there yet while a writer replaces it) is retried for 4 seconds.
std::unique_ptr<TMappedFileStream> OpenPacketFile(const std::string& fileName,
                                                  std::uint32_t flags) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (;;) {
        try {
            return std::make_unique<TMappedFileStream>(fileName,
                                                       FileMode::Read | FileMode::ShareDenyWrite);
        } catch (const Exception&) {
            if (!(flags & pfRetryOpen) || std::chrono::steady_clock::now() >= deadline) {
                throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

} // namespace

std::unique_ptr<TPacket> TPacket::CreateFromFile(const std::string& fileName, std::uint32_t flags) {
    try {
        std::unique_ptr<TMappedFileStream> file = OpenPacketFile(fileName, flags);
        return CreateFromStream(*file, nullptr, flags & pfDecompress);
    } catch (...) {
        RaiseWithContext(Format("Failed to load packet from file %s", fileName));
    }
}

void TPacket::LoadFromFile(const std::string& fileName, std::uint32_t flags) {
    try {
        std::unique_ptr<TMappedFileStream> file = OpenPacketFile(fileName, flags);
        LoadFromStream(*file, nullptr, flags & pfDecompress);
    } catch (...) {
        RaiseWithContext(Format("Failed to load packet %s from file %s", ClassName(), fileName));
    }
}

// ---- TCommPacket ----

TCommPacket::TCommPacket() : TPacket(StaticClass()) {}

const TPacketClass& TCommPacket::StaticClass() {
    static const TPacketClass cls(TPacketClassDef{"TCommPacket", nullptr, false, {}},
                                  &TPacket::StaticClass());
    return cls;
}

// ---- TCustomPacketList ----

TPacket& TCustomPacketList::Item(int index) const {
    if (index < 0 || index >= Count()) {
        Raise(Format("List index out of bounds (%d)", index));
    }
    return *m_items[static_cast<std::size_t>(index)];
}

TPacket& TCustomPacketList::Add(std::unique_ptr<TPacket> packet) {
    QZ_ASSERT(packet != nullptr);
    m_items.push_back(std::move(packet));
    return *m_items.back();
}

TPacket& TCustomPacketList::AddChecked(std::unique_ptr<TPacket> packet) {
    QZ_ASSERT(packet != nullptr && packet->Class().InheritsFrom(ItemClass()));
    return Add(std::move(packet));
}

void TCustomPacketList::AddCopies(const TCustomPacketList& other) {
    QZ_ASSERT(other.ItemClass().InheritsFrom(ItemClass()));
    if (&other == this) {
        std::size_t count = m_items.size();
        for (std::size_t i = 0; i < count; ++i) {
            m_items.push_back(m_items[i]->Clone());
        }
        return;
    }
    m_items.reserve(m_items.size() + other.m_items.size());
    for (const auto& item : other.m_items) {
        m_items.push_back(item->Clone());
    }
}

void TCustomPacketList::Assign(const TCustomPacketList& other) {
    if (&other == this) {
        return;
    }
    Clear();
    AddCopies(other);
}

bool TCustomPacketList::Equals(const TCustomPacketList& other) const {
    if (&other == this) {
        return true;
    }
    if (other.Count() != Count()) {
        return false;
    }
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (!m_items[i]->Equals(*other.m_items[i])) {
            return false;
        }
    }
    return true;
}

std::string TCustomPacketList::Text() const {
    if (IsEmpty()) {
        return "(empty list)";
    }
    TStringListEx lines;
    for (int k = 0; k < Count(); ++k) {
        lines.Add(Format("[%d/%d]", k + 1, Count()));
        m_items[static_cast<std::size_t>(k)]->DumpToStrings(lines);
        lines.Add(std::string());
    }
    return lines.Join(std::string_view("\r\n"));
}

void TCustomPacketList::SaveToStream(TStream& stream, TPacketSaveContext* context) const {
    WriteU32(stream, static_cast<std::uint32_t>(m_items.size()));
    for (const auto& item : m_items) {
        item->SaveToStream(stream, context, 0);
    }
}

void TCustomPacketList::LoadFromStream(TStream& stream, TPacketLoadContext* context) {
    TPacket::TReader reader(stream, context);
    LoadItems(reader);
}

void TCustomPacketList::LoadItems(TPacket::TReader& reader) {
    std::uint8_t b[4];
    reader.Read(b, 4);
    auto count = static_cast<std::int32_t>(LoadLE(b, 4));
    if (count < 0) {
        Raise(Format("List capacity out of bounds (%d)", count));
    }
    Clear();
    m_items.reserve(static_cast<std::size_t>(std::min(count, kMaxListPreallocation)));
    for (std::int32_t k = 0; k < count; ++k) {
        std::int64_t start = reader.pos;
        m_items.push_back(TPacket::LoadAny(reader, nullptr, nullptr));
        // An item must consume bytes: a header whose length points back at itself would
        // otherwise make a forged count re-read the same bytes without end.
        if (reader.pos <= start) {
            throw ERangeError(Format("Packet list item %d does not advance the stream", k + 1));
        }
    }
}

// ---- Registry ----

namespace {

struct TRegistry {
    std::mutex lock;
    std::unordered_map<TGuid, const TPacketClass*> table;
};

std::atomic<int> g_nextIndex{1};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

const TPacketClass& ReadClassRef(TPacket::TReader& reader, TPacketLoadContext& context,
                                 int& storedFieldCount) {
    if (reader.Left() < 1) {
        throw ERangeError("Trying to load short PacketClass field's wlength (1 byte) beyond the "
                          "buffer end");
    }
    int value = reader.Byte();
    if (value & 1) {
        if (reader.Left() < 1) {
            throw ERangeError(
                "Trying to load PacketClass field's wlength (1 byte) beyond the buffer end");
        }
        value |= reader.Byte() << 8;
    }
    int number = value >> 1;
    if (number >= 1) {
        if (static_cast<std::size_t>(number - 1) >= context.Classes.size()) {
            Raise(Format("Invalid streaming context ID: %d", number));
        }
        const TPacketLoadContext::TEntry& entry =
            context.Classes[static_cast<std::size_t>(number - 1)];
        storedFieldCount = entry.storedFieldCount;
        return *entry.cls;
    }
    if (reader.Left() < kIntroSize) {
        throw ERangeError("Trying to load packet class intro beyond the buffer end");
    }
    std::uint8_t intro[kIntroSize];
    reader.Read(intro, kIntroSize);
    int fieldCount = Load16(intro + 1);
    TGuid guid;
    std::memcpy(guid.Bytes(), intro + 3, 16);
    const TPacketClass* cls = FindPacketClass(guid);
    if (cls == nullptr) {
        Raise(Format("Unregistered packet class in context: %s", GuidToText(guid)));
    }
    if (fieldCount > cls->FieldCount()) {
        Raise(Format("Unsupported version of packet class: %s (version %d)", cls->Name(),
                     fieldCount));
    }
    context.Classes.push_back({cls, fieldCount});
    storedFieldCount = fieldCount;
    return *cls;
}

} // namespace

void RegisterPacketClass(const TPacketClass& cls) {
    try {
        std::atomic<int>& cell = cls.ClassIndexRef();
        if (cell.load() != -1) {
            return;
        }
        int index = g_nextIndex.fetch_add(1);
        QZ_ASSERT(index <= 65534);
        int unregistered = -1;
        if (!cell.compare_exchange_strong(unregistered, index)) {
            return;
        }
        TRegistry& registry = Registry();
        std::lock_guard lock(registry.lock);
        if (!registry.table.emplace(cls.ClassGUID(), &cls).second) {
            Raise("TGuidListEx_HashTable: Hashtable does not allow duplicates.");
        }
    } catch (...) {
        RaiseWithContext(Format("Failed to register packet class: %s", cls.Name()));
    }
}

const TPacketClass* FindPacketClass(const TGuid& guid) {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.lock);
    auto found = registry.table.find(guid);
    return found == registry.table.end() ? nullptr : found->second;
}

int PacketClassIndex(const TPacketClass& cls) {
    int index = cls.ClassIndexRef().load();
    QZ_ASSERT(index >= 1);
    return index;
}

void WriteClassReference(TStream& stream, TPacketSaveContext& context, const TPacketClass& cls) {
    auto found = context.Numbers.find(&cls);
    if (found != context.Numbers.end()) {
        WriteCompactWord(stream, found->second);
        return;
    }
    int number = static_cast<int>(context.Numbers.size()) + 1;
    QZ_ASSERT(number <= 32767);
    context.Numbers.emplace(&cls, number);
    std::uint8_t intro[1 + kIntroSize] = {};
    auto fieldCount = static_cast<std::uint16_t>(cls.FieldCount());
    intro[2] = static_cast<std::uint8_t>(fieldCount);
    intro[3] = static_cast<std::uint8_t>(fieldCount >> 8);
    std::memcpy(intro + 4, cls.ClassGUID().Bytes(), 16);
    stream.WriteBuffer(intro, sizeof intro);
}

const TPacketClass& ReadClassReference(TStream& stream, TPacketLoadContext& context,
                                       int& storedFieldCount) {
    TPacket::TReader reader(stream, &context);
    return ReadClassRef(reader, context, storedFieldCount);
}

} // namespace qz
