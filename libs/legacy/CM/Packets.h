#pragma once

// Packets: the serialisable records that every request, reply, file and event of the system is
// made of. One engine serves every packet class: a class is a field table (TPacketClassDef) and
// the engine gives each class generic field access, copy, clear, equality, comparison, the text
// dump and both binary framings (32-byte header, or a class reference under a streaming
// context). The registry maps class GUIDs to classes for readers.
//
// Threads: a packet, a list and a context belong to one thread at a time. Class objects are
// immutable after start-up except their registry index cell and instance counter.

#include "EnvUtils.h"
#include "Exceptions.h"
#include "RealTimeCompressStreams.h"
#include "Stream.h"
#include "StreamUtils.h"
#include "StringLists.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace qz {

class TPacket;
class TPacketClass;
class TCustomPacketList;
class TPacketLoadContext;
class TPacketSaveContext;

// Containers of the number-list fields.
using TPacketIntegerList = std::vector<std::int32_t>;
using TPacketInt64List = std::vector<std::int64_t>;

/// Field kinds as FieldKind reports them.
enum TPacketFieldKind : int {
    FieldKindOther = 0,
    FieldKindString = 1,
    FieldKindInteger = 2,
    FieldKindBoolean = 3,
    FieldKindDateTime = 4,
    FieldKindObject = 5,
};

/// Every value type a field can have; fixes storage, encoding and text.
enum class TValueType {
    Integer,
    Cardinal,
    Int8,
    Word,
    Int64,
    CompactInt,
    Handle,
    Boolean,
    DateTime,
    String,
    WideString,
    Guid,
    Enum,    // 1-byte ordinal, sized encoding
    RawEnum, // 1-byte ordinal, bare byte
    Set,     // 2, 7 or 8 bytes (size column), sized encoding
    Record,  // fixed binary block (size column)
    StringList,
    StringListAsText,
    PacketList,     // ref = item class
    Packet,         // ref = nested class; always present
    OptionalPacket, // ref = nested class; may be absent
    Blob,
    IntegerList,
    Int64List,
};

/// One row of a class's field table.
struct TPacketFieldSpec {
    const char* name;
    TValueType type;
    const char* defaultValue = nullptr; ///< text of the default ("-1", "true", "Orvane"); null = 0
    int size = 0;                       ///< Set and Record width in bytes
    const char* ref = nullptr;          ///< nested class or list item class, by name
    const char* itemName = "";
    const char* caption = "";
    const char* itemCaption = "";
    /// Packet fields only: with header framing a stored nested packet of another class is
    /// skipped by its header length instead of refused (fields whose class peers may choose).
    bool skipForeign = false;
};

using TPacketFactory = std::unique_ptr<TPacket> (*)(const TPacketClass&);

/// A packet class as data.
struct TPacketClassDef {
    const char* name;
    const char* guid;
    bool commPacket = false; ///< derives from TCommPacket instead of TPacket
    std::vector<TPacketFieldSpec> fields;
    TPacketFactory factory = nullptr; ///< the C++ type of instances; null = a generic instance
};

// Short builders for the field tables.
constexpr TPacketFieldSpec PF(const char* name, TValueType type, const char* def = nullptr) {
    return TPacketFieldSpec{name, type, def};
}
constexpr TPacketFieldSpec PFSet(const char* name, int bytes) {
    return TPacketFieldSpec{name, TValueType::Set, nullptr, bytes};
}
constexpr TPacketFieldSpec PFRecord(const char* name, int bytes) {
    return TPacketFieldSpec{name, TValueType::Record, nullptr, bytes};
}
constexpr TPacketFieldSpec PFPacket(const char* name, const char* cls) {
    return TPacketFieldSpec{name, TValueType::Packet, nullptr, 0, cls};
}
constexpr TPacketFieldSpec PFOptional(const char* name, const char* cls) {
    return TPacketFieldSpec{name, TValueType::OptionalPacket, nullptr, 0, cls};
}
constexpr TPacketFieldSpec PFList(const char* name, const char* itemClass,
                                  const char* itemName = "") {
    return TPacketFieldSpec{name, TValueType::PacketList, nullptr, 0, itemClass, itemName};
}

