#include "EnvUtils.h"

#include "Exceptions.h"
#include "StringLists.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemInfo.h"
#include "platform/Uuid.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>

namespace qz {

namespace {

using platform::LowerAscii;

bool SameChar(char a, char b, bool exact) {
    return exact ? a == b : LowerAscii(a) == LowerAscii(b);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The first three fields are numbers written in the text's digit order.
TGuid GuidFromBytes(const std::uint8_t (&bytes)[16]) {
    TGuid guid;
    guid.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                 (std::uint32_t(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = bytes[8 + i];
    }
    return guid;
}

std::size_t LastSeparator(std::string_view path) {
    return path.rfind('/');
}

// The position of the extension's dot, or npos.
std::size_t ExtensionDot(std::string_view path) {
    std::size_t dot = path.rfind('.');
    std::size_t separator = LastSeparator(path);
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) {
        return std::string_view::npos;
    }
    return dot;
}

} // namespace

// ---- Command line ---------------------------------------------------------------------------

std::string QuoteCommandLineArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            // Backslashes before a quote are doubled, and the quote itself is escaped.
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote are doubled so that they stay literal.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string BuildCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        line += QuoteCommandLineArgument(argument);
    }
    return line;
}

std::vector<std::string> SplitCommandLine(std::string_view text,
                                          std::vector<std::string>* rawTexts) {
    std::vector<std::string> tokens;
    size_t i = 0;
    const size_t n = text.size();
    while (true) {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        if (i >= n) {
            return tokens;
        }
        size_t start = i;
        std::string token;
        bool quoted = false;
        while (i < n) {
            size_t backslashes = 0;
            while (i < n && text[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < n && text[i] == '"') {
                token.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    token += '"';
                    ++i;
                } else if (quoted && i + 1 < n && text[i + 1] == '"') {
                    token += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            token.append(backslashes, '\\');
            if (i >= n || (!quoted && (text[i] == ' ' || text[i] == '\t'))) {
                break;
            }
            token += text[i++];
        }
        tokens.push_back(std::move(token));
        if (rawTexts) {
            rawTexts->emplace_back(text.substr(start, i - start));
        }
    }
}

std::string ProcessCommandLine() {
    return BuildCommandLine(platform::ProcessArguments());
}

// ---- File names -----------------------------------------------------------------------------

std::string PathFileName(std::string_view path) {
    std::size_t separator = LastSeparator(path);
    return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

std::string PathFolder(std::string_view path) {
    std::size_t separator = LastSeparator(path);
    return separator == std::string_view::npos ? std::string()
                                               : std::string(path.substr(0, separator + 1));
}

std::string PathExtension(std::string_view path) {
    std::size_t dot = ExtensionDot(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string PathExtensionNoDot(std::string_view path) {
    std::size_t dot = ExtensionDot(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot + 1));
}

std::string PathChangeExtension(std::string_view path, std::string_view extension) {
    std::size_t dot = ExtensionDot(path);
    std::string result(dot == std::string_view::npos ? path : path.substr(0, dot));
    result += extension;
    return result;
}

std::string PathBaseName(std::string_view path) {
    return PathChangeExtension(PathFileName(path), {});
}

bool PathHasExtension(std::string_view path, std::string_view extension) {
    return SameTextAscii(PathExtension(path), extension);
}

bool PathHasAnyExtension(std::string_view path, const std::vector<std::string>& extensions) {
    std::string own = PathExtension(path);
    for (const std::string& extension : extensions) {
        if (SameTextAscii(own, extension)) {
            return true;
        }
    }
    return false;
}

std::string PathWithSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != '/') {
        result += '/';
    }
    return result;
}

std::string PathWithoutSeparator(std::string_view path) {
    std::string result(path);
    // The root keeps its "/": without it the path would turn relative.
    if (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

bool PathIsAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

std::string PathNormalize(std::string_view path) {
    if (path.empty()) {
        return {};
    }
    bool absolute = path.front() == '/';
    bool trailing = path.back() == '/';
    std::vector<std::string_view> segments;
    std::size_t leadingParents = 0; // ".." kept at the start of a relative path
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        std::string_view segment = path.substr(start, end - start);
        bool last = end == path.size();
        if (segment == "." || segment == "..") {
            if (segment == "..") {
                if (segments.size() > leadingParents) {
                    segments.pop_back();
                } else if (!absolute) {
                    segments.push_back(segment);
                    ++leadingParents;
                }
            }
            if (last) {
                trailing = true;
            }
        } else if (!segment.empty()) {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) {
            result += '/';
        }
        result += segments[i];
    }
    if (trailing && !segments.empty()) {
        result += '/';
    }
    return result;
}

std::string PathResolve(std::string_view base, std::string_view name,
                        std::size_t* fileNamePosition) {
    std::string unquoted = Unquote(name);
    std::string result;
    if (unquoted.empty()) {
        result = PathWithSeparator(base);
    } else if (PathIsAbsolute(unquoted)) {
        result = unquoted;
    } else {
        if (base.empty()) {
            Raise(
                Format("Base path cannot be an empty string (relative path is \"%s\")", unquoted));
        }
        result = PathWithSeparator(base) + unquoted;
    }
    result = PathNormalize(result);
    if (fileNamePosition) {
        *fileNamePosition = PathFolder(result).size() + 1;
    }
    return result;
}

// ---- Files and folders ----------------------------------------------------------------------

bool FileIsPresent(const std::string& path) {
    return platform::QueryPathKind(path) == platform::PathKind::File;
}

bool FileIsPresent(const std::u16string& path) {
    return FileIsPresent(WideToUtf8(path));
}

bool FolderIsPresent(const std::string& path) {
    return platform::QueryPathKind(path) == platform::PathKind::Folder;
}

bool FolderIsPresent(const std::u16string& path) {
    return FolderIsPresent(WideToUtf8(path));
}

bool FileIsReadOnly(const std::string& path) {
    return platform::PathIsWriteProtected(path);
}

bool FileIsReadOnly(const std::u16string& path) {
    return FileIsReadOnly(WideToUtf8(path));
}

namespace {

bool CreateFolderChain(const std::string& path) {
    std::string folder = PathWithoutSeparator(path);
    if (folder.empty() || folder == "/" || FolderIsPresent(folder)) {
        return false;
    }
    std::string parent = PathWithoutSeparator(PathFolder(folder));
    bool created = false;
    if (!parent.empty() && parent != folder) {
        created = CreateFolderChain(parent);
    }
    int error = platform::MakeFolder(folder);
    if (error == EEXIST && FolderIsPresent(folder)) {
        return created; // made by someone else meanwhile
    }
    if (error != 0) {
        RaiseOsError(Format("Cannot create directory '%s'", folder), error);
    }
    return true;
}

} // namespace

bool ForceFolders(const std::string& path, const std::optional<std::string>& context) {
    try {
        return CreateFolderChain(path);
    } catch (const Exception&) {
        if (context) {
            RaiseWithContext(Format("Failed to create directory (%s): %s", *context, path));
        }
        RaiseWithContext(Format("Failed to create directory: %s", path));
    }
}

std::string CurrentDirectory() {
    std::string folder = platform::CurrentFolder();
    if (folder.empty()) {
        RaiseOsError("Failed to get current directory");
    }
    return folder;
}

std::string TempFolder() {
    std::string folder = platform::SystemTempFolder();
    if (folder.empty()) {
        Raise("Failed to get temporary directory");
    }
    ForceFolders(folder, std::string("temporary directory"));
    return PathWithSeparator(folder);
}

void DeleteFileChecked(const std::string& path, bool missingIsError) {
    int error = platform::RemoveFile(path);
    if (error == 0 || (error == ENOENT && !missingIsError)) {
        return;
    }
    std::string text = Format("Failed to delete file '%s'", path);
    if ((error == EACCES || error == EPERM) && FileIsReadOnly(path)) {
        text += "\r\nCannot delete a read-only file";
    }
    RaiseOsError(text, error);
}

void MoveFileChecked(const std::string& from, const std::string& to) {
    int error = platform::RenameNoReplace(from, to);
    if (error != 0) {
        RaiseOsError(Format("Failed to move file '%s' to '%s'", from, to), error);
    }
}

// ---- GUIDs ----------------------------------------------------------------------------------

TGuid NewGuid() {
    std::uint8_t bytes[16];
    platform::GenerateRandomUuid(bytes);
    return GuidFromBytes(bytes);
}

std::string GuidToText(const TGuid& guid) {
    const std::uint8_t* d = guid.Data4;
    return Format("{%.8X-%.4X-%.4X-%.2X%.2X-%.2X%.2X%.2X%.2X%.2X%.2X}", guid.Data1, guid.Data2,
                  guid.Data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

bool TextToGuid(std::string_view text, TGuid& guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return false;
    }
    std::string_view inner = text.substr(1, 36);
    std::uint8_t bytes[16];
    std::size_t byteIndex = 0;
    for (std::size_t i = 0; i < inner.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (inner[i] != '-') {
                return false;
            }
            ++i;
            continue;
        }
        int high = HexDigitValue(inner[i]);
        int low = HexDigitValue(inner[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[byteIndex++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    guid = GuidFromBytes(bytes);
    return true;
}

TGuid GuidFromText(std::string_view text) {
    TGuid guid;
    if (!TextToGuid(text, guid)) {
        Raise(Format("Invalid GUID text: %s", std::string(text)));
    }
    return guid;
}

bool TGuid::IsNull() const {
    return IsNullGuid(*this);
}

bool SameGuid(const TGuid& a, const TGuid& b) {
    return a == b;
}

bool IsNullGuid(const TGuid& guid) {
    return guid == TGuid{};
}

std::size_t TGuidHash::operator()(const TGuid& guid) const noexcept {
    std::uint64_t high =
        (std::uint64_t(guid.Data1) << 32) | (std::uint64_t(guid.Data2) << 16) | guid.Data3;
    std::uint64_t low = 0;
    for (std::uint8_t byte : guid.Data4) {
        low = (low << 8) | byte;
    }
    // Random GUIDs spread well already; mixing keeps structured ones apart too.
    std::uint64_t hash = high * 0x9E3779B97F4A7C15ull ^ low;
    hash ^= hash >> 29;
    return static_cast<std::size_t>(hash * 0xBF58476D1CE4E5B9ull);
}

// ---- Code pages -----------------------------------------------------------------------------

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

// Decodes one character at position i and moves i past it. An invalid sequence yields U+FFFD
// and skips only its longest valid beginning, so the next lead byte is not swallowed.
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 2;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 3;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (std::size_t k = 0; k < length; ++k) {
        if (i >= text.size()) {
            return kReplacement;
        }
        unsigned char next = byte(i);
        if (k == 0 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) {
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
        ++i;
    }
    return value;
}

bool IsSystemCodePage(int codePage) {
    return codePage == kCodePageUtf8 || (codePage >= 0 && codePage <= 3);
}

// The bytes 0x80 to 0x9F of code page 1252; 0 marks the five unassigned ones.
constexpr char16_t kCodePage1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t SingleByteToWide(unsigned char byte, int codePage) {
    if (byte < 0x80) {
        return byte;
    }
    switch (codePage) {
    case 28591:
        return byte;
    case 1252:
        if (byte >= 0xA0) {
            return byte;
        }
        // Unassigned bytes map to the control characters of the same value, as Latin-1 does.
        return kCodePage1252High[byte - 0x80] ? kCodePage1252High[byte - 0x80] : char16_t(byte);
    default:
        return static_cast<char16_t>(kReplacement);
    }
}

char WideToSingleByte(char32_t c, int codePage) {
    if (c < 0x80) {
        return static_cast<char>(c);
    }
    if (codePage == 28591 && c <= 0xFF) {
        return static_cast<char>(c);
    }
    if (codePage == 1252) {
        if (c >= 0xA0 && c <= 0xFF) {
            return static_cast<char>(c);
        }
        for (int k = 0; k < 32; ++k) {
            if (kCodePage1252High[k] == c ||
                (kCodePage1252High[k] == 0 && c == char32_t(0x80 + k))) {
                return static_cast<char>(0x80 + k);
            }
        }
    }
    return '?';
}

void CheckCodePage(int codePage) {
    if (!IsSystemCodePage(codePage) && codePage != 1252 && codePage != 28591 && codePage != 20127) {
        Raise(Format("Unsupported code page %d", codePage));
    }
}

// Walks UTF-16 text as code points; unpaired surrogates become U+FFFD.
template <typename Visit>
void ForEachCodePoint(std::u16string_view text, Visit visit) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        visit(c);
    }
}

} // namespace

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t c) { AppendUtf8(out, c); });
    return out;
}

std::u16string Utf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        AppendUtf16(out, DecodeUtf8(text, i));
    }
    return out;
}

