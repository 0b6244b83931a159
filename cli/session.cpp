#include "cli/session.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "cloud/server_address.hpp"
#include "download/empresas.hpp"
#include "download/identificacao.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"

namespace kqz::cli {

std::string MesDoArgumento(const std::string& month) {
    if (month.empty()) {
        const auto today = std::chrono::year_month_day{
            std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
        const auto previous = today.year() / today.month() - std::chrono::months{1};
        return download::MesAnoTexto(static_cast<int>(previous.year()),
                                     static_cast<int>(static_cast<unsigned>(previous.month())));
    }
    int year = 0;
    int mon = 0;
    char dash = 0;
    char extra = 0;
    if (month.size() != 7 || std::sscanf(month.c_str(), "%4d%c%2d%c", &year, &dash, &mon, &extra) != 3 ||
        dash != '-' || mon < 1 || mon > 12 || year < 1) {
        throw std::runtime_error("mês inválido: \"" + month + "\" (use AAAA-MM, por exemplo 2021-03)");
    }
    return download::MesAnoTexto(year, mon);
}

std::string EmailDoArgumento(const std::string& email) {
    return download::AsciiLower(download::Trim(email));
}

Sessao::Sessao(const std::string& serverOption) : conexao(cloud::ResolveServerAddress(serverOption)) {}

std::string Sessao::Falha() const {
    return std::string(download::kFalhaNoServidor) + " (" + helper.LastError() + ")";
}

std::vector<std::string> Sessao::Identificar(const std::string& email) {
    const download::Identificacao resultado = download::Identificar(email, remoto, memTable_Usuarios);
    if (resultado.ignorada) {
        throw std::runtime_error(download::kInformeEmail);
    }
    if (resultado.mensagem) {
        if (*resultado.mensagem == download::kFalhaNoServidor) {
            throw std::runtime_error(Falha());
        }
        throw std::runtime_error(*resultado.mensagem);
    }
    return resultado.cnpjs.value_or(std::vector<std::string>{});
}

}  // namespace kqz::cli
