#include "CacheProtocol.h"

#include "platform/File.h"
#include "platform/StreamFile.h"

#include <nlohmann/json.hpp>

#include <openssl/evp.h>
#include <stdexcept>

namespace qz::buildcache {

namespace {

EVP_MD_CTX* Ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
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

Hasher::Hasher() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(Ctx(context_), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Hasher::~Hasher() {
    EVP_MD_CTX_free(Ctx(context_));
}

void Hasher::Add(std::string_view bytes) {
    EVP_DigestUpdate(Ctx(context_), bytes.data(), bytes.size());
}

void Hasher::AddField(std::string_view bytes) {
    std::string length = std::to_string(bytes.size()) + ":";
    Add(length);
    Add(bytes);
}

std::string Hasher::Finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(Ctx(context_), digest, &size);
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
