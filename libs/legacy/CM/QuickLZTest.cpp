#include "QuickLZ.h"

#include "Exceptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace qz::qlz {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadVector(const std::string& name) {
    auto text = test::ReadFile(std::string(QZ_TEST_DATA_DIR) + "/quicklz131/" + name);
    if (!text) {
        ADD_FAILURE() << "missing reference file " << name;
        return {};
    }
    return Bytes(text->begin(), text->end());
}

Bytes CompressBytes(const Bytes& input) {
    Bytes out(input.size() + kCompressOverhead);
    out.resize(Compress(input.data(), input.size(), out.data(), out.size()));
    return out;
}

Bytes DecompressBytes(const Bytes& block, std::size_t capacity) {
    Bytes out(capacity);
    out.resize(Decompress(block.data(), block.size(), out.data(), out.size()));
    return out;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// Walks a block and checks what the reference decoder needs beyond what ours accepts: exact
// header, a literal first, offsets of at least 4, every match and run ending at u - 4 or earlier,
// a control word before every group, and the items producing exactly u bytes.
::testing::AssertionResult FollowsReferenceRules(const Bytes& block) {
    if (block.size() < 3) {
        return ::testing::AssertionFailure() << "block too short";
    }
    const bool longHeader = (block[0] & 2) != 0;
    const std::size_t h = longHeader ? 9 : 3;
    const std::size_t r = longHeader ? Le32(&block[1]) : block[1];
    const std::size_t u = longHeader ? Le32(&block[5]) : block[2];
    if (r != block.size() || longHeader != (u >= 216) || (block[0] & ~3) != 0) {
        return ::testing::AssertionFailure() << "header does not fit the block";
    }
    if ((block[0] & 1) == 0) {
        return r == h + u ? ::testing::AssertionSuccess()
                          : ::testing::AssertionFailure() << "stored size wrong";
    }
    if (u <= 4) {
        return r == h + 9 ? ::testing::AssertionSuccess()
                          : ::testing::AssertionFailure() << "short body not padded to 9";
    }
    std::size_t ip = h;
    std::size_t produced = 0;
    std::size_t index = 0;
    std::uint32_t cw = 0;
    while (produced < u) {
        if (index % 31 == 0) {
            cw = Le32(&block[ip]);
            if ((cw & 0x80000000u) == 0) {
                return ::testing::AssertionFailure() << "control word without bit 31";
            }
            ip += 4;
        }
        const bool token = ((cw >> (index % 31)) & 1) != 0;
        ++index;
        if (!token) {
            ++ip;
            ++produced;
            continue;
        }
        if (index == 1) {
            return ::testing::AssertionFailure() << "first item is not a literal";
        }
        const std::uint32_t w = Le32(&block[ip]);
        std::size_t length = 0;
        std::size_t distance = 4;
        if ((w & 3) == 0) {
            distance = (w & 0xFF) >> 2, length = 3, ip += 1;
        } else if ((w & 3) == 1) {
            distance = (w & 0xFFFF) >> 2, length = 3, ip += 2;
        } else if ((w & 3) == 2) {
            distance = (w & 0xFFFF) >> 6, length = ((w >> 2) & 15) + 3, ip += 2;
        } else if ((w & 7) == 3) {
            distance = (w & 0xFFFFFF) >> 8, length = ((w >> 3) & 31) + 3, ip += 3;
        } else if ((w & 15) == 7 && (w >> 15) != 0) {
            distance = w >> 15, length = ((w >> 4) & 0x7FF) + 3, ip += 4;
        } else if ((w & 15) == 7) {
            length = Le32(&block[ip + 4]), distance = Le32(&block[ip + 8]), ip += 12;
        } else if (((w >> 4) & 0xFFF) != 0) {
            length = (w >> 4) & 0xFFF, ip += 3;
        } else {
            length = Le32(&block[ip + 3]), ip += 7;
        }
        if (distance < 4 || distance > produced) {
            return ::testing::AssertionFailure() << "offset " << distance << " at " << produced;
        }
        produced += length;
        if (produced > u - 4) {
            return ::testing::AssertionFailure() << "item ends after u - 4 at " << produced;
        }
    }
    if (produced != u) {
        return ::testing::AssertionFailure() << "items produce " << produced << " bytes";
    }
    if (ip > r || (ip < r && r > h + 9)) {
        return ::testing::AssertionFailure() << "body ends at " << ip << ", block at " << r;
    }
    return ::testing::AssertionSuccess();
}

const char* const kVectors[] = {
    "one_byte",         "four_bytes",   "seven_bytes",      "thirteen_bytes", "text_100",
    "random_104",       "text_215",     "random_215",       "text_216",       "rep_text_4096",
    "zeros_64k",        "random_64k",   "half_random_100k", "rle_heavy_200k", "mixed_300k",
    "far_matches_400k", "block_2064384"};

class ReferenceVector : public ::testing::TestWithParam<const char*> {};

TEST_P(ReferenceVector, DecodesEncodesAndMatchesTheReferenceBytes) {
    const Bytes raw = ReadVector(std::string(GetParam()) + ".raw");
    const Bytes qlz = ReadVector(std::string(GetParam()) + ".qlz");
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(SizeCompressed(qlz.data(), qlz.size()), qlz.size());
    EXPECT_EQ(SizeDecompressed(qlz.data(), qlz.size()), raw.size());
    EXPECT_TRUE(DecompressBytes(qlz, raw.size()) == raw);

    const Bytes ours = CompressBytes(raw);
    EXPECT_TRUE(DecompressBytes(ours, raw.size()) == raw);
    EXPECT_TRUE(FollowsReferenceRules(ours));
    EXPECT_EQ(ours.size(), qlz.size());
    EXPECT_TRUE(ours == qlz) << "encoder output differs from the reference block";
}

INSTANTIATE_TEST_SUITE_P(QuickLZ, ReferenceVector, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param); });