/// One field of a class, resolved.
struct TPacketField {
    std::string name, itemName, caption, itemCaption;
    TValueType type;
    TPacketFieldKind kind;
    int size;                // fixed width in bytes where the type has one
    std::int64_t intDefault; // integer types, Boolean, Enum, Set (raw stored form)
    double doubleDefault;
    std::string textDefault; // String, WideString (as UTF-8)
    const TPacketClass* ref; // nested or item class
    bool skipForeign;
};

/// Class-level data and operations (the class-level slots of a packet class).
class TPacketClass {
public:
    /// Builds a class from its table. References to other classes are resolved afterwards by
    /// ResolveReferences. base is TPacket's or TCommPacket's class (null only for TPacket).
    TPacketClass(const TPacketClassDef& def, const TPacketClass* base);
    TPacketClass(const TPacketClass&) = delete;
    TPacketClass& operator=(const TPacketClass&) = delete;

    /// Looks up every nested and item class by name; a missing one is a programming error.
    void ResolveReferences(const std::function<const TPacketClass*(std::string_view)>& lookup);

    const std::string& Name() const { return m_name; }
    const TGuid& ClassGUID() const { return m_guid; }
    const TPacketClass* Parent() const { return m_parent; }
    /// True for this class and every class derived from other.
    bool InheritsFrom(const TPacketClass& other) const;

    std::atomic<int>& ClassIndexRef() const { return m_indexCell; }
    int InstanceCount() const { return m_instanceCount.load(std::memory_order_relaxed); }
    int FieldCount() const { return static_cast<int>(m_fields.size()); }
    /// Index of the first field with exactly this name (case-sensitive), or -1.
    int FieldIndex(std::string_view name) const;
    TPacketFieldKind FieldKind(int index) const;
    std::string FieldName(int index) const;
    std::string FieldItemName(int index) const;
    std::string FieldCaption(int index) const;
    std::string FieldItemCaption(int index) const;

    /// The field row; index must be valid.
    const TPacketField& Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }
    bool HasField(int index) const { return index >= 0 && index < FieldCount(); }

    /// A new instance with its defaults (the C++ type the class names).
    std::unique_ptr<TPacket> Create() const;

private:
    friend class TPacket;

    std::string m_name;
    TGuid m_guid;
    const TPacketClass* m_parent;
    std::vector<TPacketField> m_fields;
    std::vector<std::string> m_refNames;
    TPacketFactory m_factory;
    mutable std::atomic<int> m_indexCell{-1};
    mutable std::atomic<int> m_instanceCount{0};
};

/// The owned object of an object-kind field (GetFieldAsObject).
using TPacketObject = std::variant<TStringListEx*, TCustomPacketList*, TPacket*, TVirtualStream*,
                                   TPacketIntegerList*, TPacketInt64List*>;

/// Flags of SaveToStream, LoadFromStream, CreateFromStream, SaveToFile and LoadFromFile.
enum : std::uint32_t {
    pfDecompress = 1,    // loads: read through the decompressing stream
    pfCreateFolders = 1, // SaveToFile: create missing folders
    pfSafeReplace = 2,   // SaveToFile: write "<name>.temp", then rename
    pfRetryOpen = 2,     // LoadFromFile: retry opening for up to 4 seconds
    pfCompress = 4,      // saves: write through the compressed stream format, level 3
    pfMappedWrite = 8,   // SaveToFile: mapped file stream
    pfBuffered = 16,     // saves: encode in memory, then one write
};

/// The base of every packet. An instance holds one value per field of its class.
class TPacket {
public:
    /// An instance of TPacket itself (no fields).
    TPacket();
    /// An instance of cls with its defaults; used by the class's factory and wrappers.
    explicit TPacket(const TPacketClass& cls);
    virtual ~TPacket();
    TPacket(const TPacket&) = delete;
    TPacket& operator=(const TPacket&) = delete;

    /// TPacket's own class, GUID "{47BF5205-8993-41F5-98E9-03CB6EA34D1E}".
    static const TPacketClass& StaticClass();