std::string WideToCodePage(std::u16string_view text, int codePage) {
    CheckCodePage(codePage);
    if (IsSystemCodePage(codePage)) {
        return WideToUtf8(text);
    }
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t c) { out += WideToSingleByte(c, codePage); });
    return out;
}

std::u16string CodePageToWide(std::string_view bytes, int codePage) {
    CheckCodePage(codePage);
    if (IsSystemCodePage(codePage)) {
        return Utf8ToWide(bytes);
    }
    std::u16string out;
    out.reserve(bytes.size());
    for (char byte : bytes) {
        out += SingleByteToWide(static_cast<unsigned char>(byte), codePage);
    }
    return out;
}

int SystemAnsiCodePage() {
    return kCodePageUtf8;
}

// ---- Environment ----------------------------------------------------------------------------

std::string GetEnv(const std::string& name) {
    // The platform copies the whole value at once, so no size negotiation is needed.
    return platform::ReadEnvironmentVariable(name).value_or(std::string());
}

void SetEnv(const std::string& name, const std::string& value) {
    int error = platform::WriteEnvironmentVariable(name, value);
    if (error != 0) {
        RaiseOsError(Format("Failed to set environment variable '%S' (Ansi)", name), error);
    }
}

void UnsetEnv(const std::string& name) {
    int error = platform::RemoveEnvironmentVariable(name);
    if (error != 0) {
        RaiseOsError(Format("Failed to remove environment variable '%s'", name), error);
    }
}

