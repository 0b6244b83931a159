#include <gtest/gtest.h>

#include <string>

#include "download/email.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"

namespace kqz::download {
namespace {

TEST(ValidarEMail, FollowsTheFormRule) {
    struct Case {
        const char* email;
        bool valid;
    };
    const Case cases[] = {
        {"x@ab.c", true},
        {"x@a.c", false},  // one character between "@" and "."
        {"user@example.com", true},
        {"x@.ab", false},
        {"x@abc", false},
        {"x@", false},
        {"@ab.c", false},
        {"xabc", false},
        {"x@ab.", true},
        {"x@@ab.c", true},  // the second "@" belongs to the domain part
        {"x y@ab.c", true},
        {"x.y@ab.c", true},
        {"  x@ab.c \t", true},
        {"\x01x@ab.c\x02", true},  // control characters at the ends are trimmed too
        {"", false},
        {"   ", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ValidarEMail(c.email), c.valid) << '"' << c.email << '"';
    }
}

TEST(Queries, AreComposedExactly) {
    EXPECT_EQ(ConsultaVersao(),
              "SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='P_VERATU'");
    EXPECT_EQ(ConsultaUsuarios(" o'neil@ab.com"), "SELECT * FROM KQZ_SADu WHERE AU_EMAIL =' o''neil@ab.com'");
    EXPECT_EQ(
        ConsultaEmpresas({"A", "B"}),
        "SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx','A','B')  GROUP BY M00_FANT,M00_CNPJ");
    EXPECT_EQ(ConjuntoDeCnpj({}), "'xx'");
    EXPECT_EQ(ConjuntoDeCnpj({"", " 1'2 "}), "'xx','',' 1''2 '");
    EXPECT_EQ(ConsultaQuantidade("11222333000181", "2103"),
              "SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='11222333000181' AND "
              "AD_DATA='2103'");
    EXPECT_EQ(ConsultaDocumentos("1'1", "2103"),
              "SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='1''1' AND "
              "AD_DATA='2103'");
}

TEST(MesAnoTexto, IsTwoDigitYearThenMonth) {
    EXPECT_EQ(MesAnoTexto(2021, 3), "2103");
    EXPECT_EQ(MesAnoTexto(2009, 12), "0912");
    EXPECT_EQ(MesAnoTexto(2100, 1), "0001");
}

TEST(TextRules, CasingTouchesAsciiOnly) {
    EXPECT_EQ(AsciiUpper("padaria são joão"), "PADARIA SãO JOãO");
    EXPECT_EQ(AsciiLower("ADMIN@KQZ.COM.BR ÁÉ"), "admin@kqz.com.br ÁÉ");
    EXPECT_EQ(Trim(" \t\r\n x y \x7f"), "x y \x7f");  // DEL is not a control character below blank
}

TEST(TextRules, ControlCharactersAreShownEscaped) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Loja \x1B]0;titulo\x07 \x1B[2J", "Loja \\x1B]0;titulo\\x07 \\x1B[2J"},
        {"a\rb\nc\td\x7F", "a\\x0Db\\x0Ac\\x09d\\x7F"},
        {"C1 \xC2\x9B"
         "31m",
         "C1 \\u009B31m"},
        {"PADARIA SÃO JOÃO · ok", "PADARIA SÃO JOÃO · ok"},
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscaparControles(c.in), c.out);
    }
}

}  // namespace
}  // namespace kqz::download
