#pragma once

// The server keeps the CNPJs an identification released in its session. When
// the session is gone (idle time-out, server restarted), a later query meets a
// new, empty session: the company list comes back empty and the documents are
// refused. The client still knows who identified: it identifies again once
// and repeats the query, so only a real failure reaches the user.

#include <cstddef>
#include <memory>
#include <string>

#include "cloud/remote_query.hpp"
#include "download/remote.hpp"

namespace kqz::download {

class ConsultaComSessao final : public ConsultaRemota {
  public:
    explicit ConsultaComSessao(cloud::RemoteQuery& helper) : helper_(helper) {}

    // Runs `sql` through the helper. An identification that loads is
    // remembered. Any other query that finds the session changed since it was
    // sent (the server handed out a new one), or that the server refused because
    // the CNPJ was not released in this session, is repeated once after the
    // remembered identification has run again.
    bool SelectMemTable(const std::string& sql, cloud::MemTable& target) override;
    // The same for an answer read row by row (the documents of a month).
    std::unique_ptr<RespostaGrande> SelectStream(const std::string& sql) override;

    // Why the last query failed (the server's or the transport's text).
    const std::string& UltimoErro() const { return helper_.LastError(); }

    // How many times the session was renewed by identifying again.
    std::size_t Renovacoes() const { return renovacoes_; }

  private:
    // Runs `consultar` (which reports success) and, when the session was
    // renewed meanwhile or the CNPJ was refused in it, identifies again once
    // and runs it once more.
    template <typename Consulta>
    bool ComRenovacao(const Consulta& consultar);

    cloud::RemoteQuery& helper_;
    std::string identificacao_;  // the last identification query that loaded
    std::size_t renovacoes_ = 0;
};

}  // namespace kqz::download
