#include "Packets.h"

#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"
#include "PacketValues.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <type_traits>

// Packets.h: packet classes, the packet's values and their accessors, comparison and copies, and
// packet lists. The encoding is in PacketEncoding.cpp, the class registry in PacketRegistry.cpp,
// the text dump in PacketText.cpp.

namespace qz {

using namespace packet_detail;

namespace {

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

} // namespace qz
