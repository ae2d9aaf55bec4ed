#include "CacheProtocol.h"

#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "platform/StreamFile.h"

#include <nlohmann/json.hpp>

#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <stdexcept>

namespace qz::buildcache {

namespace {

EVP_MD_CTX* Ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

// The library of the digest functions, as the headers above describe it.
static_assert(OPENSSL_VERSION_MAJOR == 3, "the digest functions are looked up in libcrypto.so.3");
constexpr const char* kCryptoLibrary = "libcrypto.so.3";

// OpenSSL's SHA-256, looked up the first time a digest is made: a program that never makes one
// (a Tasksmith whose build uses no cache) does not load the library, whose loading costs every
// start several milliseconds.
struct Sha256Functions {
    EVP_MD_CTX* (*newContext)() = nullptr;
    void (*freeContext)(EVP_MD_CTX*) = nullptr;
    const EVP_MD* (*sha256)() = nullptr;
    int (*init)(EVP_MD_CTX*, const EVP_MD*, ENGINE*) = nullptr;
    int (*update)(EVP_MD_CTX*, const void*, size_t) = nullptr;
    int (*final)(EVP_MD_CTX*, unsigned char*, unsigned int*) = nullptr;
    std::string error;
};

template <typename Function>
bool Lookup(platform::LibraryHandle library, const char* name, Function& out, std::string& error) {
    platform::Result<void*> symbol = platform::FindLibrarySymbol(library, name);
    if (!symbol) {
        error = std::string(kCryptoLibrary) + " has no " + name + ": " + symbol.error().Text();
        return false;
    }
    out = reinterpret_cast<Function>(*symbol);
    return true;
}

const Sha256Functions& Sha256() {
    static const Sha256Functions functions = [] {
        Sha256Functions f;
        platform::Result<platform::LibraryHandle> library = platform::OpenLibrary(kCryptoLibrary);
        if (!library) {
            f.error = "cannot load " + std::string(kCryptoLibrary) + ": " + library.error().Text();
            return f;
        }
        // Kept for the rest of the process.
        if (!Lookup(*library, "EVP_MD_CTX_new", f.newContext, f.error) ||
            !Lookup(*library, "EVP_MD_CTX_free", f.freeContext, f.error) ||
            !Lookup(*library, "EVP_sha256", f.sha256, f.error) ||
            !Lookup(*library, "EVP_DigestInit_ex", f.init, f.error) ||
            !Lookup(*library, "EVP_DigestUpdate", f.update, f.error) ||
            !Lookup(*library, "EVP_DigestFinal_ex", f.final, f.error)) {
            f.newContext = nullptr;
        }
        return f;
    }();
    return functions;
}

bool ReadDigest(const nlohmann::json& object, const char* name, bool optional, std::string& out) {
    auto it = object.find(name);
    if (it == object.end()) {
        return optional;
    }
    if (!it->is_string()) {
        return false;
    }
    out = it->get<std::string>();
    return (optional && out.empty()) || IsDigest(out);
}

} // namespace

bool IsDigest(std::string_view text) {
    if (text.size() != 64) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

Hasher::Hasher() {
    const Sha256Functions& sha = Sha256();
    if (sha.newContext == nullptr) {
        throw std::runtime_error("SHA-256 is not available (" + sha.error + ")");
    }
    context_ = sha.newContext();
    if (context_ == nullptr || sha.init(Ctx(context_), sha.sha256(), nullptr) != 1) {
        sha.freeContext(Ctx(context_));
        throw std::runtime_error("SHA-256 is not available");
    }
}

Hasher::~Hasher() {
    Sha256().freeContext(Ctx(context_));
}

void Hasher::Add(std::string_view bytes) {
    Sha256().update(Ctx(context_), bytes.data(), bytes.size());
}

void Hasher::AddField(std::string_view bytes) {
    std::string length = std::to_string(bytes.size()) + ":";
    Add(length);
    Add(bytes);
}

std::string Hasher::Finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    Sha256().final(Ctx(context_), digest, &size);
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string HashBytes(std::string_view bytes) {
    Hasher hasher;
    hasher.Add(bytes);
    return hasher.Finish();
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
    platform::File file;
    platform::FileOpenRequest request;
    request.hints.sequentialScan = true;
    if (!file.Open(path, request)) {
        return std::nullopt;
    }
    platform::Result<std::int64_t> size = file.Size();
    if (!size) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(*size), '\0');
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t done = 0;
        if (!file.ReadAt(static_cast<std::int64_t>(at), bytes.data() + at, bytes.size() - at,
                         done) ||
            done == 0) {
            return std::nullopt;
        }
        at += done;
    }
    return bytes;
}

