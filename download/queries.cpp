#include "download/queries.hpp"

#include <cstdio>

#include "download/text.hpp"

namespace kqz::download {

std::string MesAnoTexto(int year, int month) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d%02d", ((year % 100) + 100) % 100, month);
    return text;
}

std::string ConsultaVersao() {
    return "SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO=" +
           QuotedStr("P_VERATU");
}

std::string ConsultaUsuariosAdministrador() {
    return "SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ";
}

std::string ConsultaUsuarios(std::string_view email) {
    return "SELECT * FROM KQZ_SADu WHERE AU_EMAIL =" + QuotedStr(email);
}

std::string ConjuntoDeCnpj(const std::vector<std::string>& linhas) {
    std::string set = QuotedStr("xx");
    for (const std::string& linha : linhas) {
        set += ',';
        set += QuotedStr(linha);
    }
    return set;
}

std::string ConsultaEmpresas(const std::vector<std::string>& linhas) {
    return "SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN(" + ConjuntoDeCnpj(linhas) +
           ")  GROUP BY M00_FANT,M00_CNPJ";
}

std::string ConsultaQuantidade(std::string_view cnpj, std::string_view mes) {
    return "SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ=" + QuotedStr(cnpj) +
           " AND AD_DATA=" + QuotedStr(mes);
}

std::string ConsultaDocumentos(std::string_view cnpj, std::string_view mes) {
    return "SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ=" + QuotedStr(cnpj) +
           " AND AD_DATA=" + QuotedStr(mes);
}

}  // namespace kqz::download
