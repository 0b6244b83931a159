#include "download/identificacao.hpp"

#include "cloud/mem_table.hpp"
#include "download/email.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"

namespace kqz::download {
namespace {

bool EhAdministrador(std::string_view campo) {
    return AsciiLower(Trim(campo)) == kEmailAdministrador;
}

}  // namespace

Identificacao Identificar(std::string_view campo, ConsultaRemota& remoto,
                          cloud::MemTable& memTable_Usuarios) {
    Identificacao result;
    if (Trim(campo).empty()) {
        result.ignorada = true;
        return result;
    }
    if (!ValidarEMail(campo)) {
        result.mensagem = kEmailInvalido;
        result.limparCampo = true;
        result.mostrarLog = false;
        return result;
    }

    const std::string sql =
        AsciiLower(campo) == kEmailAdministrador ? ConsultaUsuariosAdministrador() : ConsultaUsuarios(campo);
    if (!remoto.SelectMemTable(sql, memTable_Usuarios)) {
        result.mensagem = kFalhaNoServidor;
        return result;
    }

    if (memTable_Usuarios.RecordCount() == 0) {
        result.mensagem = kEmailNaoLocalizado;
        result.limparCampo = true;
        result.mostrarLog = false;
        return result;
    }

    std::vector<std::string> cnpjs;
    const cloud::Field cnpj = memTable_Usuarios.FieldByName("AU_CNPJ");
    for (; !memTable_Usuarios.Eof(); memTable_Usuarios.Next()) {
        cnpjs.push_back(cnpj.AsString());
    }
    result.cnpjs = std::move(cnpjs);
    result.mostrarLog = EhAdministrador(campo);
    return result;
}

}  // namespace kqz::download