    const TPacketClass& Class() const { return *m_class; }
    const std::string& ClassName() const { return m_class->Name(); }
    const TGuid& ClassGUID() const { return m_class->ClassGUID(); }
    int FieldCount() const { return m_class->FieldCount(); }
    int FieldIndex(std::string_view name) const { return m_class->FieldIndex(name); }
    TPacketFieldKind FieldKind(int index) const { return m_class->FieldKind(index); }
    std::string FieldName(int index) const { return m_class->FieldName(index); }

    // Generic accessors. Unsupported fields and unknown indexes raise the general exception
    // "Cannot get field as integer: <class>.<field>" and its siblings.
    TPacketObject GetFieldAsObject(int index);
    std::int32_t GetFieldAsInteger(int index) const;
    void SetFieldAsInteger(int index, std::int32_t value);
    std::string GetFieldAsString(int index) const;
    /// Integer text that is no number raises "'%s' is not a valid integer value" and keeps the
    /// old value; DateTime text "'%s' is not a valid floating point value".
    void SetFieldAsString(int index, const std::string& value);
    double GetFieldAsDouble(int index) const;
    void SetFieldAsDouble(int index, double value);

    /// Deep copy from a packet of this class or a subclass; otherwise "Invalid class typecast".
    void Assign(const TPacket& source);
    /// Every field back to its default; owned objects are kept (emptied), a present optional
    /// packet stays present and is cleared.
    void Clear();
    /// The text of a field: 0 none, 1 single line, 2 multi-line (lines end with CR LF).
    int GetFieldText(int index, std::string& text) const;
    bool Equals(const TPacket& other) const;
    /// Calls onDifference for each differing field in order (-1 once for another class).
    bool CompareFields(const TPacket& other, const std::function<void(int)>& onDifference) const;
    std::unique_ptr<TPacket> Clone() const;
    /// Appends the dump lines: "(Class)", then "  Name = value" per field.
    void DumpToStrings(TStringListEx& lines) const;
    /// The dump lines joined with CR LF, each line ended by CR LF.
    std::string DumpText() const;

    // Binary encoding. Without a context the packet has a 32-byte header; with one it starts
    // with a class reference. Decoding bounds errors raise ERangeError, other format errors the
    // general exception; the stream position is then wherever reading stopped.
    void SaveToStream(TStream& stream, TPacketSaveContext* context = nullptr,
                      std::uint32_t flags = 0) const;
    /// Reads a packet of this class into this instance (not cleared first).
    void LoadFromStream(TStream& stream, TPacketLoadContext* context = nullptr,
                        std::uint32_t flags = 0);
    /// Reads a packet of any registered class; errors are raised again as "Failed to load
    /// packet fields" + CR LF + the first message.
    static std::unique_ptr<TPacket> CreateFromStream(TStream& stream,
                                                     TPacketLoadContext* context = nullptr,
                                                     std::uint32_t flags = 0);
    /// Reads a header-framed packet file of any registered class; errors are raised again as
    /// "Failed to load packet from file %s" + CR LF + the first message.
    static std::unique_ptr<TPacket> CreateFromFile(const std::string& fileName,
                                                   std::uint32_t flags = 0);
    void SaveToFile(const std::string& fileName, std::uint32_t flags = 0) const;
    /// Errors are raised again as "Failed to load packet %s from file %s" + CR LF + message.
    void LoadFromFile(const std::string& fileName, std::uint32_t flags = 0);

