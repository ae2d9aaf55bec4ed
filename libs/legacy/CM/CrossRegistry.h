#pragma once

// Registry settings: TCrossRegistry addresses keys and values of the settings store below one of
// the predefined roots; TCrossRegIniFile reads and writes section/name pairs as text values.
//
// The store is the file-backed one of platform/RegistryStore.h: every read loads the root's
// file, every write rewrites it under a lock, so several processes see each other's changes.
// There is a single view of it; View32 and View64 are kept for callers but change nothing.
//
// A registry object is used by one thread at a time; each user creates its own.

#include "platform/RegistryStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz {

using RegRoot = platform::RegistryRoot;
using RegValueType = platform::RegistryValueType;
using RegValue = platform::RegistryValue;

/// Access masks: all access, read and write, read, and the bits that make a mask writable.
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;
inline constexpr std::uint32_t kKeyReadWrite = 0x2001F;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWriteAccess = 0x20006;
/// The access CreateKey uses: all access, 32-bit view.
inline constexpr std::uint32_t kKeyCreateAccess = 0xF023F;

/// GetSubKeyNames options.
inline constexpr int kSubKeysNoError = 0x01; ///< an unopenable key gives an empty list
inline constexpr int kSubKeysCreate = 0x02;  ///< create the key when missing

/// "HKEY_LOCAL_MACHINE" and the other root names used in messages.
std::string RegistryRootName(RegRoot root);

/// Parses a root name: the full form ("HKEY_LOCAL_MACHINE") or the short one ("HKLM"), without
/// ASCII case; std::nullopt for anything else.
std::optional<RegRoot> RegistryRootFromName(const std::string& name);

class TCrossRegistry {
public:
    /// Root HKEY_CURRENT_USER, no current key, lazy write on.
    explicit TCrossRegistry(std::uint32_t access = kKeyAllAccess);
    virtual ~TCrossRegistry() = default;
    TCrossRegistry(const TCrossRegistry&) = delete;
    TCrossRegistry& operator=(const TCrossRegistry&) = delete;

    RegRoot RootKey() const { return root_; }
    /// When the root differs: takes it and releases the current key.
    void SetRootKey(RegRoot root);
    std::uint32_t Access() const { return access_; }
    void SetAccess(std::uint32_t access) { access_ = access; }
    bool View64() const { return view64_; }
    void SetView64(bool on) { view64_ = on; }
    bool View32() const { return view32_; }
    void SetView32(bool on) { view32_ = on; }
    bool LazyWrite() const { return lazyWrite_; }
    void SetLazyWrite(bool on) { lazyWrite_ = on; }

    bool HasCurrentKey() const { return hasCurrentKey_; }
    /// The current key's path below the root (empty when none is open).
    const std::string& CurrentPath() const { return currentPath_; }

    /// Opens a key and makes it current. A path beginning with "\" is taken from the root; any
    /// other path is relative to the current key when one is open, else to the root. With
    /// create, a missing key is created (never the root itself). Opening with a writable mask
    /// fails when the process may not write the store. False on failure (the current key stays).
    bool OpenKey(const std::string& path, bool create);
    /// As above; on failure with raise: "Cannot open registry key: %s\%s: %s" (root name, the
    /// key's path below the root, the error's description).
    bool OpenKey(const std::string& path, bool create, bool raise);
    /// Releases the current key and clears the current path.
    void CloseKey();
    /// Creates the key (relative as for OpenKey) with all access and closes it again; returns
    /// true or raises "Failed to create key %s: %s".
    bool CreateKey(const std::string& path);
    /// Whether the key exists (relative as for OpenKey).
    bool KeyExists(const std::string& path);
    /// Deletes the key with everything below it; false when it cannot be deleted.
    bool DeleteKey(const std::string& path);

    /// Whether the current key has the value.
    bool ValueExists(const std::string& name);
    /// The value's type, or std::nullopt when it is missing.
    std::optional<RegValueType> GetDataType(const std::string& name);
    /// The value as stored, or std::nullopt when it is missing.
    std::optional<RegValue> ReadValue(const std::string& name);