std::u16string EnvironmentBlockText() {
    std::u16string block;
    for (const std::string& entry : platform::EnvironmentEntries()) {
        block += Utf8ToWide(entry);
        block += u'\0';
    }
    block += u'\0';
    return block;
}

namespace {

template <typename Visit>
void ForEachBlockEntry(std::u16string_view block, Visit visit) {
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find(u'\0', start);
        if (end == std::u16string_view::npos) {
            end = block.size(); // a block without its final zero still ends here
        }
        if (end == start) {
            return;
        }
        visit(WideToUtf8(block.substr(start, end - start)));
        start = end + 1;
    }
}

} // namespace

void EnvironmentBlockToMap(std::u16string_view block, std::map<std::string, std::string>& map) {
    map.clear();
    ForEachBlockEntry(block, [&](const std::string& entry) {
        std::string name;
        std::string value;
        SplitAtChar(entry, '=', name, value);
        map.insert_or_assign(std::move(name), std::move(value));
    });
}

void EnvironmentBlockToList(std::u16string_view block, std::vector<std::string>& list) {
    ForEachBlockEntry(block, [&](const std::string& entry) { list.push_back(entry); });
}

// ---- Strings --------------------------------------------------------------------------------

bool SplitAtChar(std::string_view text, char character, std::string& before, std::string& after) {
    std::size_t at = text.find(character);
    if (at == std::string_view::npos) {
        before = std::string(text);
        after.clear();
        return false;
    }
    before = std::string(text.substr(0, at));
    after = std::string(text.substr(at + 1));
    return true;
}