    // Typed access for code that knows the class (index from the class's field enum). Using a
    // field of another type is a programming error (assertion).
    std::int64_t Int(int index) const;
    void SetInt(int index, std::int64_t value);
    bool Bool(int index) const;
    void SetBool(int index, bool value);
    double Double(int index) const;
    void SetDouble(int index, double value);
    const std::string& Str(int index) const;
    void SetStr(int index, std::string value);
    const std::u16string& WStr(int index) const;
    void SetWStr(int index, std::u16string value);
    const TGuid& Guid(int index) const;
    void SetGuid(int index, const TGuid& value);
    std::uint64_t Bits(int index) const;
    void SetBits(int index, std::uint64_t value);
    const std::string& RecordBytes(int index) const;
    /// Replaces a record's bytes; shorter input is padded with zeros, longer is cut.
    void SetRecordBytes(int index, std::string value);
    TStringListEx& Strings(int index);
    const TStringListEx& Strings(int index) const;
    TCustomPacketList& List(int index);
    const TCustomPacketList& List(int index) const;
    TVirtualStream& Blob(int index);
    const TVirtualStream& Blob(int index) const;
    /// Takes the blob out of the packet, which keeps a new empty one.
    std::unique_ptr<TVirtualStream> TakeBlob(int index);
    TPacketIntegerList& IntList(int index);
    TPacketInt64List& Int64List(int index);
    /// A Packet field, or a present OptionalPacket field; an absent one raises "Attempt to
    /// access uninitialized member object: <class>.<field>".
    TPacket& Nested(int index);
    const TPacket& Nested(int index) const;
    template <typename T>
    T& NestedAs(int index) {
        return CastPacket<T>(Nested(index));
    }
    /// OptionalPacket fields: present test, ensure, release, sameness.
    bool HasOptional(int index) const;
    TPacket& EnsureOptional(int index);
    void ReleaseOptional(int index);
    bool SameOptional(int index, const TPacket& other) const;

    /// The packet as T, or "Invalid class typecast".
    template <typename T>
    static T& CastPacket(TPacket& packet);

    // Internal to the engine (used by lists and contexts).
    void SaveFields(TStream& stream, TPacketSaveContext* context) const;
    struct TReader;
    void LoadFields(TReader& reader, int& remaining);

private:
    using TValue =
        std::variant<std::int64_t, double, std::string, std::u16string, TGuid, TStringListEx,
                     std::unique_ptr<TCustomPacketList>, std::unique_ptr<TPacket>,
                     std::unique_ptr<TVirtualStream>, TPacketIntegerList, TPacketInt64List>;

    void InitValues();
    const TPacketField& Typed(int index, TValueType a, TValueType b = TValueType(-1)) const;
    std::string AccessorName(int index) const;
    void SaveInto(TStream& stream, TPacketSaveContext* context, std::uint32_t flags) const;
    static std::unique_ptr<TPacket> LoadAny(TReader& reader, const TPacketClass* expected,
                                            TPacket* into, bool skipForeign = false);
    void LoadValue(TReader& reader, int index);
    bool FieldEquals(int index, const TPacket& other) const;

    const TPacketClass* m_class;
    std::vector<TValue> m_values;

    friend class TCustomPacketList;
};

/// The base of request packets; carries, while a request is being executed by the receiving
/// side, a transient reference to its execution context (never copied, saved or compared).
class TCommPacket : public TPacket {
public:
    TCommPacket();
    explicit TCommPacket(const TPacketClass& cls) : TPacket(cls) {}
    /// TCommPacket's class: no fields, TPacket's GUID, never registered.
    static const TPacketClass& StaticClass();

    void* ExecutionContext() const { return m_executionContext; }
    void SetExecutionContext(void* context) { m_executionContext = context; }

private:
    void* m_executionContext = nullptr;
};

/// An owning list of packets. ItemClass is the class items are meant to have; loaded items keep
/// their stored classes.
class TCustomPacketList {
public:
    explicit TCustomPacketList(const TPacketClass& itemClass = TPacket::StaticClass())
        : m_itemClass(&itemClass) {}
    virtual ~TCustomPacketList() = default;
    TCustomPacketList(const TCustomPacketList&) = delete;
    TCustomPacketList& operator=(const TCustomPacketList&) = delete;

    const TPacketClass& ItemClass() const { return *m_itemClass; }
    int Count() const { return static_cast<int>(m_items.size()); }
    bool IsEmpty() const { return m_items.empty(); }
    /// An index outside 0..Count-1 raises "List index out of bounds (%d)".
    TPacket& Item(int index) const;
    TPacket& operator[](int index) const { return Item(index); }
    /// Appends and takes ownership; no class check.
    TPacket& Add(std::unique_ptr<TPacket> packet);
    /// As Add; a packet not of ItemClass is a programming error.
    TPacket& AddChecked(std::unique_ptr<TPacket> packet);
    /// Appends a clone of every item of other, whose ItemClass must derive from this one's.
    void AddCopies(const TCustomPacketList& other);
    void Assign(const TCustomPacketList& other);
    void Clear() { m_items.clear(); }
    bool Equals(const TCustomPacketList& other) const;
    /// "(empty list)", or "[k/n]", the item's dump lines and an empty line per item.
    std::string Text() const;

