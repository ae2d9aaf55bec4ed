#include "QuickLZ.h"

#include "ByteOrder.h"
#include "Exceptions.h"

#include <array>
#include <bit>
#include <cstring>

namespace qz::qlz {
namespace {

constexpr std::size_t kLongHeaderFrom = 216; // u < 216: 3-byte header
constexpr unsigned kItemsPerGroup = 31;
constexpr std::uint32_t kGroupMark = 0x80000000u;
constexpr std::size_t kHashSize = 4096;
constexpr std::size_t kMinBody = 9;
constexpr std::size_t kMaxOffset = 131071;

// A hash slot keeps the 4 bytes found at its position, so that most candidates are refused
// without touching the input far back. Position 0 marks an empty slot: a match may never start
// at 0 and the first four positions are not entered.
struct Slot {
    std::uint32_t tag;
    std::uint32_t position;
};

// The scratch sizes the library interface reports: the compressor's table plus a 16-byte counter
// area, as the 32-bit library has it; the decompressor keeps only that counter area.
constexpr int kDecompressScratch = 16;
constexpr int kCompressScratch = static_cast<int>(kHashSize * sizeof(Slot)) + kDecompressScratch;
static_assert(kCompressScratch == 32784, "consumers accept only the level-1 32-bit scratch size");

inline std::uint32_t Hash(std::uint32_t w) {
    return ((w >> 12) ^ w) & (kHashSize - 1);
}

// The length of the match at p against o, from 3 on, counting only bytes before guard.
inline std::size_t MatchLength(const std::uint8_t* s, std::size_t o, std::size_t p,
                               std::size_t guard) {
    std::size_t length = 3;
    while (p + length + 8 <= guard) {
        const std::uint64_t x = Load64(s + o + length) ^ Load64(s + p + length);
        if (x != 0) {
            return length + static_cast<std::size_t>(std::countr_zero(x)) / 8;
        }
        length += 8;
    }
    while (p + length < guard && s[o + length] == s[p + length]) {
        ++length;
    }
    return length;
}

[[noreturn]] void Damaged(const char* what) {
    throw ERangeError(Format("Damaged QuickLZ block: %s", what));
}

struct Header {
    std::uint8_t flags;
    std::size_t size; // header bytes
    std::size_t r;    // whole block
    std::size_t u;    // uncompressed
};

Header ReadHeader(const std::uint8_t* s, std::size_t available) {
    if (available < kShortHeaderSize) {
        Damaged("header is incomplete");
    }
    Header h{s[0], (s[0] & 2) != 0 ? kLongHeaderSize : kShortHeaderSize, 0, 0};
    if ((h.flags & ~3u) != 0) {
        Damaged("unknown flags");
    }
    if (available < h.size) {
        Damaged("header is incomplete");
    }
    if (h.size == kShortHeaderSize) {
        h.r = s[1];
        h.u = s[2];
    } else {
        h.r = Load32(s + 1);
        h.u = Load32(s + 5);
    }
    return h;
}

// Copies a match of length bytes starting distance bytes back. Overlapping matches repeat the
// pattern, as a forward byte copy does.
inline void CopyMatch(std::uint8_t* op, std::size_t distance, std::size_t length,
                      const std::uint8_t* oend) {
    const std::uint8_t* from = op - distance;
    if (distance >= 8 && static_cast<std::size_t>(oend - op) >= length + 8) {
        // Pieces of 8 only ever read bytes already written; the slop past op + length stays
        // inside the output and is overwritten by what follows.
        for (std::size_t i = 0; i < length; i += 8) {
            std::memcpy(op + i, from + i, 8);
        }
    } else if (distance >= length) {
        std::memcpy(op, from, length);
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            op[i] = from[i];
        }
    }
}

} // namespace

