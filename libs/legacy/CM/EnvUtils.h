#pragma once

// System utilities: the command line, file names, GUID text, code pages, the process
// environment, string helpers, the tick counter and local times, and thin wrappers of system
// calls that raise on failure. Texts are UTF-8 byte strings unless a function says UTF-16.
// Positions in texts are 1-based. Every function may be called from any thread; the only state
// is the cached computer name. The error forms (RaiseOsError, RaiseWithContext, the native-status
// form) are in Exceptions.h.

#include "platform/AsciiText.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileHandle.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// ---- Command line ---------------------------------------------------------------------------

/// Quotes one argument so that the C-runtime tokenizer gives it back unchanged.
std::string QuoteCommandLineArgument(const std::string& argument);

/// Joins an argument vector into one command line that the C-runtime tokenizer splits back into
/// exactly the same vector.
std::string BuildCommandLine(const std::vector<std::string>& arguments);

/// The process command line: rebuilt from the process's argument vector (UTF-8).
std::string ProcessCommandLine();

/// Splits a command line with the C-runtime rules: blanks separate tokens, double quotes group,
/// n backslashes before a quote give n/2 backslashes (and a literal quote when n is odd), a
/// doubled quote inside a quoted stretch gives one quote, and "" is an empty token. With
/// rawTexts, the raw text of each token is appended there.
std::vector<std::string> SplitCommandLine(std::string_view text,
                                          std::vector<std::string>* rawTexts = nullptr);

// ---- File names -----------------------------------------------------------------------------
// The separator is "/"; "\" and ":" are ordinary characters of a name.

/// The part after the last "/"; the whole path when there is none.
std::string PathFileName(std::string_view path);

/// The part up to and including the last "/"; empty when there is none.
std::string PathFolder(std::string_view path);

/// From the last "." to the end when that "." comes after the last "/"; else empty.
std::string PathExtension(std::string_view path);

/// PathExtension without its dot.
std::string PathExtensionNoDot(std::string_view path);

/// The path without its extension + the extension (which carries its own dot; empty removes the
/// extension).
std::string PathChangeExtension(std::string_view path, std::string_view extension);

/// The file name without its extension.
std::string PathBaseName(std::string_view path);

/// True when PathExtension equals the extension (with dot), ASCII letters compared without case.
bool PathHasExtension(std::string_view path, std::string_view extension);

/// PathHasExtension for any of the extensions.
bool PathHasAnyExtension(std::string_view path, const std::vector<std::string>& extensions);

/// Appends "/" unless the path is empty or already ends with "/".
std::string PathWithSeparator(std::string_view path);

/// Removes one trailing "/", except from the root "/" itself.
std::string PathWithoutSeparator(std::string_view path);

/// True when the path begins with "/".
bool PathIsAbsolute(std::string_view path);

/// Collapses runs of "/" to one, removes "." segments (also at the end) and lets ".." remove
/// itself and the segment before it. ".." never climbs above "/"; a relative path keeps the
/// ".." segments that have nothing left to remove. A trailing "/" is kept, and a removed final
/// "." or ".." segment leaves one.
std::string PathNormalize(std::string_view path);

/// Resolves a name given relative to a base folder: one pair of enclosing double quotes is
/// removed from the name; an empty name gives PathWithSeparator(base); an absolute name stays as
/// it is; a relative name is appended to the base (with a "/" unless the base ends with one).
/// The result is normalised. fileNamePosition (when given) receives the 1-based position of the
/// file name in the result (length + 1 when the result ends with "/").
/// Throws Exception "Base path cannot be an empty string (relative path is \"<name>\")" for a
/// relative name and an empty base.
std::string PathResolve(std::string_view base, std::string_view name,
                        std::size_t* fileNamePosition = nullptr);

// ---- Files and folders ----------------------------------------------------------------------

/// The path exists and is not a folder.
bool FileIsPresent(const std::string& path);
bool FileIsPresent(const std::u16string& path);

/// The path exists and is a folder.
bool FolderIsPresent(const std::string& path);
bool FolderIsPresent(const std::u16string& path);

/// The path exists and carries no write permission bit (the counterpart of a read-only
/// attribute).
bool FileIsReadOnly(const std::string& path);
bool FileIsReadOnly(const std::u16string& path);

/// Creates the folder and its missing parents, outermost first; returns true when it created at
/// least one. Nothing is done for an empty path, "/" or an existing folder, and a folder that
/// appears meanwhile is no failure. A failure raises EOSError "Failed to create directory:
/// <path>" (or "Failed to create directory (<context>): <path>" with a context) + "\r\n" +
/// "Cannot create directory '<folder>'" in OS-error form.
bool ForceFolders(const std::string& path, const std::optional<std::string>& context = {});

/// The system temporary folder ($TMPDIR, else /tmp) with a trailing "/", created when missing
/// (ForceFolders with the context "temporary directory").
std::string TempFolder();

/// The process's current directory; raises "Failed to get current directory" when it cannot be
/// read.
std::string CurrentDirectory();