std::optional<std::string> HashFile(const std::string& path, std::uint64_t* size) {
    platform::Result<platform::StreamReader> reader = platform::StreamReader::Open(path);
    if (!reader) {
        return std::nullopt;
    }
    Hasher hasher;
    std::string buffer(std::size_t(1) << 20, '\0');
    std::uint64_t total = 0;
    for (;;) {
        platform::Result<std::size_t> done = reader->Read(buffer.data(), buffer.size());
        if (!done) {
            return std::nullopt;
        }
        if (*done == 0) {
            break;
        }
        hasher.Add(std::string_view(buffer.data(), *done));
        total += *done;
    }
    if (size != nullptr) {
        *size = total;
    }
    return hasher.Finish();
}

std::vector<std::string> Manifest::Blobs() const {
    std::vector<std::string> blobs;
    for (const OutputRecord& output : outputs) {
        blobs.push_back(output.blob);
    }
    if (!outputBlob.empty()) {
        blobs.push_back(outputBlob);
    }
    return blobs;
}

std::string ManifestToText(const Manifest& manifest) {
    nlohmann::json object;
    object["v"] = 1;
    nlohmann::json outputs = nlohmann::json::array();
    for (const OutputRecord& output : manifest.outputs) {
        outputs.push_back({{"blob", output.blob}, {"size", output.size}, {"mode", output.mode}});
    }
    object["outputs"] = std::move(outputs);
    object["output"] = manifest.outputBlob;
    object["durationMs"] = manifest.durationMs;
    object["command"] = manifest.command;
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Manifest> ParseManifest(std::string_view text, std::string& error) {
    if (text.size() > kMaxManifestSize) {
        error = "the manifest is too large";
        return std::nullopt;
    }
    nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        error = "the manifest is not a JSON object";
        return std::nullopt;
    }
    if (object.value("v", 0) != 1) {
        error = "the manifest has an unknown version";
        return std::nullopt;
    }
    Manifest manifest;
    auto outputs = object.find("outputs");
    if (outputs == object.end() || !outputs->is_array() || outputs->size() > kMaxOutputs) {
        error = "the manifest's outputs are missing or too many";
        return std::nullopt;
    }
    for (const auto& item : *outputs) {
        OutputRecord record;
        if (!item.is_object() || !ReadDigest(item, "blob", false, record.blob)) {
            error = "an output names no valid blob";
            return std::nullopt;
        }
        auto size = item.find("size");
        auto mode = item.find("mode");
        if (size == item.end() || !size->is_number_unsigned() || mode == item.end() ||
            !mode->is_number_unsigned() || mode->get<std::uint64_t>() > 07777) {
            error = "an output has no valid size or mode";
            return std::nullopt;
        }
        record.size = size->get<std::uint64_t>();
        record.mode = mode->get<unsigned>();
        manifest.outputs.push_back(std::move(record));
    }
    if (!ReadDigest(object, "output", true, manifest.outputBlob)) {
        error = "the recorded output names no valid blob";
        return std::nullopt;
    }
    auto duration = object.find("durationMs");
    if (duration != object.end()) {
        if (!duration->is_number_unsigned()) {
            error = "the duration is not a whole number";
            return std::nullopt;
        }
        manifest.durationMs = duration->get<std::uint64_t>();
    }
    auto command = object.find("command");
    if (command != object.end() && command->is_string()) {
        manifest.command = command->get<std::string>();
    }
    return manifest;
}

std::string EncodeOutput(const RecordedOutput& output) {
    std::string bytes;
    for (const auto& [error, text] : output.chunks) {
        bytes += error ? '\1' : '\0';
        std::uint64_t size = text.size();
        for (int i = 0; i < 8; ++i) {
            bytes += static_cast<char>((size >> (8 * i)) & 0xFF);
        }
        bytes += text;
    }
    return bytes;
}

std::optional<RecordedOutput> DecodeOutput(std::string_view bytes) {
    RecordedOutput output;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 9 || static_cast<unsigned char>(bytes[at]) > 1) {
            return std::nullopt;
        }
        bool error = bytes[at] == '\1';
        std::uint64_t size = 0;
        for (int i = 0; i < 8; ++i) {
            size |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + 1 + i]))
                    << (8 * i);
        }
        at += 9;
        if (size > bytes.size() - at) {
            return std::nullopt;
        }
        output.chunks.emplace_back(error, std::string(bytes.substr(at, size)));
        at += size;
    }
    return output;
}

} // namespace qz::buildcache