Bytes MixedData(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    static const char* const words[] = {"build ",   "agent ", "packet ", "stream ", "0x1F8000 ",
                                        "compile ", "link ",  "\r\n",    "error ",  "cache "};
    Bytes out;
    while (out.size() < size) {
        switch (rng() % 4) {
        case 0:
            for (int i = rng() % 50; i > 0; --i) {
                const char* w = words[rng() % 10];
                out.insert(out.end(), w, w + std::strlen(w));
            }
            break;
        case 1:
            for (int i = rng() % 300; i > 0; --i) {
                out.push_back(static_cast<std::uint8_t>(rng()));
            }
            break;
        case 2:
            out.insert(out.end(), rng() % 5000 + 1, static_cast<std::uint8_t>(rng() % 3));
            break;
        default:
            if (out.size() > 10) {
                const std::size_t from = rng() % out.size();
                const std::size_t n = std::min<std::size_t>(rng() % 3000, out.size() - from);
                for (std::size_t i = 0; i < n; ++i) {
                    out.push_back(out[from + i]);
                }
            }
        }
    }
    out.resize(size);
    return out;
}

TEST(QuickLZ, RoundTripsEverySmallSizeAndMixedData) {
    for (std::size_t size = 1; size < 600; ++size) {
        const Bytes input = MixedData(size, static_cast<unsigned>(size));
        const Bytes block = CompressBytes(input);
        ASSERT_TRUE(FollowsReferenceRules(block)) << "size " << size;
        ASSERT_TRUE(DecompressBytes(block, size) == input) << "size " << size;
        ASSERT_LE(block.size(), size + kCompressOverhead);
    }
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const Bytes input = MixedData(150000 * seed, seed);
        const Bytes block = CompressBytes(input);
        ASSERT_TRUE(FollowsReferenceRules(block)) << "seed " << seed;
        ASSERT_TRUE(DecompressBytes(block, input.size()) == input) << "seed " << seed;
    }
}

