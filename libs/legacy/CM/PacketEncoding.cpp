#include "ByteOrder.h"
#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"
#include "PacketValues.h"
#include "Packets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

// Packets.h, the binary encoding: saving and loading packets, packet lists and class references,
// and packet files.

namespace qz {

using namespace packet_detail;

namespace {

constexpr std::uint32_t kFormatVersion = 2;
constexpr int kHeaderSize = 32;
constexpr int kIntroSize = 19;
constexpr int kMaxListPreallocation = 32;
// Nesting of packets inside packets (nested fields and list items). Real classes nest a few
// levels; a hostile stream could otherwise nest list items until the stack overflows.
constexpr int kMaxNestingDepth = 64;

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