bool TextStartsAt(std::string_view text, std::size_t position, std::string_view part, bool exact) {
    if (position < 1 || position - 1 > text.size() || part.size() > text.size() - (position - 1)) {
        return false;
    }
    for (std::size_t k = 0; k < part.size(); ++k) {
        if (!SameChar(text[position - 1 + k], part[k], exact)) {
            return false;
        }
    }
    return true;
}

bool TextEndsWith(std::string_view text, std::string_view part, bool exact) {
    return part.size() <= text.size() &&
           TextStartsAt(text, text.size() - part.size() + 1, part, exact);
}

std::size_t FindText(std::string_view part, std::string_view text, std::size_t from) {
    if (part.empty() || from < 1) {
        return 0;
    }
    for (std::size_t position = from; position + part.size() <= text.size() + 1; ++position) {
        if (TextStartsAt(text, position, part, false)) {
            return position;
        }
    }
    return 0;
}

std::string ReplaceAllText(std::string_view text, std::string_view oldPart,
                           std::string_view newPart, bool exact) {
    if (oldPart.empty()) {
        return std::string(text);
    }
    std::string result;
    std::size_t position = 1;
    while (position <= text.size()) {
        if (TextStartsAt(text, position, oldPart, exact)) {
            result += newPart;
            position += oldPart.size();
        } else {
            result += text[position - 1];
            ++position;
        }
    }
    return result;
}

std::string Quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted.append(text);
    quoted += '"';
    return quoted;
}

std::string QuoteIfNeeded(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text);
    }
    return Quote(text);
}

