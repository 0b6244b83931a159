// Malformed FireDAC streams: each gives a clear error naming the byte, never
// a crash, a huge allocation or a wrong table.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cloud/codec/adbs.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using ::testing::HasSubstr;
using testing::StreamParts;

const std::string& Base() {
    static const std::string bytes = [] {
        Dataset ds;
        ds.name = "t";
        ds.columns = {Column{"N", DataType::Int32, 0, 0, 0, false}, Column{"S", DataType::WideString, 10},
                      Column{"M", DataType::WideMemo}};
        ds.rows = {Row{std::int64_t{1}, std::string("ab"), std::string("memo")},
                   Row{std::int64_t{2}, std::string("cd"), std::monostate{}}};
        return WriteAdbs(ds);
    }();
    return bytes;
}

void Replace(std::string& s, const std::string& from, const std::string& to) {
    const auto at = s.find(from);
    ASSERT_NE(at, std::string::npos);
    s.replace(at, from.size(), to);
}

std::string Edited(const std::function<void(StreamParts&)>& edit) {
    StreamParts p = StreamParts::Of(Base());
    edit(p);
    return p.Bytes();
}

const std::string kValueAb = std::string(
    "\x01\x00\x04\x00\x00\x00"
    "a\0b\0",
    10);
const std::string kValueCd = std::string(
    "\x01\x00\x04\x00\x00\x00"
    "c\0d\0",
    10);

struct BadStream {
    const char* label;
    std::function<std::string()> bytes;
    const char* message;
    friend void PrintTo(const BadStream& c, std::ostream* os) { *os << c.label; }
};

class BadStreams : public ::testing::TestWithParam<BadStream> {};

TEST_P(BadStreams, ClearErrorNamingTheByte) {
    const BadStream& c = GetParam();
    const std::string bytes = c.bytes();
    try {
        ReadAdbs(bytes);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.message));
        EXPECT_THAT(e.what(), HasSubstr("byte"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BadStreams,
    ::testing::Values(
        BadStream{"Empty", [] { return std::string(); }, "cabeçalho"},
        BadStream{"Signature", [] { return "ADBX" + Base().substr(4); }, "ADBS"},
        BadStream{"Version",
                  [] {
                      std::string b = Base();
                      b[4] = 14;
                      return b;
                  },
                  "versão 14"},
        BadStream{"DictionaryOutside",
                  [] {
                      std::string b = Base();
                      b[10] = 0x7F;
                      return b;
                  },
                  "fora do fluxo"},
        BadStream{"UnknownProperty",
                  [] { return Edited([](StreamParts& p) { p.Rename("CheckNotNull", "CheckNotNulX"); }); },
                  "propriedade desconhecida \"CheckNotNulX\""},
        BadStream{"UnknownObject",
                  [] { return Edited([](StreamParts& p) { p.Rename("ViewList", "Vista"); }); },
                  "objeto \"Vista\" inesperado"},
        BadStream{"ConstraintListNotEmpty",
                  [] {
                      return Edited([](StreamParts& p) {
                          const std::string begin = p.Begin("ConstraintList");
                          Replace(p.tree, begin, begin + p.Begin("Column") + "\xFE");
                      });
                  },
                  "\"ConstraintList\" não vazia"},
        BadStream{"RelationListNotEmpty",
                  [] {
                      return Edited([](StreamParts& p) {
                          const std::string begin = p.Begin("RelationList");
                          Replace(p.tree, begin, begin + p.Begin("Table") + "\xFE");
                      });
                  },
                  "\"RelationList\" não vazia"},
        BadStream{"HugeLength",
                  [] {
                      return Edited([](StreamParts& p) {
                          Replace(p.tree, kValueAb, std::string("\x01\x00\xF0\xFF\xFF\x7F", 6) + "a\0b\0");
                      });
                  },
                  "2147483632 bytes pedidos"},
        BadStream{"NoSuchColumn",
                  [] {
                      return Edited(
                          [](StreamParts& p) { Replace(p.tree, kValueCd, "\x07" + kValueCd.substr(1)); });
                  },
                  "coluna 7 fora de ordem ou de coluna inexistente na linha 2"},
        BadStream{"NameIndexOutside",
                  [] {
                      return Edited(
                          [](StreamParts& p) { Replace(p.tree, p.Key("MinimumCapacity"), "\x77\x77"); });
                  },
                  "fora do dicionário"},
        BadStream{"UnknownDataType",
                  [] { return Edited([](StreamParts& p) { p.Rename("dtInt32", "dtInt99"); }); },
                  "tipo de dado desconhecido \"dtInt99\""},
        BadStream{"UnsupportedDataType",
                  [] { return Edited([](StreamParts& p) { p.Rename("dtInt32", "dtTimeIntervalFull"); }); },
                  "dtTimeIntervalFull da coluna \"N\" (0) não é suportado"},
        BadStream{"RowWithException",
                  [] { return Edited([](StreamParts& p) { p.Rename("Original", "Exception"); }); },
                  "\"Exception\""},
        BadStream{"TwoTables",
                  [] {
                      return Edited([](StreamParts& p) {
                          const auto from = p.tree.find(p.Begin("Table"));
                          const auto to =
                              p.tree.find(p.Begin("RelationList")) - 1;  // before the end of TableList
                          p.tree.insert(to, p.tree.substr(from, to - from));
                      });
                  },
                  "mais de uma tabela"},
        BadStream{"BytesAfterManager", [] { return Edited([](StreamParts& p) { p.tree.push_back('\0'); }); },
                  "depois do fim do objeto Manager"},
        BadStream{"LoneSurrogate",
                  [] {
                      return Edited([](StreamParts& p) {
                          Replace(p.tree, kValueAb,
                                  kValueAb.substr(0, 6) + std::string("\x00\xD8"
                                                                      "b\0",
                                                                      4));
                      });
                  },
                  "surrogate"}),
    [](const auto& p) { return std::string(p.param.label); });

// Every cut of a stream, with or without a dictionary offset that agrees,
// is an error and never anything worse.
TEST(BadStreams, EveryTruncationIsAClearError) {
    const std::string& full = Base();
    const StreamParts parts = StreamParts::Of(full);
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        EXPECT_THROW(ReadAdbs(full.substr(0, cut)), CodecError) << "cut at " << cut;
    }
    for (std::size_t cut = 12; cut < parts.tree.size(); ++cut) {
        StreamParts shorter = parts;
        shorter.tree.resize(cut);
        EXPECT_THROW(ReadAdbs(shorter.Bytes()), CodecError) << "tree cut at " << cut;
    }
}

