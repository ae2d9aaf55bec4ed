// qzreg: reads and writes the settings store from the command line, for administrators and the
// set-up scripts.
//
//   qzreg get    ROOT KEY NAME             prints the value (text, decimal integer, hex bytes)
//   qzreg set    ROOT KEY NAME VALUE [TYPE] stores a value; TYPE is string (default), expand,
//                                          dword (decimal or 0x-prefixed) or hex (de,ad,...)
//   qzreg list   ROOT KEY                  prints the subkeys and values in the store's layout
//   qzreg delete ROOT KEY [NAME]           deletes a value, or the key with everything below it
//
// ROOT is HKLM, HKCU (or the full HKEY_ names); KEY uses backslashes; NAME "@" is the default
// value. Exit codes: 0 done, 1 key or value not found, 2 bad command line, 3 error.

#include "CM/CrossRegistry.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/StringLists.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace qz;

constexpr int kNotFound = 1;
constexpr int kUsage = 2;
constexpr int kError = 3;

int Usage() {
    std::fputs("usage: qzreg get ROOT KEY NAME\n"
               "       qzreg set ROOT KEY NAME VALUE [string|expand|dword|hex]\n"
               "       qzreg list ROOT KEY\n"
               "       qzreg delete ROOT KEY [NAME]\n"
               "ROOT: HKLM or HKCU; NAME @ is the default value. The files are found through\n"
               "TamrelRegistryRoot, /etc/tamrel/registry and $XDG_CONFIG_HOME/tamrel/registry.\n",
               stderr);
    return kUsage;
}

std::string ValueName(const std::string& argument) {
    return argument == "@" ? std::string() : argument;
}

// "de,ad,be,ef": two hexadecimal digits a byte, separated by commas.
bool ParseBytes(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.empty()) {
        return true;
    }
    qz::TStringListEx pieces;
    pieces.Split(text, ',', qz::SplitOption::KeepEmpty);
    for (const std::string& piece : pieces) {
        if (piece.size() != 2) {
            return false;
        }
        try {
            bytes += static_cast<char>(qz::HexToInt64(piece));
        } catch (const qz::Exception&) {
            return false;
        }
    }
    return true;
}

bool ParseDword(const std::string& text, std::uint32_t& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    if (!hex && first != last && *first == '-') {
        std::int32_t signedValue = 0;
        auto [end, error] = std::from_chars(first, last, signedValue);
        value = static_cast<std::uint32_t>(signedValue);
        return error == std::errc() && end == last;
    }
    auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    return error == std::errc() && end == last && first != last;
}

std::string ShowValue(const RegValue& value) {
    switch (value.type) {
    case RegValueType::String:
    case RegValueType::ExpandString:
        return value.data;
    case RegValueType::Integer:
        return std::to_string(value.number);
    case RegValueType::Binary: {
        std::string text;
        for (unsigned char byte : value.data) {
            text += Format(text.empty() ? "%.2x" : ",%.2x", byte);
        }
        return text;
    }
    }
    return "";
}

// Opens an existing key; a missing one is reported as not found (exit code 1), any other
// failure (a damaged file, no access) raises with its message.
int OpenExisting(TCrossRegistry& reg, const std::string& key) {
    auto document = platform::RegistryStore::Load(reg.RootKey());
    if (document && !document->KeyExists(key)) {
        std::fprintf(stderr, "qzreg: key not found: %s\n", key.c_str());
        return kNotFound;
    }
    reg.OpenKey("\\" + key, false, true);
    return 0;
}

int Get(RegRoot root, const std::string& key, const std::string& name) {
    TCrossRegistry reg(kKeyRead);
    reg.SetRootKey(root);
    if (int code = OpenExisting(reg, key)) {
        return code;
    }
    auto value = reg.ReadValue(ValueName(name));
    if (!value) {
        std::fprintf(stderr, "qzreg: value not found: %s\\%s\n", key.c_str(), name.c_str());
        return kNotFound;
    }
    std::printf("%s\n", ShowValue(*value).c_str());
    return 0;
}

