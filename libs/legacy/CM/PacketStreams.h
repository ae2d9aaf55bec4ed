#pragma once

// The few streams the packet layer needs of its own: a growable memory stream, a plain binary
// file stream, and the hook through which compressed packet streams are plugged in. These are
// deliberately small seams: the full memory, file and mapped-file streams and the compressed
// stream format live in their own units and replace these when they are wired in.

#include "Stream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz {

/// A memory stream over a growable byte buffer. Reading past the end reads nothing; seeking past
/// the end is allowed (a later write fills the gap with zeros). Single-threaded.
class TBytesStream : public TStream {
public:
    TBytesStream() = default;
    explicit TBytesStream(std::string bytes) : m_bytes(std::move(bytes)) {}

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(m_bytes.size()); }

    /// The content; stays valid until the next write or SetSize.
    const std::string& Bytes() const { return m_bytes; }
    std::string& Bytes() { return m_bytes; }
    void Clear() {
        m_bytes.clear();
        m_position = 0;
    }

private:
    std::string m_bytes;
    std::int64_t m_position = 0;
};

/// Options of OpenPacketFile.
enum class TPacketFileMode { Read, Create };

/// A binary file stream. Create replaces an existing file. Failures raise EOSError with
/// "Cannot open file \"%s\"" or "Cannot create file \"%s\"". The file is closed on destruction.
std::unique_ptr<TStream> OpenPacketFile(const std::string& fileName, TPacketFileMode mode);

/// The hook for the compressed stream format: SaveToStream's compress flag and the decompress
/// flag of the loads go through it. Until one is installed both raise the general exception
/// "Compressed packet streams are not available".
class TPacketCompression {
public:
    virtual ~TPacketCompression() = default;
    /// Writes source's bytes from its position to its end into target in the compressed format.
    virtual void CompressToStream(TStream& source, TStream& target, int level) = 0;
    /// Reads one complete compressed stream from source (from its position) and returns the
    /// plain bytes; raises on damaged input.
    virtual std::string Decompress(TStream& source) = 0;
};

/// Installs the compression used by packets (nullptr removes it). Called at start-up.
void SetPacketCompression(std::shared_ptr<TPacketCompression> compression);
/// The installed compression; raises when none is installed.
TPacketCompression& PacketCompression();
/// Whether a compression is installed.
bool HasPacketCompression();

} // namespace qz
