#pragma once

// Identifying the user by e-mail: which CNPJs the address may see.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/remote.hpp"

namespace kqz::download {

inline constexpr const char* kEmailInvalido = "Email inválido !";
inline constexpr const char* kEmailNaoLocalizado = "Email não localizado !";

struct Identificacao {
    // A blank field is not processed at all: nothing below applies.
    bool ignorada = false;
    // The message to show, if any ("Email inválido !", "Email não localizado !",
    // or the server failure).
    std::optional<std::string> mensagem;
    // Empty the field and give it the focus again.
    bool limparCampo = false;
    // The new CNPJ list (one per line, as the server returned them, in order,
    // duplicates included); nothing means keep the earlier list.
    std::optional<std::vector<std::string>> cnpjs;
    // Whether the log memo is shown afterwards; nothing means leave it as it is.
    std::optional<bool> mostrarLog;
};

// Runs the identification for the text of the e-mail field, loading the users
// query into `memTable_Usuarios`. The administrator address (compared after
// ASCII lower-casing, untrimmed) sees every CNPJ with stored documents; any
// other address is sent exactly as typed. The log memo is shown when the
// field, trimmed and lower-cased, is the administrator address. A server that
// cannot be reached is reported as such, and nothing else changes.
Identificacao Identificar(std::string_view campo, ConsultaRemota& remoto, cloud::MemTable& memTable_Usuarios);

}  // namespace kqz::download