/// Deletes a file. A missing file is ignored unless missingIsError. A failure raises EOSError
/// "Failed to delete file '<path>'" (+ "\r\nCannot delete a read-only file" when access was
/// denied and the file is read-only) in OS-error form.
void DeleteFileChecked(const std::string& path, bool missingIsError = false);

/// Renames a file or folder; an existing target is not replaced. A failure raises EOSError
/// "Failed to move file '<from>' to '<to>'" in OS-error form.
void MoveFileChecked(const std::string& from, const std::string& to);

// ---- GUIDs ----------------------------------------------------------------------------------

/// A 16-byte identifier in the usual in-memory layout. Ordered and hashed by its fields.
struct TGuid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend bool operator==(const TGuid&, const TGuid&) = default;
    friend auto operator<=>(const TGuid&, const TGuid&) = default;

    /// The 16 bytes in memory order (the layout files and packets carry).
    std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(this); }
    const std::uint8_t* Bytes() const { return reinterpret_cast<const std::uint8_t*>(this); }
    bool IsNull() const;
};
static_assert(sizeof(TGuid) == 16);

/// A new random GUID (its text form shows version 4).
TGuid NewGuid();

/// "{" + the 8-4-4-4-12 hexadecimal form in upper case + "}".
std::string GuidToText(const TGuid& guid);

/// Parses "{8-4-4-4-12}" (hexadecimal digits of either case); false for anything else.
bool TextToGuid(std::string_view text, TGuid& guid);

/// The same for texts that must be GUIDs: anything else raises "Invalid GUID text: %s".
TGuid GuidFromText(std::string_view text);

/// 16-byte equality.
bool SameGuid(const TGuid& a, const TGuid& b);

/// All 16 bytes are zero.
bool IsNullGuid(const TGuid& guid);

/// Hash of a GUID, for unordered containers.
struct TGuidHash {
    std::size_t operator()(const TGuid& guid) const noexcept;
};

// ---- Code pages -----------------------------------------------------------------------------
// Invalid input never fails: invalid UTF-8 sequences and unpaired surrogates become U+FFFD,
// characters a single-byte code page cannot hold become "?".

inline constexpr int kCodePageUtf8 = 65001;

/// UTF-16 to UTF-8.
std::string WideToUtf8(std::u16string_view text);

/// UTF-8 to UTF-16.
std::u16string Utf8ToWide(std::string_view text);

/// UTF-16 to a code page: 65001 (also 0, 1, 2 and 3, the system's code pages), 1252, 28591
/// (Latin-1) and 20127 (US-ASCII). Throws Exception "Unsupported code page <n>" for others.
std::string WideToCodePage(std::u16string_view text, int codePage);

/// A code page's bytes to UTF-16; the code pages of WideToCodePage.
std::u16string CodePageToWide(std::string_view bytes, int codePage);

/// The system's ANSI code page: 65001.
int SystemAnsiCodePage();

// ---- Environment ----------------------------------------------------------------------------

/// The value of a variable; empty when it does not exist.
std::string GetEnv(const std::string& name);

/// Sets a variable of the own process. Raises EOSError "Failed to set environment variable
/// '<name>' (Ansi)" in OS-error form (an empty name or one with "=" is refused).
void SetEnv(const std::string& name, const std::string& value);

/// Removes a variable of the own process (a missing one is no error); raises as SetEnv with
/// "Failed to remove environment variable '<name>'".
void UnsetEnv(const std::string& name);

/// The whole environment of the own process as UTF-16: every "name=value" entry followed by a
/// zero character, and one more zero character at the end.
std::u16string EnvironmentBlockText();

/// Clears the map and adds one name/value pair per zero-terminated entry of the block, cut at
/// its first "=" (no "=": the whole entry is the name, the value empty); an empty entry ends the
/// block. A later entry of the same name replaces an earlier one.
void EnvironmentBlockToMap(std::u16string_view block, std::map<std::string, std::string>& map);

/// Appends each zero-terminated entry of the block to the list; an empty entry ends the block.
void EnvironmentBlockToList(std::u16string_view block, std::vector<std::string>& list);

// ---- Strings --------------------------------------------------------------------------------

/// Cuts the text at the first occurrence of the character; without one: before = text, after =
/// empty, false.
bool SplitAtChar(std::string_view text, char character, std::string& before, std::string& after);

/// The text holds the part at the 1-based position; exact, or ASCII letters without case.
bool TextStartsAt(std::string_view text, std::size_t position, std::string_view part,
                  bool exact = true);

/// The text ends with the part; exact, or ASCII letters without case.
bool TextEndsWith(std::string_view text, std::string_view part, bool exact = true);

/// Equal length and equal ignoring the case of ASCII letters.
using platform::SameTextAscii;

/// The 1-based position of the part in the text from the 1-based position from on, ASCII
/// letters without case; 0 when not found (or when the part is empty).
std::size_t FindText(std::string_view part, std::string_view text, std::size_t from = 1);

