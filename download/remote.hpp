#pragma once

#include <memory>
#include <string>

namespace kqz::cloud {
class MemTable;
}
namespace kqz::codec {
class AdbsVisitor;
class StreamingBodyDecoder;
}  // namespace kqz::codec

namespace kqz::download {

// The answer of a query too big to hold as a table (a month's documents),
// received whole but kept compressed. Each Ler hands every row over once more.
class RespostaGrande {
  public:
    virtual ~RespostaGrande() = default;
    // Hands the answer's single dataset to `visitor`: OnTable, OnRow per row,
    // OnEnd. Throws codec::CodecError when the answer does not decode (a null
    // list, other than one dataset, a broken stream); rows handed over before
    // that stay handed over. What `visitor` throws reaches the caller.
    virtual void Ler(codec::AdbsVisitor& visitor) = 0;
};

// The one way the client's jobs reach the application server: run a SELECT and
// load its single result into `target`. On failure `target` is left as it was
// and the answer is false.
class ConsultaRemota {
  public:
    virtual ~ConsultaRemota() = default;
    virtual bool SelectMemTable(const std::string& sql, cloud::MemTable& target) = 0;

    // Runs a SELECT whose answer is read row by row instead of into a table.
    // nullptr when the query failed (the failure is swallowed as
    // SelectMemTable's is). This default loads a table through
    // SelectMemTable and hands its rows over; the remote query helper
    // decodes the answer while it arrives and never holds the table.
    virtual std::unique_ptr<RespostaGrande> SelectStream(const std::string& sql);
};

// The received answer of the remote query helper as a RespostaGrande.
std::unique_ptr<RespostaGrande> RespostaRecebida(std::unique_ptr<codec::StreamingBodyDecoder> decoder);

// The message for any remote failure the user has to know about.
inline constexpr const char* kFalhaNoServidor = "Não consegui acessar o servidor na nuvem !";

}  // namespace kqz::download
