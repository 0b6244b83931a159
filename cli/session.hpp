#pragma once

// What `kqz companies` and `kqz download` share: a connection to the server,
// the remote query helper, and the identification of the e-mail.

#include <string>
#include <vector>

#include "cloud/mem_table.hpp"
#include "cloud/remote_query.hpp"
#include "cloud/rest_connection.hpp"
#include "download/nuvem.hpp"

namespace kqz::cli {

// "YYYY-MM" -> "yyMM"; an empty text gives the previous calendar month of
// today. Throws std::runtime_error for anything else.
std::string MesDoArgumento(const std::string& month);

// The e-mail of --email as the window takes it: trimmed and in lower case.
std::string EmailDoArgumento(const std::string& email);

class Sessao {
  public:
    explicit Sessao(const std::string& serverOption);

    // Identifies `email` exactly as the window does and returns its CNPJs.
    // Throws std::runtime_error with the window's message on any refusal.
    std::vector<std::string> Identificar(const std::string& email);

    // The remote failure text, for error messages.
    std::string Falha() const;

    cloud::RestConnection conexao;
    cloud::RemoteQuery helper{conexao};
    download::ConsultaNaNuvem remoto{helper};
    cloud::MemTable memTable_Usuarios{"memTable_Usuarios"};
    cloud::MemTable memTable_Empresas{"memTable_Empresas"};
    cloud::MemTable mem_ArquivosXML{"mem_ArquivosXML"};
};

}  // namespace kqz::cli
