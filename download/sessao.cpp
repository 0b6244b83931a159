#include "download/sessao.hpp"

#include "cloud/mem_table.hpp"
#include "download/queries.hpp"

namespace kqz::download {
namespace {

bool EIdentificacao(const std::string& sql) {
    static const std::string usuarios = ConsultaUsuarios("");
    const std::string prefixo = usuarios.substr(0, usuarios.size() - 2);  // without the empty literal ''
    return sql == ConsultaUsuariosAdministrador() || sql.rfind(prefixo, 0) == 0;
}

bool CnpjNaoLiberado(const std::string& erro) {
    return erro.find("não foi liberado nesta sessão") != std::string::npos;
}

}  // namespace

template <typename Consulta>
bool ConsultaComSessao::ComRenovacao(const Consulta& consultar) {
    const std::string antes = helper_.Connection().SessionId();
    const bool ok = consultar();
    const bool sessaoNova = helper_.Connection().SessionId() != antes;
    if (identificacao_.empty() || !(sessaoNova || (!ok && CnpjNaoLiberado(helper_.LastError())))) {
        return ok;
    }
    cloud::MemTable usuarios{"memTable_Usuarios"};
    if (!helper_.SelectMemTable(identificacao_, usuarios)) {
        return ok;
    }
    ++renovacoes_;
    return consultar();
}

bool ConsultaComSessao::SelectMemTable(const std::string& sql, cloud::MemTable& target) {
    if (EIdentificacao(sql)) {
        const bool ok = helper_.SelectMemTable(sql, target);
        if (ok) {
            identificacao_ = sql;
        }
        return ok;
    }
    return ComRenovacao([&] { return helper_.SelectMemTable(sql, target); });
}

std::unique_ptr<RespostaGrande> ConsultaComSessao::SelectStream(const std::string& sql) {
    std::unique_ptr<codec::StreamingBodyDecoder> resposta;
    ComRenovacao([&] {
        resposta = helper_.ReceberResposta(sql);
        return resposta != nullptr;
    });
    return RespostaRecebida(std::move(resposta));
}

}  // namespace kqz::download
