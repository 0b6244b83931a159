#pragma once

// The download of one company's documents of the month: the documents query,
// one file per document in the chosen folder, each file read into the summary
// tables.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "download/remote.hpp"

namespace kqz {
class ProgressSink;
}
namespace kqz::summary {
class SummaryTables;
}

namespace kqz::download {

inline constexpr const char* kNaoExisteArquivo = "Não existe aquivo para download !";
inline constexpr const char* kNenhumArquivo = "Nenhum arquivo encontrado !";

// One entry of the hidden document list.
struct ItemArquivoXml {
    std::string Text1;  // AD_NUMERO
    std::string Text2;  // AD_VALOR
    std::string Text3;  // "Arquivo: "
    std::string Text4;  // "Valor: "
};

// The hidden document list and XML memo the download leaves behind.
struct ListaDeDocumentos {
    std::vector<ItemArquivoXml> ListView_ArquivosXML;
    std::string Memo1;  // the last document's XML text
};

// Where the download shows what it does.
class VistaDoDownload {
  public:
    virtual ~VistaDoDownload() = default;
    // Sets the progress panel's text, shows the panel and lets events run.
    virtual void MostrarAviso(const std::string& text) = 0;
    virtual void EsconderAviso() = 0;
    virtual void LimparLog() = 0;
    virtual void AdicionarLog(const std::string& line) = 0;
};

// The document-list step: runs the documents query of `cnpj` and month "yyMM"
// into `mem_ArquivosXML`, lists its rows and leaves the last row's XML in
// Memo1. False when the query failed (the table and the list are then as they
// were).
bool ListarDocumentos(std::string_view cnpj, std::string_view mes, ConsultaRemota& remoto,
                      cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista);

struct Download {
    // The message to show instead of the summary: "Nenhum arquivo encontrado !",
    // a refused file name, or the server failure. Empty when the download ran.
    std::string mensagem;
    std::size_t quantidade = 0;  // documents written and read
    std::string primeiro;        // X_NUMERO of the first row, as text
    std::int64_t ultimo = 0;     // X_NUMERO of the last row
    bool ok() const { return mensagem.empty(); }
};

// Downloads the month's documents of `cnpj` into `pasta` (created with its
// parents when missing) and reads each file into `tabelas`, in the server's
// order. The log gets "Primeiro CFe...: ", one "Falta CFe....: " line for
// every coupon number missing between two consecutive documents, and
// "Ultimo CFe.....: ". Every AD_NUMERO is checked before anything is written:
// one that could leave the folder refuses the whole download. A file that
// cannot be written, a document the reader rejects, or an X_NUMERO that is not
// a whole number ends the download with an exception naming the document;
// files written before stay.
Download BaixarDocumentos(std::string_view cnpj, std::string_view mes, const std::filesystem::path& pasta,
                          ConsultaRemota& remoto, cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista,
                          summary::SummaryTables& tabelas, VistaDoDownload& vista, ProgressSink& progresso);

}  // namespace kqz::download