/// Replaces every occurrence of old with new, going on after each replacement (the inserted text
/// is not searched again); an empty old changes nothing.
std::string ReplaceAllText(std::string_view text, std::string_view oldPart,
                           std::string_view newPart, bool exact = true);

/// The text enclosed in double quotes.
std::string Quote(std::string_view text);

/// Quote, except for a text that already begins and ends with a double quote.
std::string QuoteIfNeeded(std::string_view text);

/// The first token of a command line after leading blanks: a token that begins with a double
/// quote ends at the next double quote (both quotes are consumed, not returned), otherwise it
/// ends before the first blank. consumed receives the number of bytes used, leading blanks
/// included. Throws Exception "Closing quotation mark not found." for an unclosed quote.
std::string FirstToken(std::string_view commandLine, std::size_t* consumed = nullptr);

/// Wildcard match: "*" matches any run of characters, "?" any one character except ".". ASCII
/// letters are compared without case.
bool MatchesMask(std::string_view name, std::string_view mask);

/// Parses a 32-bit integer: leading blanks skipped, optional sign, then decimal digits or, after
/// the prefix "$", "x" or "0x" (x in either case), hexadecimal digits. A hexadecimal value takes
/// up to 32 bits as a bit pattern ("$FFFFFFFF" is -1); a decimal one must fit the range. Any
/// other character, no digits or an overflow give false.
bool TryTextToInt(std::string_view text, std::int32_t& value);

/// Parses 1 to 16 hexadecimal digits of either case as a 64-bit bit pattern. Anything else
/// throws Exception "Invalid hexadecimal string: \"<text>\"".
std::int64_t HexToInt64(std::string_view text);

/// "true" or "false".
std::string BoolToText(bool value);

// ---- Tick counter and local times -----------------------------------------------------------

/// Milliseconds of the monotonic clock truncated to 32 bits; it wraps after about 49.7 days.
std::uint32_t GetTickCount();

/// The signed 32-bit difference later - earlier of two tick counts, correct across a wrap.
std::int32_t TickDifference(std::uint32_t later, std::uint32_t earlier);

/// A point in time as days since 1899-12-30 00:00, the fraction being the time of day.
using TDateTime = double;

/// The date-time of a calendar date and time of day.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

/// The calendar date and time of day of a date-time (rounded to the millisecond).
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond);

/// The current local date and time.
TDateTime Now();

/// "yyyy-mm-dd hh:nn:ss".
std::string DateTimeToText(TDateTime value);

/// The current local date and time as "yyyy-mm-dd hh:nn:ss".
std::string NowText();

// ---- System calls that raise ----------------------------------------------------------------
// Each raises EOSError in OS-error form with the text shown.

using TModuleHandle = platform::LibraryHandle;
using TFileHandle = platform::FileHandle;

/// Loads a shared library; the caller owns it ("Cannot load library '<name>'", the loader's
/// text in place of the system's message).
TModuleHandle LoadLibraryChecked(const std::string& name);

/// Releases a library from LoadLibraryChecked ("Failed to free library 0x0<handle>").
void FreeLibraryChecked(TModuleHandle module);

/// The address of an exported symbol ("Cannot get address of procedure '<name>'"); nullptr
/// looks in the running program.
void* GetProcChecked(TModuleHandle module, const std::string& name);

/// The file path of a loaded library, the executable for nullptr ("Cannot get filename of module
/// 0x0<handle>").
std::string ModuleFileName(TModuleHandle module);

/// ModuleFileName returning an empty text instead of raising.
std::string ModuleFileNameOrEmpty(TModuleHandle module);

/// Closes a handle ("Failed to close handle 0x0<handle>").
void CloseHandleChecked(TFileHandle handle);

/// The size of an open file ("Failed to get file size for handle 0x0<handle>").
std::int64_t FileSizeChecked(TFileHandle handle);

/// Moves the file position and returns the new one ("Failed to set file pointer for handle
/// 0x0<handle>").
std::int64_t SetFilePointerChecked(TFileHandle handle, std::int64_t offset,
                                   platform::SeekOrigin origin = platform::SeekOrigin::Begin);

/// Makes the file position the end of the file ("Failed to set end of file for handle
/// 0x0<handle>").
void SetEndOfFileChecked(TFileHandle handle);

/// Writes the file's data to the device ("Failed to flush file buffers").
void FlushFileBuffersChecked(TFileHandle handle);

/// The machine's host name, cached after the first successful call ("Failed to get computer
/// name").
std::string ComputerName();

/// ComputerName returning "<Unknown:" + the error message + ">" instead of raising.
std::string ComputerNameOrUnknown();

/// The running kernel's (major, minor) version; (0, 0) when it cannot be read.
std::pair<int, int> KernelVersion();

/// Always true here: callers use it to choose the newer system facilities, which every kernel
/// this system runs on offers.
bool IsWindows7OrLater();

} // namespace qz

template <>
struct std::hash<qz::TGuid> {
    std::size_t operator()(const qz::TGuid& guid) const noexcept { return qz::TGuidHash()(guid); }
};
