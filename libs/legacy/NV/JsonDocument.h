#pragma once

// A JSON document for reading settings files: lenient parsing, reads by dotted path and the
// merge of one document into another. The JSON library stays behind this unit.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qz::nv {

class TJsonDocument {
public:
    /// An empty document (JSON null).
    TJsonDocument();
    ~TJsonDocument();
    TJsonDocument(TJsonDocument&& other) noexcept;
    TJsonDocument& operator=(TJsonDocument&& other) noexcept;
    TJsonDocument(const TJsonDocument&) = delete;
    TJsonDocument& operator=(const TJsonDocument&) = delete;

    /// Parses UTF-8 text leniently: "//" and "/* */" comments are skipped, a byte-order mark is
    /// skipped, and whatever follows the first complete value is ignored. std::nullopt when no
    /// value parses (an empty text, a syntax error before the first value ends, invalid UTF-8 in
    /// a string). Never raises.
    static std::optional<TJsonDocument> Parse(std::string_view text);

    /// Merges source into this document. Two objects merge member by member: a member of the
    /// same JSON type on both sides merges by the same rules (objects recursively, arrays
    /// element by element at equal positions with the source's extra elements appended,
    /// scalars take the source's value); any other member is replaced by the source's (a null
    /// replaces, and then reads as missing); members only here stay. Two values of different
    /// types: this one becomes the source. The source's values are moved, not copied, so the
    /// source is left in an unspecified state. Works without recursion, so no depth of nesting
    /// can exhaust the stack.
    void MergeFrom(TJsonDocument&& source);

    /// The value at a dotted path ("service.port": member "port" of member "service" of the
    /// root object), when it exists and has the type read. A value of another type (a number
    /// written as text, a float for an integer, a null) reads as missing. Integers give their
    /// 64-bit value (unsigned ones above the signed range as their bit pattern); texts end at
    /// their first zero character.
    std::optional<bool> ReadBool(std::string_view path) const;
    std::optional<std::int64_t> ReadInteger(std::string_view path) const;
    std::optional<std::string> ReadText(std::string_view path) const;

    /// The document as compact JSON text.
    std::string ToText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::nv