std::size_t Compress(const void* source, std::size_t size, void* destination,
                     std::size_t destinationCapacity) {
    if (size == 0 || size > kMaxInput) {
        return 0;
    }
    QZ_ASSERT(destinationCapacity >= size + kCompressOverhead);
    const auto* s = static_cast<const std::uint8_t*>(source);
    auto* d = static_cast<std::uint8_t*>(destination);
    const std::size_t u = size;
    const std::size_t headerSize = u < kLongHeaderFrom ? kShortHeaderSize : kLongHeaderSize;
    std::array<Slot, kHashSize> table{};

    std::uint8_t* const body = d + headerSize;
    std::uint8_t* ctrl = body;
    std::uint8_t* out = body + 4;
    std::uint32_t flags = 0;
    unsigned items = 0;
    const std::size_t guard = u > 9 ? u - 9 : 0; // no match or run starts at or after this
    std::size_t p = 0;
    bool gaveUp = false;

    while (p < guard && p < 4) {
        *out++ = s[p++];
        ++items;
    }

    std::size_t shortcutInput = 0;
    std::size_t shortcutOutput = 4;
    while (p < guard) {
        if (items == kItemsPerGroup) {
            if (static_cast<std::size_t>(out - body) > u) {
                gaveUp = true;
                break;
            }
            Store32(ctrl, flags | kGroupMark);
            ctrl = out;
            out += 4;
            flags = 0;
            items = 0;
            // Output grows faster than input: copy whole groups of literals without searching.
            if (static_cast<std::size_t>(out - body) - shortcutOutput > p - shortcutInput &&
                p > 1000) {
                for (int k = 0;
                     k < 30 && p + 31 < guard && static_cast<std::size_t>(out - body) + 35 < u;
                     ++k) {
                    Store32(ctrl, kGroupMark);
                    std::memcpy(out, s + p, 31);
                    out += 31;
                    ctrl = out;
                    out += 4;
                    p += 31;
                    shortcutInput = p;
                    shortcutOutput = static_cast<std::size_t>(out - body);
                }
            }
        }

        // p < guard leaves at least 9 bytes from p on.
        const std::uint64_t eight = Load64(s + p);
        const auto w = static_cast<std::uint32_t>(eight);
        if (w == static_cast<std::uint32_t>(eight >> 8)) {
            std::size_t q = p + 4;
            while (q + 4 <= guard && Load32(s + q) == w) {
                q += 4;
            }
            const std::size_t n = q - p;
            if (n <= 2047) {
                out[0] = static_cast<std::uint8_t>(0x0F | ((n & 0x0F) << 4));
                out[1] = static_cast<std::uint8_t>(n >> 4);
                out[2] = s[p];
                out += 3;
            } else {
                out[0] = 0x0F;
                out[1] = 0;
                out[2] = s[p];
                Store32(out + 3, static_cast<std::uint32_t>(n));
                out += 7;
            }
            flags |= 1u << items;
            ++items;
            p = q;
            continue;
        }

        const std::uint32_t h = Hash(w);
        const Slot candidate = table[h];
        table[h] = Slot{w, static_cast<std::uint32_t>(p)};
        const std::size_t o = candidate.position;
        const std::uint32_t diff = candidate.tag ^ w;
        if ((diff & 0xFFFFFF) == 0 && o != 0 && o + 3 < p && p - o < kMaxOffset) {
            const std::size_t distance = p - o;
            if (diff != 0) {
                if (distance <= 63) {
                    *out++ = static_cast<std::uint8_t>(distance << 2);
                } else if (distance <= 16383) {
                    Store16(out, static_cast<std::uint16_t>((distance << 2) | 1));
                    out += 2;
                } else {
                    *out++ = s[p++];
                    ++items;
                    continue;
                }
                flags |= 1u << items;
                ++items;
                p += 3;
                continue;
            }
            const std::size_t length = MatchLength(s, o, p, guard);
            const auto dist32 = static_cast<std::uint32_t>(distance);
            const auto len32 = static_cast<std::uint32_t>(length - 3);
            if (length <= 18 && distance <= 1023) {
                Store16(out, static_cast<std::uint16_t>((len32 << 2) | (dist32 << 6) | 2));
                out += 2;
            } else if (length <= 34 && distance <= 65535) {
                const std::uint32_t t = (len32 << 3) | (dist32 << 8) | 3;
                out[0] = static_cast<std::uint8_t>(t);
                out[1] = static_cast<std::uint8_t>(t >> 8);
                out[2] = static_cast<std::uint8_t>(t >> 16);
                out += 3;
            } else if (length <= 2050) {
                Store32(out, (len32 << 4) | (dist32 << 15) | 7);
                out += 4;
            } else {
                Store32(out, 7);
                Store32(out + 4, static_cast<std::uint32_t>(length));
                Store32(out + 8, dist32);
                out += 12;
            }
            flags |= 1u << items;
            ++items;
            p += length;
            continue;
        }
        *out++ = s[p++];
        ++items;
    }

    if (gaveUp) {
        d[0] = headerSize == kShortHeaderSize ? 0 : 2;
        std::memcpy(d + headerSize, s, u);
    } else {
        while (p < u) {
            if (items == kItemsPerGroup) {
                Store32(ctrl, flags | kGroupMark);
                ctrl = out;
                out += 4;
                flags = 0;
                items = 0;
            }
            *out++ = s[p++];
            ++items;
        }
        Store32(ctrl, flags | kGroupMark);
        while (static_cast<std::size_t>(out - body) < kMinBody) {
            *out++ = 0;
        }
        d[0] = headerSize == kShortHeaderSize ? 1 : 3;
    }
    const std::size_t r =
        gaveUp ? headerSize + u : headerSize + static_cast<std::size_t>(out - body);
    if (headerSize == kShortHeaderSize) {
        d[1] = static_cast<std::uint8_t>(r);
        d[2] = static_cast<std::uint8_t>(u);
    } else {
        Store32(d + 1, static_cast<std::uint32_t>(r));
        Store32(d + 5, static_cast<std::uint32_t>(u));
    }
    return r;
}

