#include "PacketStreams.h"

#include "Exceptions.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qz {

namespace {

class TStdFileStream : public TStream {
public:
    explicit TStdFileStream(std::FILE* file) : m_file(file) {}
    ~TStdFileStream() override { std::fclose(m_file); }

    std::int64_t Read(void* buffer, std::int64_t count) override {
        if (count <= 0) {
            return 0;
        }
        return static_cast<std::int64_t>(
            std::fread(buffer, 1, static_cast<std::size_t>(count), m_file));
    }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (count <= 0) {
            return 0;
        }
        return static_cast<std::int64_t>(
            std::fwrite(buffer, 1, static_cast<std::size_t>(count), m_file));
    }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                     : origin == SeekOrigin::Current ? SEEK_CUR
                                                     : SEEK_END;
        if (std::fseek(m_file, static_cast<long>(offset), whence) != 0) {
            RaiseOsError("Cannot seek in file");
        }
        return static_cast<std::int64_t>(std::ftell(m_file));
    }
    void SetSize(std::int64_t) override { Raise("Cannot change the size of this file stream"); }

private:
    std::FILE* m_file;
};

std::mutex g_compressionLock;
std::shared_ptr<TPacketCompression> g_compression;

} // namespace

std::int64_t TBytesStream::Read(void* buffer, std::int64_t count) {
    std::int64_t size = Size();
    if (count <= 0 || m_position >= size) {
        return 0;
    }
    std::int64_t n = std::min(count, size - m_position);
    std::memcpy(buffer, m_bytes.data() + m_position, static_cast<std::size_t>(n));
    m_position += n;
    return n;
}

std::int64_t TBytesStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    if (m_position == Size()) {
        // Appending is the common case; it avoids zero-filling the new bytes first.
        m_bytes.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        m_position += count;
        return count;
    }
    std::int64_t end = m_position + count;
    if (end > Size()) {
        m_bytes.resize(static_cast<std::size_t>(end));
    }
    std::memcpy(m_bytes.data() + m_position, buffer, static_cast<std::size_t>(count));
    m_position = end;
    return count;
}

std::int64_t TBytesStream::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = origin == SeekOrigin::Begin     ? 0
                        : origin == SeekOrigin::Current ? m_position
                                                        : Size();
    std::int64_t position = base + offset;
    if (position < 0) {
        Raise("Stream seek error");
    }
    m_position = position;
    return m_position;
}

void TBytesStream::SetSize(std::int64_t size) {
    m_bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
    m_position = std::min(m_position, Size());
}

std::unique_ptr<TStream> OpenPacketFile(const std::string& fileName, TPacketFileMode mode) {
    std::FILE* file = std::fopen(fileName.c_str(), mode == TPacketFileMode::Read ? "rb" : "wb");
    if (file == nullptr) {
        int code = platform::LastSystemError();
        RaiseOsError(Format(mode == TPacketFileMode::Read ? "Cannot open file \"%s\""
                                                          : "Cannot create file \"%s\"",
                            fileName),
                     code);
    }
    return std::make_unique<TStdFileStream>(file);
}

void SetPacketCompression(std::shared_ptr<TPacketCompression> compression) {
    std::lock_guard lock(g_compressionLock);
    g_compression = std::move(compression);
}

TPacketCompression& PacketCompression() {
    std::lock_guard lock(g_compressionLock);
    if (!g_compression) {
        Raise("Compressed packet streams are not available");
    }
    return *g_compression;
}

bool HasPacketCompression() {
    std::lock_guard lock(g_compressionLock);
    return g_compression != nullptr;
}

} // namespace qz