int Set(RegRoot root, const std::string& key, const std::string& name, const std::string& text,
        const std::string& type) {
    RegValue value{ValueName(name), RegValueType::String, text, 0};
    if (type == "expand") {
        value.type = RegValueType::ExpandString;
    } else if (type == "dword") {
        value.type = RegValueType::Integer;
        if (!ParseDword(text, value.number)) {
            std::fprintf(stderr, "qzreg: not a 32-bit integer: %s\n", text.c_str());
            return kUsage;
        }
    } else if (type == "hex") {
        value.type = RegValueType::Binary;
        if (!ParseBytes(text, value.data)) {
            std::fprintf(stderr, "qzreg: not a byte list (de,ad,...): %s\n", text.c_str());
            return kUsage;
        }
    } else if (type != "string") {
        return Usage();
    }
    TCrossRegistry reg(kKeyAllAccess);
    reg.SetRootKey(root);
    reg.OpenKey("\\" + key, true, true);
    switch (value.type) {
    case RegValueType::String:
        reg.WriteString(value.name, value.data);
        break;
    case RegValueType::ExpandString:
        reg.WriteExpandString(value.name, value.data);
        break;
    case RegValueType::Integer:
        reg.WriteInteger(value.name, static_cast<int>(value.number));
        break;
    case RegValueType::Binary:
        reg.WriteBinaryData(value.name, value.data);
        break;
    }
    return 0;
}

int List(RegRoot root, const std::string& key) {
    TCrossRegistry reg(kKeyRead);
    reg.SetRootKey(root);
    if (int code = OpenExisting(reg, key)) {
        return code;
    }
    std::vector<std::string> names;
    reg.GetKeyNames(names);
    for (const std::string& sub : names) {
        std::printf("[%s\\%s]\n", reg.CurrentPath().c_str(), sub.c_str());
    }
    // The values in the store's own layout, so that the output can be pasted into a file.
    platform::RegistryDocument document;
    reg.GetValueNames(names);
    for (const std::string& name : names) {
        if (auto value = reg.ReadValue(name)) {
            document.SetValue(key.empty() ? "." : key, *value);
        }
    }
    std::string text = document.Serialise();
    size_t values = text.find("]\n");
    if (values != std::string::npos) {
        std::fputs(text.c_str() + values + 2, stdout);
    }
    return 0;
}

int Delete(RegRoot root, const std::string& key, const std::string* name) {
    TCrossRegistry reg(kKeyAllAccess);
    reg.SetRootKey(root);
    if (int code = OpenExisting(reg, key)) {
        return code;
    }
    if (!name) {
        reg.CloseKey();
        if (!reg.DeleteKey("\\" + key)) {
            std::fprintf(stderr, "qzreg: cannot delete key %s\n", key.c_str());
            return kError;
        }
        return 0;
    }
    if (!reg.ValueExists(ValueName(*name))) {
        std::fprintf(stderr, "qzreg: value not found: %s\\%s\n", key.c_str(), name->c_str());
        return kNotFound;
    }
    if (!reg.DeleteValue(ValueName(*name))) {
        std::fprintf(stderr, "qzreg: cannot delete value %s\n", name->c_str());
        return kError;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 3) {
        return Usage();
    }
    auto root = RegistryRootFromName(args[1]);
    if (!root) {
        std::fprintf(stderr, "qzreg: unknown root: %s\n", args[1].c_str());
        return kUsage;
    }
    const std::string& command = args[0];
    const std::string& key = args[2];
    try {
        if (command == "get" && args.size() == 4) {
            return Get(*root, key, args[3]);
        }
        if (command == "set" && (args.size() == 5 || args.size() == 6)) {
            return Set(*root, key, args[3], args[4], args.size() == 6 ? args[5] : "string");
        }
        if (command == "list" && args.size() == 3) {
            return List(*root, key);
        }
        if (command == "delete" && (args.size() == 3 || args.size() == 4)) {
            return Delete(*root, key, args.size() == 4 ? &args[3] : nullptr);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "qzreg: %s\n", e.Message().c_str());
        return kError;
    }
    return Usage();
}