std::string FirstToken(std::string_view commandLine, std::size_t* consumed) {
    std::size_t start = commandLine.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        if (consumed) {
            *consumed = commandLine.size();
        }
        return {};
    }
    std::string token;
    std::size_t end;
    if (commandLine[start] == '"') {
        std::size_t close = commandLine.find('"', start + 1);
        if (close == std::string_view::npos) {
            Raise("Closing quotation mark not found.");
        }
        token = std::string(commandLine.substr(start + 1, close - start - 1));
        end = close + 1;
    } else {
        end = commandLine.find_first_of(" \t", start);
        if (end == std::string_view::npos) {
            end = commandLine.size();
        }
        token = std::string(commandLine.substr(start, end - start));
    }
    if (consumed) {
        *consumed = end;
    }
    return token;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    // Greedy matching with one backtrack point (the last "*") runs in O(n * m) at worst.
    std::size_t n = 0;
    std::size_t m = 0;
    std::size_t starMask = std::string_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size() &&
                   ((mask[m] == '?' && name[n] != '.') || SameChar(mask[m], name[n], false))) {
            ++m;
            ++n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') {
        ++m;
    }
    return m == mask.size();
}

bool TryTextToInt(std::string_view text, std::int32_t& value) {
    const std::size_t start = text.find_first_not_of(" \t");
    text.remove_prefix(start == std::string_view::npos ? text.size() : start);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && (text.front() == '$' || LowerAscii(text.front()) == 'x')) {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() > 1 && text[0] == '0' && LowerAscii(text[1]) == 'x') {
        base = 16;
        text.remove_prefix(2);
    }
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        return false;
    }
    std::optional<std::uint32_t> magnitude = platform::ParseInteger<std::uint32_t>(text, base);
    if (!magnitude || (base == 10 && *magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu))) {
        return false;
    }
    value = static_cast<std::int32_t>(negative ? 0u - *magnitude : *magnitude);
    return true;
}

std::int64_t HexToInt64(std::string_view text) {
    if (text.empty() || text.size() > 16) {
        Raise(Format("Invalid hexadecimal string: \"%s\"", text));
    }
    std::uint64_t bits = 0;
    for (char c : text) {
        int digit = HexDigitValue(c);
        if (digit < 0) {
            Raise(Format("Invalid hexadecimal string: \"%s\"", text));
        }
        bits = (bits << 4) | static_cast<std::uint64_t>(digit);
    }
    return static_cast<std::int64_t>(bits);
}

std::string BoolToText(bool value) {
    return value ? "true" : "false";
}

// ---- Tick counter and local times -----------------------------------------------------------

std::uint32_t GetTickCount() {
    return static_cast<std::uint32_t>(platform::MonotonicMilliseconds());
}

std::int32_t TickDifference(std::uint32_t later, std::uint32_t earlier) {
    return static_cast<std::int32_t>(later - earlier);
}

namespace {

constexpr std::int64_t kMillisecondsPerDay = 86400000;

// Days from 1970-01-01 of a civil date (proleptic Gregorian calendar); a day past the month's
// end counts on into the next month.
std::int64_t DaysFromCivil(int year, int month, int day) {
    using namespace std::chrono;
    const sys_days first{std::chrono::year{year} /
                         std::chrono::month{static_cast<unsigned>(month)} / 1};
    return (first + days{day - 1}).time_since_epoch().count();
}

void CivilFromDays(std::int64_t count, int& year, int& month, int& day) {
    using namespace std::chrono;
    const year_month_day date{sys_days{days{count}}};
    year = static_cast<int>(date.year());
    month = static_cast<int>(static_cast<unsigned>(date.month()));
    day = static_cast<int>(static_cast<unsigned>(date.day()));
}

const std::int64_t kDateTimeEpochDays = DaysFromCivil(1899, 12, 30);

} // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    std::int64_t days = DaysFromCivil(year, month, day) - kDateTimeEpochDays;
    std::int64_t milliseconds =
        ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<double>(days) +
           static_cast<double>(milliseconds) / static_cast<double>(kMillisecondsPerDay);
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond) {
    std::int64_t total = std::llround(value * static_cast<double>(kMillisecondsPerDay));
    std::int64_t days = total / kMillisecondsPerDay;
    std::int64_t rest = total % kMillisecondsPerDay;
    if (rest < 0) {
        rest += kMillisecondsPerDay;
        --days;
    }
    CivilFromDays(days + kDateTimeEpochDays, year, month, day);
    hour = static_cast<int>(rest / 3600000);
    minute = static_cast<int>(rest / 60000 % 60);
    second = static_cast<int>(rest / 1000 % 60);
    millisecond = static_cast<int>(rest % 1000);
}

