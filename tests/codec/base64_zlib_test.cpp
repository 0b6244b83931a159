// Base64 and zlib as the dataset strings use them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cloud/codec/base64.hpp"
#include "cloud/codec/zlib.hpp"

namespace kqz::codec {
namespace {

using ::testing::HasSubstr;

TEST(Base64, KnownVectorsBothWays) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\xFF\xFE", 3), "AP/+"},
    };
    for (const auto& [raw, text] : vectors) {
        EXPECT_EQ(Base64Encode(raw), text);
        EXPECT_EQ(Base64Decode(text), raw);
    }
}

// 76 characters a line, lines joined by CR LF, nothing after the last one;
// the pieces the streaming writer gets must not change the text.
TEST(Base64, LinesOf76JoinedByCrLf) {
    for (const std::size_t size : {56u, 57u, 58u, 114u, 1000u}) {
        std::string raw(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            raw[i] = static_cast<char>(i * 37 + 11);
        const std::string text = Base64Encode(raw);
        std::size_t start = 0;
        std::size_t lines = 0;
        for (std::size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
            EXPECT_EQ(end - start, 76u);
            start = end + 2;
            ++lines;
        }
        const std::size_t chars = (size + 2) / 3 * 4;
        EXPECT_EQ(lines, (chars - 1) / 76) << size;
        EXPECT_EQ(text.size(), chars + 2 * lines);
        EXPECT_EQ(Base64Decode(text), raw);
        EXPECT_EQ(Base64Encode(raw, false).size(), chars);
    }
}

TEST(Base64, SkipsWhitespaceAnywhere) {
    EXPECT_EQ(Base64Decode(" Zm9v\r\nYm\tFy \n"), "foobar");
    EXPECT_EQ(Base64Decode("Zm9vYg=\r\n="), "foob");
    EXPECT_EQ(Base64Decode("\r\n"), "");
}

TEST(Base64, RejectsGarbageNamingThePosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"Zm9v!mFy", "'!' na posição 4"},
        {"Zm9", "truncado"},
        {"Zm=v", "depois do \"=\" 'v' na posição 3"},
        {"Z===", "fora de lugar"},
        {"Zm9vYg==Zm9v", "depois do \"=\""},
        {"Zm9v\\r\\nYmFy", "'\\' na posição 4"},
        {"Zm9v\xC3\xA7", "0xC3 na posição 4"},
    };
    for (const auto& [text, message] : cases) {
        try {
            Base64Decode(text);
            ADD_FAILURE() << "no error for " << text;
        } catch (const CodecError& e) {
            EXPECT_THAT(e.what(), HasSubstr(message)) << text;
        }
    }
}

std::string Sample(std::size_t size) {
    std::mt19937 rng(7);
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        // Compressible text with some noise.
        s += "<det nItem=\"" + std::to_string(rng() % 100) + "\"><prod><xProd>ITEM</xProd></prod></det>";
        s.push_back(static_cast<char>(rng()));
    }
    s.resize(size);
    return s;
}

struct ZlibCase {
    std::size_t size;
    int level;
    unsigned threads;
    friend void PrintTo(const ZlibCase& c, std::ostream* os) {
        *os << c.size << " bytes, level " << c.level << ", " << c.threads << " threads";
    }
};

class ZlibRoundTrip : public ::testing::TestWithParam<ZlibCase> {};

TEST_P(ZlibRoundTrip, WriterOutputInflatesToTheInput) {
    const auto [size, level, threads] = GetParam();
    const std::string data = Sample(size);
    std::string compressed;
    {
        ZlibWriter w(
            level, [&](std::string_view piece) { compressed.append(piece); }, threads);
        // Uneven pieces, as the stream writer hands them over.
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t n = std::min<std::size_t>(data.size() - at, 70001);
            w.Write(std::string_view(data).substr(at, n));
            at += n;
        }
        w.Finish();
    }
    ASSERT_GE(compressed.size(), 6u);
    EXPECT_EQ(static_cast<unsigned char>(compressed[0]), 0x78);
    EXPECT_EQ(
        (static_cast<unsigned char>(compressed[0]) * 256 + static_cast<unsigned char>(compressed[1])) % 31,
        0);
    EXPECT_EQ(ZlibDecompress(compressed), data);
    if (size > 0) {
        EXPECT_LT(compressed.size(), data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(SizesLevelsThreads, ZlibRoundTrip,
                         ::testing::Values(ZlibCase{0, 6, 1}, ZlibCase{0, 1, 2}, ZlibCase{1000, 1, 1},
                                           ZlibCase{1000, 9, 2}, ZlibCase{(3u << 20) + 17, 1, 2},
                                           ZlibCase{(3u << 20) + 17, 6, 3}, ZlibCase{(2u << 20), 6, 1}));

TEST(ZlibCompress, HeaderSaysTheLevel) {
    EXPECT_EQ(ZlibCompress("abc", 6).substr(0, 2), "\x78\x9C");
    EXPECT_EQ(ZlibCompress("abc", 1).substr(0, 2), "\x78\x01");
    EXPECT_THROW(ZlibCompress("abc", 10), CodecError);
}

TEST(ZlibDecompress, RejectsCorruptTruncatedOrOversizedStreams) {
    const std::string data = Sample(100000);
    const std::string good = ZlibCompress(data, 6);
    std::string badSum = good;
    badSum.back() = static_cast<char>(badSum.back() ^ 1);
    std::string badHeader = good;
    badHeader[1] = 0x00;
    std::string corrupt = good;
    corrupt[good.size() / 2] = static_cast<char>(corrupt[good.size() / 2] ^ 0x55);
    const std::pair<std::string, const char*> cases[] = {
        {badSum, "Adler-32"},
        {badHeader, "cabeçalho"},
        {good.substr(0, good.size() - 3), "truncado"},
        {good.substr(0, 2), "truncado"},
        {"", "truncado"},
        {good + "xyz", "3 bytes a mais"},
    };
    for (const auto& [input, message] : cases) {
        try {
            ZlibDecompress(input);
            ADD_FAILURE() << "no error: " << message;
        } catch (const CodecError& e) {
            EXPECT_THAT(e.what(), HasSubstr(message));
        }
    }
    EXPECT_THROW(ZlibDecompress(corrupt), CodecError);
    try {
        ZlibDecompress(good, 99999);
        ADD_FAILURE() << "no error past the limit";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr("limite de 99999"));
    }
    EXPECT_EQ(ZlibDecompress(good, 100000), data);
}

// A bomb: a few KB that inflate to far more than the limit fail at the limit.
TEST(ZlibDecompress, BombStopsAtTheLimitWithoutGrowing) {
    const std::string bomb = ZlibCompress(std::string(std::size_t{64} << 20, '\0'), 9);
    ASSERT_LT(bomb.size(), 100000u);
    std::uint64_t seen = 0;
    EXPECT_THROW(ZlibInflateTo(
                     bomb, [&](std::string_view piece) { seen += piece.size(); }, std::uint64_t{1} << 20),
                 CodecError);
    EXPECT_LE(seen, std::uint64_t{1} << 20);
}

}  // namespace
}  // namespace kqz::codec