// Any single corrupted byte decodes to something or fails with CodecError:
// no crash, no other exception.
TEST(BadStreams, CorruptBytesNeverEscapeAsAnotherFailure) {
    const std::string& full = Base();
    std::size_t errors = 0;
    for (std::size_t i = 0; i < full.size(); ++i) {
        for (const int mask : {0x01, 0x80, 0xFF}) {
            std::string bad = full;
            bad[i] = static_cast<char>(static_cast<unsigned char>(bad[i]) ^ mask);
            try {
                ReadAdbs(bad);
            } catch (const CodecError&) {
                ++errors;
            }
        }
    }
    EXPECT_GT(errors, full.size());
}

// Rows of a table with pending changes: deleted rows are left out and a
// changed row gives its current values.
TEST(ReadAdbs, SkipsDeletedRowsAndPrefersCurrentValues) {
    const std::string bytes = Edited([](StreamParts& p) {
        // Row 1 (RowID 0): state deleted. Row 2 (RowID 1): a current version with N = 9.
        const std::string rowId0 = p.Key("RowID") + std::string("\0\0\0\0", 4);
        const std::string rowId1 = p.Key("RowID") + std::string("\x01\0\0\0", 4);
        const std::string deleted = p.Key("RowState") + p.Key("rsDeleted");
        const std::string modified = p.Key("RowState") + p.Key("rsModified");
        Replace(p.tree, rowId0, rowId0 + deleted);
        Replace(p.tree, rowId1, rowId1 + modified);
        const std::string current = p.Begin("Current") + std::string("\0\0\x09\0\0\0", 6) + kValueCd + "\xFE";
        const auto originalOfRow2 = p.tree.find(p.Begin("Original"), p.tree.find(rowId1));
        const auto endOfOriginal =
            p.tree.find('\xFE', p.tree.find(kValueCd, originalOfRow2) + kValueCd.size());
        p.tree.insert(endOfOriginal + 1, current);
    });
    const Dataset ds = ReadAdbs(bytes);
    ASSERT_EQ(ds.rows.size(), 1u);
    EXPECT_EQ(ds.rows[0], (Row{std::int64_t{9}, std::string("cd"), std::monostate{}}));
}

}  // namespace
}  // namespace kqz::codec
