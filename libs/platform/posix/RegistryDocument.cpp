#include "platform/AsciiText.h"
#include "platform/RegistryStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qz::platform {

namespace {

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return LowerAscii(x) < LowerAscii(y);
    });
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// The canonical spelling used in the file: components joined by single backslashes.
std::string NormalisePath(std::string_view path) {
    std::string result;
    for (std::string_view part : SplitPath(path)) {
        if (!result.empty()) {
            result += '\\';
        }
        result += part;
    }
    return result;
}

// True when `below` is `key` or lies below it.
bool IsAtOrBelow(std::string_view below, std::string_view key) {
    if (key.empty()) {
        return true;
    }
    if (below.size() < key.size() || !SameTextAscii(below.substr(0, key.size()), key)) {
        return false;
    }
    return below.size() == key.size() || below[key.size()] == '\\';
}

std::string_view TrimBlanks(std::string_view text) {
    size_t first = 0;
    while (first < text.size() && (text[first] == ' ' || text[first] == '\t')) {
        ++first;
    }
    size_t last = text.size();
    while (last > first &&
           (text[last - 1] == ' ' || text[last - 1] == '\t' || text[last - 1] == '\r')) {
        --last;
    }
    return text.substr(first, last - first);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads a quoted text starting at text[pos] == '"'; on success pos is past the closing quote.
bool ParseQuoted(std::string_view text, size_t& pos, std::string& out, std::string& what) {
    if (pos >= text.size() || text[pos] != '"') {
        what = "a quoted text was expected";
        return false;
    }
    ++pos;
    out.clear();
    while (pos < text.size()) {
        char c = text[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\\')) {
                what = "a backslash must be followed by '\"' or '\\'";
                return false;
            }
            out += text[pos++];
        } else {
            out += c;
        }
    }
    what = "the closing quote is missing";
    return false;
}

bool ParseValueData(std::string_view data, RegistryValue& value, std::string& what) {
    auto startsWith = [&](std::string_view prefix) {
        return data.size() >= prefix.size() && SameTextAscii(data.substr(0, prefix.size()), prefix);
    };
    size_t pos = 0;
    if (!data.empty() && data[0] == '"') {
        value.type = RegistryValueType::String;
        if (!ParseQuoted(data, pos, value.data, what)) {
            return false;
        }
    } else if (startsWith("str(2):")) {
        value.type = RegistryValueType::ExpandString;
        pos = 7;
        if (!ParseQuoted(data, pos, value.data, what)) {
            return false;
        }
    } else if (startsWith("dword:")) {
        value.type = RegistryValueType::Integer;
        std::string_view digits = data.substr(6);
        if (digits.size() != 8) {
            what = "an integer needs exactly 8 hexadecimal digits";
            return false;
        }
        std::uint32_t number = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) {
                what = "an integer needs exactly 8 hexadecimal digits";
                return false;
            }
            number = number << 4 | static_cast<std::uint32_t>(d);
        }
        value.number = number;
        pos = data.size();
    } else if (startsWith("hex:")) {
        value.type = RegistryValueType::Binary;
        value.data.clear();
        std::string_view bytes = data.substr(4);
        for (size_t i = 0; i < bytes.size();) {
            int high = HexDigit(bytes[i]);
            int low = i + 1 < bytes.size() ? HexDigit(bytes[i + 1]) : -1;
            if (high < 0 || low < 0) {
                what = "binary data must be pairs of hexadecimal digits separated by commas";
                return false;
            }
            value.data += static_cast<char>(high << 4 | low);
            i += 2;
            if (i < bytes.size()) {
                if (bytes[i] != ',' || i + 1 == bytes.size()) {
                    what = "binary data must be pairs of hexadecimal digits separated by commas";
                    return false;
                }
                ++i;
            }
        }
        pos = data.size();
    } else {
        what = "unknown value type (expected \"text\", str(2):, dword: or hex:)";
        return false;
    }
    if (pos != data.size()) {
        what = "unexpected text after the value";
        return false;
    }
    return true;
}

std::string Quote(std::string_view text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
        }
        result += c;
    }
    result += '"';
    return result;
}

} // namespace

int RegistryCorruptCode() {
    return EBADMSG;
}

Result<RegistryDocument> RegistryDocument::Parse(std::string_view text,
                                                 const std::string& fileName) {
    RegistryDocument document;
    Key* current = nullptr;
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = TrimBlanks(text.substr(start, end - start));
        bool terminated = end < text.size();
        start = end + 1;
        ++lineNumber;
        auto fail = [&](const std::string& what) -> Result<RegistryDocument> {
            return Fail(RegistryCorruptCode(),
                        fileName + ", line " + std::to_string(lineNumber) + ": " + what,
                        FailureKind::Corrupt);
        };
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (lineNumber == 1 && line == "REGEDIT4") {
            continue;
        }
        if (line.find('\0') != std::string_view::npos) {
            return fail("the line contains a zero byte");
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail("a key line must end with ']'");
            }
            std::string_view path = line.substr(1, line.size() - 2);
            if (path.empty() || path.front() == '\\' || path.back() == '\\' ||
                path.find("\\\\") != std::string_view::npos) {
                return fail("a key path needs names separated by single backslashes");
            }
            current = document.FindKey(path);
            if (!current) {
                document.keys_.push_back(Key{std::string(path), {}});
                current = &document.keys_.back();
            }
            continue;
        }
        RegistryValue value;
        size_t pos = 0;
        std::string what;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!ParseQuoted(line, pos, value.name, what)) {
                return fail(what);
            }
            if (value.name.empty()) {
                return fail("a value name may not be empty (the default value is written @)");
            }
        } else {
            return fail("expected a [key] line, a \"name\"=value line, a comment or a blank line");
        }
        if (pos >= line.size() || line[pos] != '=') {
            return fail("'=' expected after the value name");
        }
        if (!current) {
            return fail("a value line must follow a [key] line");
        }
        if (!ParseValueData(line.substr(pos + 1), value, what)) {
            return fail(what);
        }
        // Every other form shows a cut by a missing closing quote or digit; a byte list does
        // not, so at the end of the file it must be followed by its line break.
        if (value.type == RegistryValueType::Binary && !terminated) {
            return fail("binary data without its line break (the file looks truncated)");
        }
        auto existing =
            std::find_if(current->values.begin(), current->values.end(),
                         [&](const RegistryValue& v) { return SameTextAscii(v.name, value.name); });
        if (existing != current->values.end()) {
            *existing = std::move(value);
        } else {
            current->values.push_back(std::move(value));
        }
    }
    return document;
}

