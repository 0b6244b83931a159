#pragma once

// The company list: the companies of the user's CNPJs with the number of
// stored XMLs of the reference month.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/remote.hpp"

namespace kqz {
class ProgressSink;
}

namespace kqz::download {

inline constexpr const char* kInformeEmail = "Informe o email !";
inline constexpr const char* kAguarde = "Aguarde...";

// The texts of one company item.
struct EmpresaListada {
    std::string Text1;  // trade name, ASCII letters upper-cased
    std::string Text2;  // CNPJ as returned
    std::string Text3;  // "Empresa: "
    std::string Text4;  // "CNPJ: "
    std::string Text6;  // "", "1 XML" or "<n> XMLs"
    std::string Text7;  // "Ver detalhes"
    std::int64_t quantidade = 0;
};

// "" for 0, "1 XML" for 1, otherwise the count as the server wrote it and " XMLs".
std::string TextoDaQuantidade(std::int64_t quantidade, std::string_view comoTexto);

// Where the listing shows what it does. The window draws the list and the
// progress panel; the command line prints.
class VistaDaListagem {
  public:
    virtual ~VistaDaListagem() = default;
    // Shows the progress panel with `text` and lets window events run.
    virtual void MostrarAviso(const std::string& text) = 0;
    virtual void EsconderAviso() = 0;
    // Empties the list and starts a batch update of it.
    virtual void IniciarLista() = 0;
    // Adds an item at the end, selects it and lets window events run.
    virtual void AdicionarEmpresa(const EmpresaListada& empresa) = 0;
    // Ends the batch update and selects the first item (none when empty).
    virtual void ConcluirLista() = 0;
    // Replaces the log memo's text / appends a line to it.
    virtual void DefinirLog(const std::string& text) = 0;
    virtual void AdicionarLog(const std::string& line) = 0;
};

struct Listagem {
    // The message to show instead ("Informe o email !" or the server failure).
    std::string mensagem;
    bool ok() const { return mensagem.empty(); }
};

// Lists the companies of `cnpjs` (the hidden CNPJ list's lines) for the month
// "yyMM": the companies query into `memTable_Empresas`, then one count query
// per company into `mem_ArquivosXML`. A remote failure stops the listing with
// the server message; what was listed so far stays.
Listagem ListarEmpresas(std::string_view email, const std::vector<std::string>& cnpjs, std::string_view mes,
                        ConsultaRemota& remoto, cloud::MemTable& memTable_Empresas,
                        cloud::MemTable& mem_ArquivosXML, VistaDaListagem& vista, ProgressSink& progresso);

}  // namespace kqz::download
