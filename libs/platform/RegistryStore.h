#pragma once

// The settings store: one text file per registry root in the ".reg" layout, read whole and
// rewritten whole. RegistryDocument parses and serialises that layout and answers key and value
// queries on it; RegistryStore finds a root's file and loads or updates it.
//
// Grammar (one line at a time; an administrator writes it by hand):
//   REGEDIT4                         optional first line
//   ; comment                        ignored, as are blank lines
//   [SOFTWARE\Tamrel\Orvane\Builder] a key path below the root, single backslashes
//   "Name"="text"                    string; \" and \\ escape a quote and a backslash
//   "Name"=str(2):"text"             expandable string
//   "Name"=dword:0000000c            integer, exactly 8 hexadecimal digits
//   "Name"=hex:de,ad,be,ef           binary, two hexadecimal digits per byte
//   @=...                            the key's default value
// Leading and trailing blanks (and a CR before the line end) are ignored. A key exists when a
// section line names it or a key below it. Key and value names compare without ASCII case. Any
// other line is an error that names the file and the line number.
//
// Nothing here raises: failures come back as a Result whose Failure holds the system error code
// (its Text() is the system's text), or for a file that does not parse RegistryCorruptCode() with
// the kind Corrupt and a context naming the file and the line. The registry classes of the common
// modules turn them into their messages.

#include "platform/Result.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::platform {

enum class RegistryRoot {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    PerformanceData,
    CurrentConfig,
    DynData,
};

enum class RegistryValueType { String, ExpandString, Integer, Binary };

struct RegistryValue {
    std::string name; ///< empty: the default value ("@")
    RegistryValueType type = RegistryValueType::String;
    std::string data;         ///< text of a string type, the bytes of a binary value
    std::uint32_t number = 0; ///< an integer value
};

/// The error code used for a store file that does not parse.
int RegistryCorruptCode();

/// One root's keys and values in memory. Key paths use single backslashes; a leading or trailing
/// backslash and empty components are ignored when looking up.
class RegistryDocument {
public:
    /// Parses a whole file; fails (Corrupt, RegistryCorruptCode()) with the context
    /// "<fileName>, line <n>: <what is wrong>".
    static Result<RegistryDocument> Parse(std::string_view text, const std::string& fileName);

    /// The document in the grammar above, starting with "REGEDIT4"; Parse gives it back.
    std::string Serialise() const;

    bool KeyExists(std::string_view path) const;
    /// Creates the key (and, implicitly, those above it). False when a name is unusable (empty
    /// component, a line break).
    bool CreateKey(std::string_view path);
    /// Removes the key, everything below it and its values; false when it does not exist.
    bool DeleteKey(std::string_view path);
    /// The names of the key's direct subkeys, sorted without ASCII case.
    std::vector<std::string> SubKeyNames(std::string_view path) const;

    /// The value or nullptr; the pointer is valid until the document changes.
    const RegistryValue* FindValue(std::string_view path, std::string_view name) const;
    /// The key's values in stored order.
    std::vector<RegistryValue> Values(std::string_view path) const;
    /// Stores the value, creating the key; false when the name or text cannot be written
    /// (a line break in it).
    bool SetValue(std::string_view path, const RegistryValue& value);
    /// False when the value does not exist.
    bool DeleteValue(std::string_view path, std::string_view name);

private:
    struct Key {
        std::string path;
        std::vector<RegistryValue> values;
    };

    Key* FindKey(std::string_view path);
    const Key* FindKey(std::string_view path) const;

    std::vector<Key> keys_; ///< keys named by a section, in file order
};

/// Where each root lives and how it is read and written.
class RegistryStore {
public:
    /// The file of a root: LocalMachine /etc/tamrel/registry/HKLM.reg; CurrentUser
    /// $XDG_CONFIG_HOME/tamrel/registry/HKCU.reg (default ~/.config); the other roots HKCR, HKU,
    /// HKPD, HKCC, HKDD beside HKLM. With the environment variable "TamrelRegistryRoot" set, every
    /// file is in that folder instead.
    static std::string RootFile(RegistryRoot root);

    /// Reads the root's file; a missing file is an empty root. Safe against concurrent writers:
    /// a write replaces the file atomically.
    static Result<RegistryDocument> Load(RegistryRoot root);

    /// Read-modify-write under an exclusive lock of the file: loads the current document, calls
    /// change (which returns its own result; a failure leaves the file untouched), then writes
    /// the result to a temporary file in the same folder and renames it over the original.
    /// Creates the folder when missing.
    static Result<> Update(RegistryRoot root,
                           const std::function<Result<>(RegistryDocument&)>& change);

    /// Whether the process may write the root's file (or create it in its folder, or create the
    /// folder).
    static bool CanWrite(RegistryRoot root);
};

} // namespace qz::platform