std::size_t Decompress(const void* source, std::size_t sourceSize, void* destination,
                       std::size_t destinationCapacity) {
    const auto* s = static_cast<const std::uint8_t*>(source);
    const Header header = ReadHeader(s, sourceSize);
    if (header.r > sourceSize) {
        Damaged("block runs past the end of its data");
    }
    if (header.r < header.size) {
        Damaged("block size is smaller than its header");
    }
    const std::size_t u = header.u;
    if (u > destinationCapacity) {
        Damaged("uncompressed size exceeds the output buffer");
    }
    const std::uint8_t* ip = s + header.size;
    const std::uint8_t* const iend = s + header.r;
    auto* const dst = static_cast<std::uint8_t*>(destination);

    if ((header.flags & 1) == 0) {
        if (static_cast<std::size_t>(iend - ip) < u) {
            Damaged("stored body is incomplete");
        }
        if (u > 0) {
            std::memcpy(dst, ip, u);
        }
        return u;
    }
    if (u <= 4) {
        if (static_cast<std::size_t>(iend - ip) < 4 + u) {
            Damaged("body is incomplete");
        }
        if (u > 0) {
            std::memcpy(dst, ip + 4, u);
        }
        return u;
    }

    std::uint8_t* op = dst;
    std::uint8_t* const oend = dst + u;
    std::uint8_t* const tail = oend - 4; // from here on the block holds literals only
    std::uint32_t cw = 0;
    unsigned left = 0;
    for (;;) {
        if (left == 0) {
            if (iend - ip < 4) {
                Damaged("body is incomplete");
            }
            cw = Load32(ip);
            ip += 4;
            left = kItemsPerGroup;
        }
        if ((cw & 1) == 0) {
            // All literals up to the next token of the group, stopping where the tail begins
            // (the tail then goes on with the same bytes).
            const auto zeros = static_cast<unsigned>(std::countr_zero(cw));
            const std::size_t n =
                std::min<std::size_t>(std::min(zeros, left), static_cast<std::size_t>(tail - op));
            if (static_cast<std::size_t>(iend - ip) < n) {
                Damaged("body is incomplete");
            }
            if (oend - op >= 32 && iend - ip >= 32) {
                // At most 31 literals: two fixed copies; the slop stays inside both buffers.
                std::memcpy(op, ip, 16);
                if (n > 16) {
                    std::memcpy(op + 16, ip + 16, 16);
                }
            } else {
                std::memcpy(op, ip, n);
            }
            op += n;
            ip += n;
            cw >>= n;
            left -= static_cast<unsigned>(n);
        } else {
            const std::size_t available = static_cast<std::size_t>(iend - ip);
            std::uint32_t w;
            if (available >= 4) {
                w = Load32(ip);
            } else {
                std::uint8_t padded[4] = {0, 0, 0, 0};
                std::memcpy(padded, ip, available);
                w = Load32(padded);
            }
            std::size_t tokenSize;
            std::size_t distance = 0;
            std::size_t length;
            bool run = false;
            switch (w & 3) {
            case 0:
                tokenSize = 1;
                distance = (w & 0xFF) >> 2;
                length = 3;
                break;
            case 1:
                tokenSize = 2;
                distance = (w & 0xFFFF) >> 2;
                length = 3;
                break;
            case 2:
                tokenSize = 2;
                distance = (w & 0xFFFF) >> 6;
                length = ((w >> 2) & 0x0F) + 3;
                break;
            default:
                if ((w & 7) == 3) {
                    tokenSize = 3;
                    distance = (w & 0xFFFFFF) >> 8;
                    length = ((w >> 3) & 0x1F) + 3;
                } else if ((w & 0x0F) == 7) {
                    if ((w >> 15) != 0) {
                        tokenSize = 4;
                        distance = w >> 15;
                        length = ((w >> 4) & 0x7FF) + 3;
                    } else {
                        tokenSize = 12;
                        if (available < tokenSize) {
                            Damaged("token is incomplete");
                        }
                        length = Load32(ip + 4);
                        distance = Load32(ip + 8);
                    }
                } else {
                    run = true;
                    length = (w >> 4) & 0xFFF;
                    tokenSize = 3;
                    if (length == 0) {
                        tokenSize = 7;
                        if (available < tokenSize) {
                            Damaged("token is incomplete");
                        }
                        length = Load32(ip + 3);
                    }
                }
                break;
            }
            if (available < tokenSize) {
                Damaged("token is incomplete");
            }
            if (length == 0 || length > static_cast<std::size_t>(oend - op)) {
                Damaged("item runs past the end of the output");
            }
            if (run) {
                std::memset(op, ip[2], length);
            } else {
                if (distance == 0 || distance > static_cast<std::size_t>(op - dst)) {
                    Damaged("match reaches before the start of the output");
                }
                CopyMatch(op, distance, length, oend);
            }
            op += length;
            ip += tokenSize;
            cw >>= 1;
            --left;
        }
        if (op >= tail) {
            break;
        }
    }

    while (op < oend) {
        if (left == 0) {
            if (iend - ip < 4) {
                Damaged("body is incomplete");
            }
            ip += 4;
            left = kItemsPerGroup;
        }
        if (ip >= iend) {
            Damaged("body is incomplete");
        }
        *op++ = *ip++;
        --left;
    }
    return u;
}

std::size_t SizeCompressed(const void* source, std::size_t available) {
    return ReadHeader(static_cast<const std::uint8_t*>(source), available).r;
}

std::size_t SizeDecompressed(const void* source, std::size_t available) {
    return ReadHeader(static_cast<const std::uint8_t*>(source), available).u;
}

int GetSetting(int setting) {
    // Level 1, scratch sizes, no streaming buffer, runs encoded, incompressible shortcut on,
    // memory-safe mode off (the decoder is safe by itself), version 1.3.1.
    static constexpr int kSettings[] = {1, kCompressScratch, kDecompressScratch, 0, 1, 1, 0, 1, 3,
                                        1};
    if (setting < 0 || setting >= static_cast<int>(std::size(kSettings))) {
        return -1;
    }
    return kSettings[setting];
}

} // namespace qz::qlz
