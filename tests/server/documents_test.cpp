#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "server/documents.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/server/support.hpp"
#include "tests/summary/um_documento_cases.hpp"

namespace kqz::server {
namespace {

TEST(CheckDigits, CpfAndCnpj) {
    struct Case {
        const char* text;
        bool cpf;
        bool cnpj;
    };
    const Case cases[] = {
        {"529.982.247-25", true, false},
        {"52998224725", true, false},
        {"11144477735", true, false},
        {"52998224726", false, false},     // last check digit wrong
        {"52998224715", false, false},     // first check digit wrong
        {"111.111.111-11", false, false},  // digits all equal pass the arithmetic, not the rule
        {"5299822472", false, false},      // ten digits
        {"529.982.247-2a", false, false},
        {"529 982 247 25", false, false},
        {"", false, false},
        {"11.222.333/0001-81", false, true},
        {"08723218000186", false, true},
        {"11222333000182", false, false},
        {"11222333000191", false, false},
        {"00000000000000", false, false},
        {"11.222.333/0001-8", false, false},
        {"112223330001811", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ValidarCpf(c.text), c.cpf);
        EXPECT_EQ(ValidaCNPJ(c.text), c.cnpj);
    }
}

TEST(ReadCfe, PublicSamplesGiveTheirStoredRow) {
    struct Case {
        const char* file;
        const char* cnpj;
        const char* month;
        const char* numero;
        const char* valor;
        const char* couponNumber;
    };
    const Case cases[] = {
        {"venda-1item.xml", "08723218000186", "1507", "CFe35150708723218000186599000040190000215133408-VD",
         "2.00", "000021"},
        {"venda-linha-unica.xml", "08723218000186", "1509",
         "CFe35150908723218000186599000040190000007972068-VD", "654.32", "000000"},
        {"cancelamento.xml", "08723218000186", "1509",
         "CFeCanc35150908723218000186599000040190000378585470-CA", "0.00", "000037"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string text = test::ReadTestFile(c.file);
        std::string reason;
        const auto doc = ReadCfe(text, reason);
        ASSERT_TRUE(doc) << reason;
        EXPECT_EQ(doc->cnpj, c.cnpj);
        EXPECT_EQ(doc->month, c.month);
        EXPECT_EQ(doc->numero, c.numero);
        EXPECT_EQ(doc->valor, c.valor);
        EXPECT_EQ(doc->xml, text);  // stored unchanged
        EXPECT_EQ(doc->numero.substr(doc->numero.size() - 16, 6), c.couponNumber);
        EXPECT_EQ(doc->numero.find("CFeC") != std::string::npos,
                  std::string(c.numero).rfind("CFeCanc", 0) == 0);
    }
}

// A cancellation made after midnight of a month's last day belongs to the new
// month: its own date is ide/dEmi, not the sale's infCFe/dEmi that comes first.
TEST(ReadCfe, CancellationIsFiledUnderItsOwnDate) {
    namespace synth = kqz::summary::synth;
    synth::SaleSpec sale;
    sale.number = 41;
    sale.date = {2021, 3, 31};
    sale.time = {23, 50, 0};
    sale.items = {{"5102", 1000, ""}};
    synth::CancSpec canc = synth::CancellationOf(sale, 42);
    canc.date = {2021, 4, 1};
    canc.time = {0, 10, 0};
    std::string reason;
    const auto doc = ReadCfe(synth::MakeCancellation(canc), reason);
    ASSERT_TRUE(doc) << reason;
    EXPECT_EQ(doc->month, "2104");
    EXPECT_EQ(doc->numero, "CFeCanc" + synth::CancKey(canc) + "-CA");
    EXPECT_EQ(doc->numero.substr(doc->numero.size() - 16, 6), "000042");
}

TEST(ReadCfe, RefusesWhatIsNotAnIssuedCfe) {
    const std::string sale = test::ReadTestFile("venda-1item.xml");
    const std::string key = "35150708723218000186599000040190000215133408";
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = sale;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    struct Case {
        const char* what;
        std::string text;
        const char* reasonPart;
    };
    const Case cases[] = {
        {"plain text", "isto não é XML", "XML mal formado"},
        {"truncated", sale.substr(0, sale.size() / 2), "XML mal formado"},
        {"another document", "<NFe><infNFe/></NFe>", "elemento raiz <NFe>"},
        {"request file without key", "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide/><total/></infCFe></CFe>",
         "arquivo de envio"},
        {"wrong check digit", replaced(key, key.substr(0, 43) + "9"), "dígito verificador"},
        {"short key", replaced(key, key.substr(0, 40)), "chave de acesso inválida"},
        {"key of another shop", replaced("<CNPJ>08723218000186</CNPJ>", "<CNPJ>11222333000181</CNPJ>"),
         "difere do CNPJ da chave"},
        {"date of another month", replaced("<dEmi>20150718</dEmi>", "<dEmi>20150818</dEmi>"),
         "diferem de ide/dEmi"},
        {"month 13", replaced("<dEmi>20150718</dEmi>", "<dEmi>20151318</dEmi>"), "ide/dEmi) inválida"},
        {"total not a number", replaced("<vCFe>2.00</vCFe>", "<vCFe>2,00</vCFe>"), "total/vCFe"},
        {"latin-1 declaration",
         replaced("<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"), "só UTF-8"},
        {"latin-1 bytes", replaced("<infCpl>", "<infCpl>\xE7\xE3o "), "não está em UTF-8 (byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reason;
        EXPECT_FALSE(ReadCfe(c.text, reason));
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << reason;
    }
}

// Several documents in one file would be stored whole under the first one's
// key; a byte the declared encoding does not allow would be served as is.
TEST(ReadCfe, RefusesWhatIsNotOneDocument) {
    for (const kqz::test::NotOneDocument& c : kqz::test::NotOneDocumentCases()) {
        SCOPED_TRACE(c.file);
        std::ifstream in(kqz::test::NotOneDocumentPath(c), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(text.empty());
        std::string reason;
        EXPECT_FALSE(ReadCfe(text, reason));
        EXPECT_EQ(reason, c.message);
    }
}

TEST(ReadCfe, Utf8CheckNamesTheFirstBadByte) {
    struct Case {
        std::string text;
        std::size_t offset;
    };
    const Case cases[] = {
        {"abc", std::string::npos},
        {"p\xC3\xA3o \xF0\x9F\x8D\x9E", std::string::npos},
        {"ab\xC3", 2},                         // cut sequence
        {"a\xC0\xAF", 1},                      // overlong "/"
        {"ab\xED\xA0\x80", 2},                 // surrogate
        {"\xF4\x90\x80\x80", 0},               // above U+10FFFF
        {"ok\x80", 2},                         // lone continuation byte
        {"0123456789abcdef\xC3\xA3\x80", 18},  // after a run of ASCII and a valid sequence
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindInvalidUtf8(c.text), c.offset);
    }
}

}  // namespace
}  // namespace kqz::server