TDateTime Now() {
    platform::LocalTimeParts now = platform::CurrentLocalTime();
    return EncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                          now.millisecond);
}

std::string DateTimeToText(TDateTime value) {
    int year, month, day, hour, minute, second, millisecond;
    DecodeDateTime(value, year, month, day, hour, minute, second, millisecond);
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", year, month, day, hour, minute, second);
}

std::string NowText() {
    platform::LocalTimeParts now = platform::CurrentLocalTime();
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
}

// ---- System calls that raise ----------------------------------------------------------------

namespace {

// The loader explains its failures in its own words; they take the place of the system text.
[[noreturn]] void RaiseLibraryError(const std::string& text, const platform::LibraryError& error) {
    throw EOSError(text + ": " + error.text + " (" + std::to_string(error.code) + ")", error.code);
}

} // namespace

TModuleHandle LoadLibraryChecked(const std::string& name) {
    platform::LibraryError error;
    TModuleHandle module = platform::OpenLibrary(name, error);
    if (!module) {
        RaiseLibraryError(Format("Cannot load library '%s'", name), error);
    }
    return module;
}

void FreeLibraryChecked(TModuleHandle module) {
    platform::LibraryError error;
    if (!platform::CloseLibrary(module, error)) {
        RaiseLibraryError(Format("Failed to free library 0x0%x", module), error);
    }
}

void* GetProcChecked(TModuleHandle module, const std::string& name) {
    platform::LibraryError error;
    void* address = platform::FindLibrarySymbol(module, name, error);
    if (!address) {
        RaiseLibraryError(Format("Cannot get address of procedure '%s'", name), error);
    }
    return address;
}

std::string ModuleFileName(TModuleHandle module) {
    platform::LibraryError error;
    std::string path;
    if (!platform::LibraryFilePath(module, path, error)) {
        RaiseLibraryError(Format("Cannot get filename of module 0x0%x", module), error);
    }
    return path;
}

std::string ModuleFileNameOrEmpty(TModuleHandle module) {
    platform::LibraryError error;
    std::string path;
    return platform::LibraryFilePath(module, path, error) ? path : std::string();
}

void CloseHandleChecked(TFileHandle handle) {
    if (!platform::CloseHandle(handle)) {
        RaiseOsError(Format("Failed to close handle 0x0%x", handle));
    }
}

std::int64_t FileSizeChecked(TFileHandle handle) {
    std::int64_t size = 0;
    int error = platform::FileHandleSize(handle, size);
    if (error != 0) {
        RaiseOsError(Format("Failed to get file size for handle 0x0%x", handle), error);
    }
    return size;
}

std::int64_t SetFilePointerChecked(TFileHandle handle, std::int64_t offset,
                                   platform::SeekOrigin origin) {
    std::int64_t position = 0;
    int error = platform::SeekFileHandle(handle, offset, origin, position);
    if (error != 0) {
        RaiseOsError(Format("Failed to set file pointer for handle 0x0%x", handle), error);
    }
    return position;
}

void SetEndOfFileChecked(TFileHandle handle) {
    int error = platform::SetEndOfFileHandle(handle);
    if (error != 0) {
        RaiseOsError(Format("Failed to set end of file for handle 0x0%x", handle), error);
    }
}

void FlushFileBuffersChecked(TFileHandle handle) {
    int error = platform::FlushFileHandle(handle);
    if (error != 0) {
        RaiseOsError("Failed to flush file buffers", error);
    }
}

namespace {

std::mutex& ComputerNameLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

std::string ComputerName() {
    static std::optional<std::string> cached;
    std::lock_guard<std::mutex> guard(ComputerNameLock());
    if (!cached) {
        std::string name;
        int error = platform::HostName(name);
        if (error != 0) {
            RaiseOsError("Failed to get computer name", error);
        }
        cached = name;
    }
    return *cached;
}

std::string ComputerNameOrUnknown() {
    try {
        return ComputerName();
    } catch (const Exception& e) {
        return "<Unknown:" + e.Message() + ">";
    }
}

std::pair<int, int> KernelVersion() {
    int major = 0;
    int minor = 0;
    if (!platform::KernelVersion(major, minor)) {
        return {0, 0};
    }
    return {major, minor};
}

bool IsWindows7OrLater() {
    return true;
}

} // namespace qz
