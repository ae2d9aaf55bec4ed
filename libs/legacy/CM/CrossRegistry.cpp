#include "CrossRegistry.h"

#include "ExceptionWatch.h"
#include "Exceptions.h"
#include "platform/AsciiText.h"

#include <cerrno>
#include <charconv>
#include <mutex>

namespace qz {

namespace {

using platform::RegistryDocument;
using platform::RegistryStore;

std::string JoinPath(const std::string& base, const std::string& path) {
    if (base.empty()) {
        return path;
    }
    if (path.empty()) {
        return base;
    }
    return base + "\\" + path;
}

// Set-value or create-subkey rights; the 0x20000 bit of the write mask is shared with reading.
bool IsWritable(std::uint32_t access) {
    return (access & kKeyWriteAccess & 0xFFFF) != 0;
}

bool IsTextType(RegValueType type) {
    return type == RegValueType::String || type == RegValueType::ExpandString;
}

std::string TextUpToZero(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

std::mutex& ProductNameLock() {
    static std::mutex lock;
    return lock;
}

std::string DefaultProductName() {
    return "Orvane";
}

std::string (*g_productNameProvider)() = &DefaultProductName;
std::optional<std::string> g_productName;

} // namespace

std::string RegistryRootName(RegRoot root) {
    switch (root) {
    case RegRoot::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    case RegRoot::CurrentUser:
        return "HKEY_CURRENT_USER";
    case RegRoot::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    case RegRoot::Users:
        return "HKEY_USERS";
    case RegRoot::PerformanceData:
        return "HKEY_PERFORMANCE_DATA";
    case RegRoot::CurrentConfig:
        return "HKEY_CURRENT_CONFIG";
    case RegRoot::DynData:
        return "HKEY_DYN_DATA";
    }
    return "";
}

std::optional<RegRoot> RegistryRootFromName(const std::string& name) {
    static const struct {
        const char* shortName;
        RegRoot root;
    } kRoots[] = {{"HKCR", RegRoot::ClassesRoot},     {"HKCU", RegRoot::CurrentUser},
                  {"HKLM", RegRoot::LocalMachine},    {"HKU", RegRoot::Users},
                  {"HKPD", RegRoot::PerformanceData}, {"HKCC", RegRoot::CurrentConfig},
                  {"HKDD", RegRoot::DynData}};
    for (const auto& entry : kRoots) {
        if (platform::SameTextAscii(name, entry.shortName) ||
            platform::SameTextAscii(name, RegistryRootName(entry.root))) {
            return entry.root;
        }
    }
    return std::nullopt;
}

TCrossRegistry::TCrossRegistry(std::uint32_t access) : access_(access) {}

void TCrossRegistry::SetRootKey(RegRoot root) {
    if (root != root_) {
        root_ = root;
        CloseKey();
    }
}

std::string TCrossRegistry::ResolvePath(const std::string& path) const {
    if (!path.empty() && path[0] == '\\') {
        return path.substr(1);
    }
    return hasCurrentKey_ ? JoinPath(currentPath_, path) : path;
}

platform::Result<> TCrossRegistry::OpenPath(const std::string& fullPath, bool create,
                                            std::uint32_t access) {
    bool writable = IsWritable(access);
    if (writable && !RegistryStore::CanWrite(root_)) {
        return platform::Fail(EACCES);
    }
    platform::Result<RegistryDocument> document = RegistryStore::Load(root_);
    if (!document) {
        return tl::unexpected(std::move(document.error()));
    }
    if (document->KeyExists(fullPath)) {
        return {};
    }
    if (!create || fullPath.empty()) {
        return platform::Fail(ENOENT);
    }
    return RegistryStore::Update(root_, [&](RegistryDocument& current) {
        return platform::FailUnless(current.CreateKey(fullPath), EINVAL);
    });
}

bool TCrossRegistry::OpenKey(const std::string& path, bool create) {
    std::string fullPath = ResolvePath(path);
    if (!OpenPath(fullPath, create, access_)) {
        return false;
    }
    hasCurrentKey_ = true;
    currentPath_ = fullPath;
    currentAccess_ = access_;
    return true;
}

bool TCrossRegistry::OpenKey(const std::string& path, bool create, bool raise) {
    std::string fullPath = ResolvePath(path);
    platform::Result<> status = OpenPath(fullPath, create, access_);
    if (!status) {
        if (raise) {
            Raise(Format("Cannot open registry key: %s\\%s: %s", RegistryRootName(root_), fullPath,
                         status.error().Text()));
        }
        return false;
    }
    hasCurrentKey_ = true;
    currentPath_ = fullPath;
    currentAccess_ = access_;
    return true;
}

void TCrossRegistry::CloseKey() {
    // Every write already reached the store, so a flush (lazy write off) has nothing left to do.
    hasCurrentKey_ = false;
    currentPath_.clear();
    currentAccess_ = 0;
}

bool TCrossRegistry::CreateKey(const std::string& path) {
    std::string fullPath = ResolvePath(path);
    platform::Result<> status = OpenPath(fullPath, true, kKeyCreateAccess);
    if (!status) {
        Raise(Format("Failed to create key %s: %s", path, status.error().Text()));
    }
    return true;
}

bool TCrossRegistry::KeyExists(const std::string& path) {
    platform::Result<RegistryDocument> document = RegistryStore::Load(root_);
    return document && document->KeyExists(ResolvePath(path));
}

bool TCrossRegistry::DeleteKey(const std::string& path) {
    std::string fullPath = ResolvePath(path);
    if (fullPath.empty() || !RegistryStore::CanWrite(root_)) {
        return false;
    }
    return RegistryStore::Update(root_,
                                 [&](RegistryDocument& document) {
                                     return platform::FailUnless(document.DeleteKey(fullPath),
                                                                 ENOENT);
                                 })
        .has_value();
}

std::optional<RegValue> TCrossRegistry::ReadValue(const std::string& name) {
    if (!hasCurrentKey_) {
        return std::nullopt;
    }
    platform::Result<RegistryDocument> document = RegistryStore::Load(root_);
    if (!document) {
        Raise(Format("Failed to get data for '%s'", name) + "\r\n" + document.error().Text());
    }
    const RegValue* value = document->FindValue(currentPath_, name);
    return value ? std::optional<RegValue>(*value) : std::nullopt;
}

bool TCrossRegistry::ValueExists(const std::string& name) {
    // A store that cannot be read answers "no"; that failure is expected and not logged.
    UnloggedExceptionsScope unlogged;
    try {
        return ReadValue(name).has_value();
    } catch (const Exception&) {
        return false;
    }
}

std::optional<RegValueType> TCrossRegistry::GetDataType(const std::string& name) {
    auto value = ReadValue(name);
    return value ? std::optional<RegValueType>(value->type) : std::nullopt;
}

std::string TCrossRegistry::ReadString(const std::string& name) {
    auto value = ReadValue(name);
    if (!value) {
        return "";
    }
    if (!IsTextType(value->type)) {
        Raise(Format("Invalid data type for '%s'", name));
    }
    return TextUpToZero(value->data);
}

void TCrossRegistry::PutValue(const RegValue& value) {
    std::string key = currentPath_;
    bool ok = hasCurrentKey_ && IsWritable(currentAccess_) && !key.empty() &&
              RegistryStore::Update(root_, [&](RegistryDocument& document) {
                  return platform::FailUnless(document.SetValue(key, value), EINVAL);
              }).has_value();
    if (!ok) {
        Raise(Format("Failed to set data for '%s'", value.name));
    }
}

void TCrossRegistry::WriteString(const std::string& name, const std::string& text) {
    PutValue(RegValue{name, RegValueType::String, text, 0});
}

void TCrossRegistry::WriteExpandString(const std::string& name, const std::string& text) {
    PutValue(RegValue{name, RegValueType::ExpandString, text, 0});
}

int TCrossRegistry::ReadInteger(const std::string& name, int defaultValue) {
    auto value = ReadValue(name);
    if (!value) {
        return defaultValue;
    }
    if (IsTextType(value->type)) {
        auto number = platform::ParseInteger<int>(TextUpToZero(value->data));
        if (!number) {
            Raise(Format("Invalid registry integer value at: %s\\%s", currentPath_, name));
        }
        return *number;
    }
    if (value->type == RegValueType::Integer) {
        return static_cast<int>(value->number);
    }
    Raise(Format("Unexpected registry value type at: %s\\%s", currentPath_, name));
}

void TCrossRegistry::WriteInteger(const std::string& name, int value) {
    PutValue(RegValue{name, RegValueType::Integer, "", static_cast<std::uint32_t>(value)});
}

bool TCrossRegistry::ReadBool(const std::string& name, bool defaultValue) {
    return ReadInteger(name, defaultValue ? 1 : 0) != 0;
}

std::string TCrossRegistry::ReadBinaryData(const std::string& name) {
    auto value = ReadValue(name);
    if (!value) {
        return "";
    }
    if (value->type != RegValueType::Binary) {
        Raise(Format("Invalid data type for '%s'", name));
    }
    return value->data;
}

void TCrossRegistry::WriteBinaryData(const std::string& name, const std::string& bytes) {
    PutValue(RegValue{name, RegValueType::Binary, bytes, 0});
}

bool TCrossRegistry::DeleteValue(const std::string& name) {
    if (!hasCurrentKey_ || !IsWritable(currentAccess_)) {
        return false;
    }
    std::string key = currentPath_;
    return RegistryStore::Update(root_,
                                 [&](RegistryDocument& document) {
                                     return platform::FailUnless(document.DeleteValue(key, name),
                                                                 ENOENT);
                                 })
        .has_value();
}

void TCrossRegistry::GetKeyNames(std::vector<std::string>& list) {
    list.clear();
    if (!hasCurrentKey_) {
        return;
    }
    if (platform::Result<RegistryDocument> document = RegistryStore::Load(root_)) {
        list = document->SubKeyNames(currentPath_);
    }
}

void TCrossRegistry::GetValueNames(std::vector<std::string>& list) {
    list.clear();
    if (!hasCurrentKey_) {
        return;
    }
    if (platform::Result<RegistryDocument> document = RegistryStore::Load(root_)) {
        for (const RegValue& value : document->Values(currentPath_)) {
            list.push_back(value.name);
        }
    }
}

void TCrossRegistry::GetSubKeyNames(const std::string& path, std::vector<std::string>& list,
                                    int options) {
    list.clear();
    std::string base = currentPath_;
    if (base.empty() || base.back() != '\\') {
        base += '\\';
    }
    // The separate reader of the key is just a read-only open of the path from the root.
    bool create = (options & kSubKeysCreate) != 0;
    platform::Result<> status = OpenPath(base + path, create, create ? kKeyCreateAccess : kKeyRead);
    if (!status) {
        if ((options & kSubKeysNoError) == 0) {
            Raise("Failed to open registry key: " + path + "\r\n" + status.error().Text());
        }
        return;
    }
    if (platform::Result<RegistryDocument> document = RegistryStore::Load(root_)) {
        list = document->SubKeyNames(base + path);
    }
}

TCrossRegIniFile::TCrossRegIniFile(std::uint32_t access, bool create, bool raise,
                                   const std::string& path, RegRoot root) {
    SetAccess(access);
    SetRootKey(root);
    OpenKey(path, create, raise);
}

TCrossRegIniFile::TCrossRegIniFile(std::uint32_t access, RegRoot root) {
    SetAccess(access);
    SetRootKey(root);
}

std::optional<RegValue> TCrossRegIniFile::ReadSectionValue(const std::string& section,
                                                           const std::string& name) {
    std::string key = ResolvePath(section);
    platform::Result<RegistryDocument> document = RegistryStore::Load(RootKey());
    if (!document || !document->KeyExists(key)) {
        return std::nullopt;
    }
    const RegValue* value = document->FindValue(key, name);
    return value ? std::optional<RegValue>(*value) : std::nullopt;
}

std::string TCrossRegIniFile::ReadString(const std::string& section, const std::string& name,
                                         const std::string& defaultValue) {
    auto value = ReadSectionValue(section, name);
    if (!value) {
        return defaultValue;
    }
    if (!IsTextType(value->type)) {
        Raise(Format("Invalid data type for '%s'", name));
    }
    return TextUpToZero(value->data);
}

int TCrossRegIniFile::ReadInteger(const std::string& section, const std::string& name,
                                  int defaultValue) {
    std::string text = ReadString(section, name, "");
    auto number = platform::ParseInteger<int>(text);
    return number ? *number : defaultValue;
}

bool TCrossRegIniFile::ReadBool(const std::string& section, const std::string& name,
                                bool defaultValue) {
    return ReadInteger(section, name, defaultValue ? 1 : 0) != 0;
}

void TCrossRegIniFile::WriteString(const std::string& section, const std::string& name,
                                   const std::string& text) {
    CreateKey(section);
    std::string key = ResolvePath(section);
    bool ok =
        IsWritable(Access()) && !key.empty() &&
        platform::RegistryStore::Update(RootKey(), [&](RegistryDocument& document) {
            return platform::FailUnless(
                document.SetValue(key, RegValue{name, RegValueType::String, text, 0}), EINVAL);
        });
    if (!ok) {
        Raise(Format("Failed to set data for '%s'", name));
    }
}

void TCrossRegIniFile::WriteInteger(const std::string& section, const std::string& name,
                                    int value) {
    WriteString(section, name, std::to_string(value));
}

void TCrossRegIniFile::WriteBool(const std::string& section, const std::string& name, bool value) {
    WriteString(section, name, value ? "1" : "0");
}

int TCrossRegIniFile::ReadIntegerOrStore(const std::string& section, const std::string& name,
                                         int defaultValue) {
    int result = ReadInteger(section, name, defaultValue);
    if ((Access() & kKeyWriteAccess) == kKeyWriteAccess && result == defaultValue) {
        QuietScope quiet;
        try {
            WriteInteger(section, name, defaultValue);
        } catch (const Exception&) {
            // A store that cannot be written keeps the default in effect; nothing to report.
        }
    }
    return result;
}

bool TCrossRegIniFile::ReadBoolOrStore(const std::string& section, const std::string& name,
                                       bool defaultValue) {
    bool result = ReadBool(section, name, defaultValue);
    if ((Access() & kKeyWriteAccess) == kKeyWriteAccess && result == defaultValue) {
        QuietScope quiet;
        try {
            WriteBool(section, name, defaultValue);
        } catch (const Exception&) {
            // As above.
        }
    }
    return result;
}

std::string ProductRegistryName() {
    std::lock_guard<std::mutex> guard(ProductNameLock());
    if (!g_productName) {
        try {
            g_productName = g_productNameProvider ? g_productNameProvider() : std::string();
        } catch (...) {
            // Not cached: the provider may succeed later (its information may not be readable
            // yet). Until then the keys are read without a product name.
            return std::string();
        }
    }
    return *g_productName;
}

void SetProductRegistryNameProvider(std::string (*provider)()) {
    std::lock_guard<std::mutex> guard(ProductNameLock());
    g_productNameProvider = provider;
    g_productName.reset();
}

void SetProductRegistryName(const std::string& name) {
    std::lock_guard<std::mutex> guard(ProductNameLock());
    g_productName = name;
}

} // namespace qz