TEST(QuickLZ, EmptyInputHasNoBlock) {
    std::uint8_t out[kCompressOverhead] = {};
    EXPECT_EQ(Compress("", 0, out, sizeof out), 0u);
}

TEST(QuickLZ, SettingsAreThoseOfTheLevelOne32BitLibrary) {
    const int expected[] = {1, 32784, 16, 0, 1, 1, 0, 1, 3, 1};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(GetSetting(i), expected[i]) << "setting " << i;
    }
    EXPECT_EQ(GetSetting(-1), -1);
    EXPECT_EQ(GetSetting(10), -1);
}

TEST(QuickLZ, TruncatedBlocksAreRefused) {
    const Bytes raw = ReadVector("mixed_300k.raw");
    const Bytes qlz = ReadVector("mixed_300k.qlz");
    Bytes out(raw.size());
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{8},
                            std::size_t{9}, std::size_t{100}, qlz.size() / 2, qlz.size() - 1}) {
        EXPECT_THROW(Decompress(qlz.data(), cut, out.data(), out.size()), ERangeError)
            << "cut at " << cut;
    }
    // A block whose header claims fewer bytes than its body needs.
    Bytes shortened = qlz;
    shortened[1] = static_cast<std::uint8_t>(qlz.size() - 10);
    shortened[2] = static_cast<std::uint8_t>((qlz.size() - 10) >> 8);
    shortened[3] = static_cast<std::uint8_t>((qlz.size() - 10) >> 16);
    EXPECT_THROW(Decompress(shortened.data(), shortened.size(), out.data(), out.size()),
                 ERangeError);
}

TEST(QuickLZ, ForgedHeadersAndTokensAreRefused) {
    Bytes out(100);
    // Uncompressed size beyond the output buffer (forged count, nothing is allocated for it).
    const std::uint8_t huge[] = {0x03, 21,   0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0,
                                 0,    0x80, 1, 2, 3, 4,    5,    6,    7,    8, 9};
    EXPECT_THROW(Decompress(huge, sizeof huge, out.data(), out.size()), ERangeError);
    // Level-0 and unknown flags.
    const std::uint8_t level0[] = {0x05, 12, 1, 0, 0, 0, 0x80, 'A', 0, 0, 0, 0};
    EXPECT_THROW(Decompress(level0, sizeof level0, out.data(), out.size()), ERangeError);
    // A match reaching before the first byte: literal 'a', then a match 8 back.
    const std::uint8_t before[] = {0x01,   16, 10, 0x02, 0, 0, 0x80, 'a',
                                   8 << 2, 1,  2,  3,    4, 5, 6,    7};
    EXPECT_THROW(Decompress(before, sizeof before, out.data(), out.size()), ERangeError);
    // A run longer than the output.
    const std::uint8_t longRun[] = {0x01, 16,   10,  0x02, 0, 0, 0x80, 'a',
                                    0xFF, 0x0F, 'b', 0,    0, 0, 0,    0};
    EXPECT_THROW(Decompress(longRun, sizeof longRun, out.data(), out.size()), ERangeError);
    // Stored block shorter than its size.
    const std::uint8_t stored[] = {0x00, 8, 6, 1, 2, 3, 4, 5};
    EXPECT_THROW(Decompress(stored, sizeof stored, out.data(), out.size()), ERangeError);
}

TEST(QuickLZ, RandomDamageNeverEscapesTheBuffers) {
    const Bytes raw = ReadVector("rep_text_4096.raw");
    const Bytes qlz = ReadVector("rep_text_4096.qlz");
    std::mt19937 rng(7);
    Bytes out(raw.size());
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = qlz;
        for (int i = rng() % 4 + 1; i > 0; --i) {
            damaged[9 + rng() % (damaged.size() - 9)] = static_cast<std::uint8_t>(rng());
        }
        try {
            EXPECT_EQ(Decompress(damaged.data(), damaged.size(), out.data(), out.size()),
                      raw.size());
        } catch (const ERangeError&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}

} // namespace
} // namespace qz::qlz