    /// The 4-byte count, then each item in the current framing.
    void SaveToStream(TStream& stream, TPacketSaveContext* context = nullptr) const;
    void LoadFromStream(TStream& stream, TPacketLoadContext* context = nullptr);
    void LoadItems(TPacket::TReader& reader);

private:
    const TPacketClass* m_itemClass;
    std::vector<std::unique_ptr<TPacket>> m_items;
};

/// A list typed for its item class T (a packet wrapper class with StaticClass()).
template <typename T>
class TPacketList : public TCustomPacketList {
public:
    TPacketList() : TCustomPacketList(T::StaticClass()) {}
    /// The item as T, or "Invalid class typecast" when a loaded item has another class.
    T& ItemAs(int index) const { return TPacket::CastPacket<T>(Item(index)); }
};

/// The reader's side of a streaming context: class number n is entry n-1, with the field count
/// the writer's class had.
class TPacketLoadContext {
public:
    struct TEntry {
        const TPacketClass* cls;
        int storedFieldCount;
    };
    std::vector<TEntry> Classes;
};

/// The writer's side of a streaming context: the number given to each class on first use.
class TPacketSaveContext {
public:
    std::unordered_map<const TPacketClass*, int> Numbers;
};

// ---- Registry ----

/// Adds a class to the process's registry (once; a second call for the same class does
/// nothing). A GUID already registered by another class raises "Failed to register packet
/// class: <name>" + CR LF + "TGuidListEx_HashTable: Hashtable does not allow duplicates.".
void RegisterPacketClass(const TPacketClass& cls);
/// The registered class with this GUID, or null.
const TPacketClass* FindPacketClass(const TGuid& guid);
/// The class's registry index (1 for TPacket); a class not registered is a programming error.
int PacketClassIndex(const TPacketClass& cls);

/// Writes the class reference of cls under the save context (number, or 0 and introduction).
void WriteClassReference(TStream& stream, TPacketSaveContext& context, const TPacketClass& cls);
/// Reads a class reference; returns the class and stores the writer's field count.
const TPacketClass& ReadClassReference(TStream& stream, TPacketLoadContext& context,
                                       int& storedFieldCount);

// ---- Class catalogue ----

/// The cataloged class of this name (every class of the system is cataloged), or null.
const TPacketClass* FindPacketClassByName(std::string_view name);
/// Every class of the catalogue in registration order, TPacket first.
const std::vector<const TPacketClass*>& AllPacketClasses();
/// Registers every packet class of the system, TPacket first. Programs call it at start-up,
/// before any packet is read; repeated calls do nothing more.
void RegisterAllPacketClasses();

/// The cataloged class of a wrapper type's name (assertion when missing).
const TPacketClass& CatalogClass(const char* name);

template <typename T>
T& TPacket::CastPacket(TPacket& packet) {
    T* typed = dynamic_cast<T*>(&packet);
    if (typed == nullptr) {
        Raise("Invalid class typecast");
    }
    return *typed;
}

/// Declares a wrapper class over a cataloged packet class: StaticClass() and a default
/// constructor. Field enums and named constructors are added in the class body.
#define QZ_PACKET_WRAPPER(Name, Base)                                                              \
public:                                                                                            \
    static const ::qz::TPacketClass& StaticClass() {                                               \
        static const ::qz::TPacketClass& cls = ::qz::CatalogClass(#Name);                          \
        return cls;                                                                                \
    }                                                                                              \
    Name() : Base(StaticClass()) {}                                                                \
    explicit Name(const ::qz::TPacketClass& cls) : Base(cls) {}

/// The factory of a wrapper type, for its class table.
template <typename T>
std::unique_ptr<TPacket> MakePacketOf(const TPacketClass& cls) {
    return std::make_unique<T>(cls);
}

} // namespace qz