std::string RegistryDocument::Serialise() const {
    static const char* const kHex = "0123456789abcdef";
    std::string text = "REGEDIT4\n";
    for (const Key& key : keys_) {
        text += "\n[" + key.path + "]\n";
        for (const RegistryValue& value : key.values) {
            text += value.name.empty() ? std::string("@") : Quote(value.name);
            text += '=';
            switch (value.type) {
            case RegistryValueType::String:
                text += Quote(value.data);
                break;
            case RegistryValueType::ExpandString:
                text += "str(2):" + Quote(value.data);
                break;
            case RegistryValueType::Integer: {
                text += "dword:";
                for (int shift = 28; shift >= 0; shift -= 4) {
                    text += kHex[(value.number >> shift) & 0xF];
                }
                break;
            }
            case RegistryValueType::Binary:
                text += "hex:";
                for (size_t i = 0; i < value.data.size(); ++i) {
                    auto byte = static_cast<unsigned char>(value.data[i]);
                    if (i > 0) {
                        text += ',';
                    }
                    text += kHex[byte >> 4];
                    text += kHex[byte & 0xF];
                }
                break;
            }
            text += '\n';
        }
    }
    return text;
}

RegistryDocument::Key* RegistryDocument::FindKey(std::string_view path) {
    std::string normal = NormalisePath(path);
    for (Key& key : keys_) {
        if (SameTextAscii(key.path, normal)) {
            return &key;
        }
    }
    return nullptr;
}

const RegistryDocument::Key* RegistryDocument::FindKey(std::string_view path) const {
    return const_cast<RegistryDocument*>(this)->FindKey(path);
}

bool RegistryDocument::KeyExists(std::string_view path) const {
    std::string normal = NormalisePath(path);
    if (normal.empty()) {
        return true;
    }
    return std::any_of(keys_.begin(), keys_.end(),
                       [&](const Key& key) { return IsAtOrBelow(key.path, normal); });
}

bool RegistryDocument::CreateKey(std::string_view path) {
    std::string normal = NormalisePath(path);
    if (normal.empty()) {
        return true;
    }
    if (HasLineBreak(normal) || normal.find('\0') != std::string::npos) {
        return false;
    }
    if (!FindKey(normal)) {
        keys_.push_back(Key{normal, {}});
    }
    return true;
}

bool RegistryDocument::DeleteKey(std::string_view path) {
    std::string normal = NormalisePath(path);
    if (normal.empty() || !KeyExists(normal)) {
        return false;
    }
    std::erase_if(keys_, [&](const Key& key) { return IsAtOrBelow(key.path, normal); });
    return true;
}

std::vector<std::string> RegistryDocument::SubKeyNames(std::string_view path) const {
    std::string normal = NormalisePath(path);
    std::vector<std::string> names;
    for (const Key& key : keys_) {
        if (!IsAtOrBelow(key.path, normal) || key.path.size() == normal.size()) {
            continue;
        }
        std::string_view rest =
            std::string_view(key.path).substr(normal.empty() ? 0 : normal.size() + 1);
        std::string name(rest.substr(0, rest.find('\\')));
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameTextAscii(n, name); })) {
            names.push_back(std::move(name));
        }
    }
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    return names;
}

const RegistryValue* RegistryDocument::FindValue(std::string_view path,
                                                 std::string_view name) const {
    const Key* key = FindKey(path);
    if (!key) {
        return nullptr;
    }
    for (const RegistryValue& value : key->values) {
        if (SameTextAscii(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::vector<RegistryValue> RegistryDocument::Values(std::string_view path) const {
    const Key* key = FindKey(path);
    return key ? key->values : std::vector<RegistryValue>{};
}

bool RegistryDocument::SetValue(std::string_view path, const RegistryValue& value) {
    if (HasLineBreak(value.name) || value.name.find('\0') != std::string::npos) {
        return false;
    }
    bool isText =
        value.type == RegistryValueType::String || value.type == RegistryValueType::ExpandString;
    if (isText && (HasLineBreak(value.data) || value.data.find('\0') != std::string::npos)) {
        return false;
    }
    std::string normal = NormalisePath(path);
    if (normal.empty() || !CreateKey(normal)) {
        return false;
    }
    Key* key = FindKey(normal);
    for (RegistryValue& existing : key->values) {
        if (SameTextAscii(existing.name, value.name)) {
            std::string keepName = existing.name;
            existing = value;
            existing.name = keepName;
            return true;
        }
    }
    key->values.push_back(value);
    return true;
}

bool RegistryDocument::DeleteValue(std::string_view path, std::string_view name) {
    Key* key = FindKey(path);
    if (!key) {
        return false;
    }
    auto before = key->values.size();
    std::erase_if(key->values,
                  [&](const RegistryValue& value) { return SameTextAscii(value.name, name); });
    return key->values.size() != before;
}

} // namespace qz::platform
