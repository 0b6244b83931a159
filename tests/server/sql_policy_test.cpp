#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/sql_policy.hpp"

namespace kqz::server {
namespace {

// What an accepted text must come out as: its kind and every value it binds.
struct Accepted {
    const char* sql;
    const char* kind;
    std::vector<std::string> values;
};

std::pair<std::string, std::vector<std::string>> Describe(const Statement& s) {
    if (const auto* v = std::get_if<VersionQuery>(&s))
        return {"version", {v->parameter}};
    if (const auto* u = std::get_if<UsersQuery>(&s))
        return {"users", {u->email}};
    if (const auto* a = std::get_if<AdminUsersQuery>(&s))
        return {"admin", {a->alias}};
    if (const auto* c = std::get_if<CompaniesQuery>(&s))
        return {"companies", c->cnpjs};
    if (const auto* n = std::get_if<CountQuery>(&s))
        return {"count", {n->alias, n->cnpj, n->month}};
    const auto& d = std::get<DocumentsQuery>(s);
    return {"documents", {d.alias, d.cnpj, d.month}};
}

TEST(SqlPolicy, AcceptsTheClientsStatementsAndBindsTheirLiterals) {
    const Accepted cases[] = {
        {"SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='P_VERATU'",
         "version",
         {"P_VERATU"}},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'",
         "users",
         {"contador@exemplo.com.br"}},
        // A quote inside the e-mail arrives doubled and is bound single.
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='o''brien@x.com'' OR ''1''=''1'",
         "users",
         {"o'brien@x.com' OR '1'='1"}},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL =' x@y.com'", "users", {" x@y.com"}},
        {"SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ", "admin", {"AU_CNPJ"}},
        {"SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx','11222333000181','44555666000199')  GROUP "
         "BY "
         "M00_FANT,M00_CNPJ",
         "companies",
         {"xx", "11222333000181", "44555666000199"}},
        {"SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx')  GROUP BY M00_FANT,M00_CNPJ",
         "companies",
         {"xx"}},
        {"SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx','','a''b')  GROUP BY M00_FANT,M00_CNPJ",
         "companies",
         {"xx", "", "a'b"}},
        {"SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='11222333000181' AND "
         "AD_DATA='2103'",
         "count",
         {"QuantidadeDeRegistros", "11222333000181", "2103"}},
        {"SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='11222333000181' AND "
         "AD_DATA='2103'",
         "documents",
         {"X_NUMERO", "11222333000181", "2103"}},
        // Blanks, line breaks and keyword case may vary; aliases keep their spelling.
        {"select  *\r\n , left ( RIGHT(ad_numero , 16) ,6 )  AS x_numero\tfrom kqz_sad WHERE ad_cnpj = 'A' "
         "and "
         "ad_data='B'",
         "documents",
         {"x_numero", "A", "B"}},
        {"Select Count ( * ) As quantidadederegistros From Kqz_Sad Where Ad_Cnpj='1' And Ad_Data='2'",
         "count",
         {"quantidadederegistros", "1", "2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        Statement s;
        ASSERT_NO_THROW(s = ParseStatement(c.sql));
        const auto [kind, values] = Describe(s);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(values, c.values);
    }
}

TEST(SqlPolicy, RefusesEverythingElseNamingWhere) {
    struct Refused {
        const char* sql;
        const char* messagePart;
    };
    const Refused cases[] = {
        {"", "fim do texto"},
        {"SELECT * FROM KQZ_SAD", "esperado"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a'; DELETE FROM KQZ_SAD",
         "caractere não permitido ';' (posição 42)"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a';", "caractere não permitido ';'"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a' -- comentário", "caractere não permitido '-'"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a' /* x */", "caractere não permitido '/'"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a' OR '1'='1'",
         "texto a mais depois do fim do comando (posição 43)"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a' UNION SELECT AD_XML,AD_CNPJ FROM KQZ_SAD",
         "texto a mais"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a", "literal sem aspas de fechamento (posição 39)"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL =\"a\"", "caractere não permitido '\"'"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL =AU_EMAIL", "esperado literal"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL LIKE '%'", "esperado '='"},
        {"SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ", "fim do texto"},
        {"SELECT AD_XML FROM KQZ_SAD", "consulta fora das consultas permitidas"},
        {"SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='1' OR AD_DATA='2'",
         "esperado AND"},
        {"SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='1'", "fim do texto"},
        {"SELECT *,LEFT(right(AD_NUMERO,16),7) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='1' AND AD_DATA='2'",
         "esperado 6"},
        {"SELECT *,LEFT(right(AD_XML,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='1' AND AD_DATA='2'",
         "esperado AD_NUMERO"},
        {"SELECT *,LEFT(right(AD_NUMERO,16),6) as Y FROM KQZ_SAD where AD_CNPJ='1' AND AD_DATA='2'",
         "esperado X_NUMERO"},
        {"SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN()  GROUP BY M00_FANT,M00_CNPJ",
         "esperado literal"},
        {"SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx',(SELECT AU_CNPJ FROM KQZ_SADu))  GROUP BY "
         "M00_FANT,M00_CNPJ",
         "esperado literal"},
        {"SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='P_VERATU'\x01",
         "caractere não permitido '?'"},
        {"SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a' \xC3\xA9", "caractere não permitido '?'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        try {
            ParseStatement(c.sql);
            ADD_FAILURE() << "accepted";
        } catch (const PolicyError& e) {
            EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
        }
    }
}

TEST(SqlPolicy, BoundsTheInList) {
    std::string sql = "SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx'";
    for (std::size_t i = 0; i < kMaxInListLiterals; ++i)
        sql += ",'1'";
    sql += ")  GROUP BY M00_FANT,M00_CNPJ";
    EXPECT_THROW(ParseStatement(sql), PolicyError);
}

}  // namespace
}  // namespace kqz::server
