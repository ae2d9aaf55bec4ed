#pragma once

// What the build cache service and its clients agree on: the names of entries and blobs (SHA-256
// digests as 64 lower-case hexadecimal digits), the record of one cached task (its manifest) and
// the hashing of files and bytes.
//
// The protocol is HTTP/1.1 (docs/build-cache.md):
//   GET  /v1/entry/<key>   the manifest of a cached task, or 404
//   PUT  /v1/entry/<key>   stores a manifest whose blobs are all present (the first good one wins)
//   GET  /v1/blob/<hash>   a blob's bytes, checked against its name; 404 when missing or damaged
//   PUT  /v1/blob/<hash>   stores bytes whose digest is the name
//   GET  /v1/stats         counts as JSON
// Every refusal is a 4xx reply with a one-line text body.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::buildcache {

/// Largest manifest accepted (bytes of JSON).
inline constexpr std::size_t kMaxManifestSize = 1024 * 1024;
/// Most outputs of one task.
inline constexpr std::size_t kMaxOutputs = 4096;

/// True for exactly 64 lower-case hexadecimal digits (an entry key or a blob name).
bool IsDigest(std::string_view text);

/// SHA-256 of bytes given piece by piece.
class Hasher {
public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void Add(std::string_view bytes);
    /// Adds the length first, so that concatenations of different pieces never collide.
    void AddField(std::string_view bytes);
    /// The digest as 64 hexadecimal digits; the hasher is used up.
    std::string Finish();

private:
    void* context_ = nullptr;
};

std::string HashBytes(std::string_view bytes);

/// A whole file's bytes; std::nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);

/// The digest of a file's contents, read in pieces; std::nullopt when it cannot be read. size,
/// when given, receives the number of bytes hashed.
std::optional<std::string> HashFile(const std::string& path, std::uint64_t* size = nullptr);

struct OutputRecord {
    std::string blob;
    std::uint64_t size = 0;
    /// The permission bits to restore (0644, 0755, ...).
    unsigned mode = 0644;
};

/// One cached task: its outputs in declared order, its recorded output and how long it ran.
struct Manifest {
    std::vector<OutputRecord> outputs;
    /// The blob of the recorded standard output and error (EncodeOutput; empty: nothing printed).
    std::string outputBlob;
    std::uint64_t durationMs = 0;
    /// The command line, for people reading the cache's records.
    std::string command;

    /// Every blob the manifest names (outputs, then the recorded output), duplicates included.
    std::vector<std::string> Blobs() const;
};

std::string ManifestToText(const Manifest& manifest);

/// Parses and checks a manifest (names are digests, sizes and counts in range). On failure
/// std::nullopt and the reason in error.
std::optional<Manifest> ParseManifest(std::string_view text, std::string& error);

/// The stored output of a task: chunks as the task printed them, each tagged with its stream.
/// Encoded as a sequence of (1 byte stream, 8 bytes little-endian length, bytes).
struct RecordedOutput {
    std::vector<std::pair<bool, std::string>> chunks; ///< errorStream, text
};
std::string EncodeOutput(const RecordedOutput& output);
std::optional<RecordedOutput> DecodeOutput(std::string_view bytes);

} // namespace qz::buildcache
