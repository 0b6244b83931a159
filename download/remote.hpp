#pragma once

#include <string>

namespace kqz::cloud {
class MemTable;
}

namespace kqz::download {

// The one way the client's jobs reach the application server: run a SELECT and
// load its single result into `target`. On failure `target` is left as it was
// and the answer is false.
class ConsultaRemota {
  public:
    virtual ~ConsultaRemota() = default;
    virtual bool SelectMemTable(const std::string& sql, cloud::MemTable& target) = 0;
};

// The message for any remote failure the user has to know about.
inline constexpr const char* kFalhaNoServidor = "Não consegui acessar o servidor na nuvem !";

}  // namespace kqz::download
