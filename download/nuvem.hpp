#pragma once

#include <memory>
#include <string>

#include "cloud/remote_query.hpp"
#include "download/remote.hpp"

namespace kqz::download {

// The remote query helper as the jobs use it.
class ConsultaNaNuvem final : public ConsultaRemota {
  public:
    explicit ConsultaNaNuvem(cloud::RemoteQuery& helper) : helper_(helper) {}
    bool SelectMemTable(const std::string& sql, cloud::MemTable& target) override {
        return helper_.SelectMemTable(sql, target);
    }
    std::unique_ptr<RespostaGrande> SelectStream(const std::string& sql) override {
        return RespostaRecebida(helper_.ReceberResposta(sql));
    }
    // Why the last query failed (the server's or the transport's text).
    const std::string& UltimoErro() const { return helper_.LastError(); }

  private:
    cloud::RemoteQuery& helper_;
};

}  // namespace kqz::download