    /// Empty when the value is missing or empty; "Invalid data type for '%s'" when it is not a
    /// string or expandable string.
    std::string ReadString(const std::string& name);
    /// Stores a string value; "Failed to set data for '%s'" on failure (no writable current
    /// key, a line break in the text, a store error).
    void WriteString(const std::string& name, const std::string& text);
    void WriteExpandString(const std::string& name, const std::string& text);
    /// Missing: the default. A string must hold a decimal integer ("Invalid registry integer
    /// value at: %s\%s"); an integer value gives itself; any other type raises "Unexpected
    /// registry value type at: %s\%s".
    int ReadInteger(const std::string& name, int defaultValue);
    /// Stores an integer value.
    void WriteInteger(const std::string& name, int value);
    /// ReadInteger(name, default) != 0.
    bool ReadBool(const std::string& name, bool defaultValue);
    /// A binary value's bytes; "Invalid data type for '%s'" for other types; empty when missing.
    std::string ReadBinaryData(const std::string& name);
    void WriteBinaryData(const std::string& name, const std::string& bytes);
    /// False when the value does not exist or cannot be deleted.
    bool DeleteValue(const std::string& name);

    /// Clears the list and adds the current key's subkey names (sorted without case).
    void GetKeyNames(std::vector<std::string>& list);
    /// Clears the list and adds the current key's value names in stored order.
    void GetValueNames(std::vector<std::string>& list);
    /// Fills the list with the subkey names of current path + "\" + path (from the root), opened
    /// for reading by a separate object (kSubKeysCreate: created when missing). When it cannot be
    /// opened, unless kSubKeysNoError is set: "Failed to open registry key: " + path + CR LF +
    /// the error's description.
    void GetSubKeyNames(const std::string& path, std::vector<std::string>& list, int options);

protected:
    /// The key path below the root that a path names (relative as for OpenKey).
    std::string ResolvePath(const std::string& path) const;
    /// Checks and, with create, makes the key; the status says why it failed.
    platform::Result<> OpenPath(const std::string& fullPath, bool create, std::uint32_t access);
    /// Writes one value into the current key; raises "Failed to set data for '%s'".
    void PutValue(const RegValue& value);

private:
    RegRoot root_ = RegRoot::CurrentUser;
    std::uint32_t access_;
    bool view64_ = false;
    bool view32_ = false;
    bool lazyWrite_ = true;
    bool hasCurrentKey_ = false;
    std::string currentPath_;
    std::uint32_t currentAccess_ = 0;
};

/// A TCrossRegistry whose sections are subkeys (relative as for OpenKey) and whose names are
/// text values. Each call opens the section for the one read or write and releases it; the
/// current key is left as it was.
class TCrossRegIniFile : public TCrossRegistry {
public:
    /// Sets access and root, then OpenKey(path, create, raise).
    TCrossRegIniFile(std::uint32_t access, bool create, bool raise, const std::string& path,
                     RegRoot root);

    /// The default when the section cannot be opened or the value is missing; raises "Invalid
    /// data type for '%s'" for a value that is not text.
    std::string ReadString(const std::string& section, const std::string& name,
                           const std::string& defaultValue);
    /// The text as a decimal integer; the default when missing or not a number.
    int ReadInteger(const std::string& section, const std::string& name, int defaultValue);
    bool ReadBool(const std::string& section, const std::string& name, bool defaultValue);
    /// Creates the section key (CreateKey), then stores the text.
    void WriteString(const std::string& section, const std::string& name, const std::string& text);
    /// Stores n as decimal text.
    void WriteInteger(const std::string& section, const std::string& name, int value);
    /// Stores "1" or "0".
    void WriteBool(const std::string& section, const std::string& name, bool value);
    /// ReadInteger; when the access mask is writable and the result equals the default, stores
    /// the default inside a quiet scope, ignoring any failure of the store.
    int ReadIntegerOrStore(const std::string& section, const std::string& name, int defaultValue);
    bool ReadBoolOrStore(const std::string& section, const std::string& name, bool defaultValue);

protected:
    /// Sets access and root without opening a key (subclasses open their own).
    TCrossRegIniFile(std::uint32_t access, RegRoot root);

public:
    using TCrossRegistry::ReadBool;
    using TCrossRegistry::ReadInteger;
    using TCrossRegistry::ReadString;
    using TCrossRegistry::WriteInteger;
    using TCrossRegistry::WriteString;

private:
    std::optional<RegValue> ReadSectionValue(const std::string& section, const std::string& name);
};

/// The product name that registry key paths carry ("SOFTWARE\Tamrel\" + name). Computed once per
/// process by the provider (SetProductRegistryNameProvider) and kept; empty while the provider
/// fails (a failure is not kept: the next call asks the provider again). The programs' start-up
/// (RuntimeStartup) installs the provider that reads "info.dat"; before that, and in tests, the
/// provider answers "Orvane".
std::string ProductRegistryName();

/// Replaces the provider (the product information component installs the one that reads
/// "info.dat"); forgets a name computed before. Tests use it as a seam.
void SetProductRegistryNameProvider(std::string (*provider)());

/// Forces the name (tests); forgets a name computed before.
void SetProductRegistryName(const std::string& name);

} // namespace qz
