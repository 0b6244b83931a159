#pragma once

// The SQL texts the client sends to the application server, composed exactly
// as the server expects them, every value as an SQL string literal.

#include <string>
#include <string_view>
#include <vector>

namespace kqz::download {

// The administrator's address: sees every company with stored documents and the
// log memo.
inline constexpr std::string_view kEmailAdministrador = "admin@kqz.com.br";

// The reference month as the server stores it: two-digit year, two-digit month.
std::string MesAnoTexto(int year, int month);

// Newest build offered: AP_CONTEUDO_INT, AP_CONTEUDO_STR, AP_DESCR of P_VERATU.
std::string ConsultaVersao();

// The CNPJs an e-mail may see. The administrator's variant lists every CNPJ
// with stored documents as AU_CNPJ; any other e-mail is sent as typed.
std::string ConsultaUsuariosAdministrador();
std::string ConsultaUsuarios(std::string_view email);

// The set of CNPJs for the companies query: 'xx' first (so the set is never
// empty), then every line, untrimmed, as a literal.
std::string ConjuntoDeCnpj(const std::vector<std::string>& linhas);
std::string ConsultaEmpresas(const std::vector<std::string>& linhas);

std::string ConsultaQuantidade(std::string_view cnpj, std::string_view mes);
std::string ConsultaDocumentos(std::string_view cnpj, std::string_view mes);

}  // namespace kqz::download
