#include "download/documentos.hpp"

#include <algorithm>
#include <stdexcept>

#include "cloud/mem_table.hpp"
#include "download/document_file.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"
#include "summary/ler_xml.hpp"
#include "summary/progress.hpp"
#include "summary/resumo.hpp"
#include "summary/tables.hpp"

namespace kqz::download {
namespace {

std::string Seis(std::int64_t numero) {
    std::string digits = std::to_string(numero < 0 ? -numero : numero);
    if (digits.size() < 6) {
        digits.insert(0, 6 - digits.size(), '0');
    }
    return numero < 0 ? "-" + digits : digits;
}

std::int64_t NumeroDoCupom(const cloud::MemTable& table, const std::string& adNumero) {
    const cloud::Field numero = table.FieldByName("X_NUMERO");
    try {
        return numero.AsLargeInt();
    } catch (const cloud::MemTableError&) {
        throw std::runtime_error("Número de CFe inválido (\"" + EscaparControles(numero.AsString()) +
                                 "\") no documento " + EscaparControles(adNumero));
    }
}

// The XML text of the current row, without a copy when it is text already.
std::string_view TextoDe(const cloud::Field& field, std::string& buffer) {
    if (const auto* text = std::get_if<std::string>(&field.Value())) {
        return *text;
    }
    buffer = field.AsString();
    return buffer;
}

}  // namespace

bool ListarDocumentos(std::string_view cnpj, std::string_view mes, ConsultaRemota& remoto,
                      cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista) {
    if (!remoto.SelectMemTable(ConsultaDocumentos(cnpj, mes), mem_ArquivosXML)) {
        return false;
    }
    const cloud::Field numero = mem_ArquivosXML.FieldByName("AD_NUMERO");
    const cloud::Field valor = mem_ArquivosXML.FieldByName("AD_VALOR");
    const cloud::Field xml = mem_ArquivosXML.FieldByName("AD_XML");
    lista.ListView_ArquivosXML.clear();
    lista.ListView_ArquivosXML.reserve(mem_ArquivosXML.RecordCount());
    for (; !mem_ArquivosXML.Eof(); mem_ArquivosXML.Next()) {
        lista.ListView_ArquivosXML.push_back({numero.AsString(), valor.AsString(), "Arquivo: ", "Valor: "});
    }
    lista.Memo1 = xml.AsString();
    return true;
}

Download BaixarDocumentos(std::string_view cnpj, std::string_view mes, const std::filesystem::path& pasta,
                          ConsultaRemota& remoto, cloud::MemTable& mem_ArquivosXML, ListaDeDocumentos& lista,
                          summary::SummaryTables& tabelas, VistaDoDownload& vista, ProgressSink& progresso) {
    Download result;
    vista.MostrarAviso("Aguarde...");
    vista.MostrarAviso("Filtrando arquivos - Aguarde...");
    if (!ListarDocumentos(cnpj, mes, remoto, mem_ArquivosXML, lista)) {
        vista.EsconderAviso();
        result.mensagem = kFalhaNoServidor;
        return result;
    }
    if (mem_ArquivosXML.RecordCount() == 0) {
        vista.EsconderAviso();
        result.mensagem = kNenhumArquivo;
        return result;
    }

    // Nothing the server sends may name a file outside the folder.
    for (const ItemArquivoXml& item : lista.ListView_ArquivosXML) {
        if (const auto problema = ProblemaNoNome(item.Text1)) {
            vista.EsconderAviso();
            result.mensagem = "Nome de arquivo inválido recebido do servidor (" + *problema + "): \"" +
                              EscaparControles(item.Text1) + "\" !";
            return result;
        }
    }

    vista.MostrarAviso("Baixando - Aguarde...");
    std::error_code error;
    if (!std::filesystem::is_directory(pasta, error)) {
        std::filesystem::create_directories(pasta, error);
    }

    const std::size_t total = mem_ArquivosXML.RecordCount();
    progresso.SetValue(0);
    progresso.SetMax(static_cast<double>(total));
    mem_ArquivosXML.First();
    const cloud::Field numero = mem_ArquivosXML.FieldByName("AD_NUMERO");
    const cloud::Field xml = mem_ArquivosXML.FieldByName("AD_XML");
    const cloud::Field xNumero = mem_ArquivosXML.FieldByName("X_NUMERO");

    vista.LimparLog();
    result.primeiro = xNumero.AsString();
    vista.AdicionarLog("Primeiro CFe...: " + result.primeiro);

    GravadorDeArquivos gravador;
    std::int64_t anterior = 0;
    std::uint64_t faltas = 0;
    std::uint64_t naoListadas = 0;
    for (std::size_t i = 0; !mem_ArquivosXML.Eof(); ++i) {
        const std::string adNumero = numero.AsString();
        const std::int64_t atual = NumeroDoCupom(mem_ArquivosXML, adNumero);
        if (i > 0 && atual > anterior + 1) {
            // At most kMaxFaltas lines in all, as in the report; the rest is
            // only counted.
            const std::uint64_t gap =
                static_cast<std::uint64_t>(atual) - static_cast<std::uint64_t>(anterior) - 1;
            const std::uint64_t listed =
                std::min(gap, summary::kMaxFaltas - std::min(faltas, summary::kMaxFaltas));
            for (std::uint64_t k = 1; k <= listed; ++k) {
                vista.AdicionarLog(
                    "Falta CFe....: " + std::to_string(anterior + static_cast<std::int64_t>(k)) + " <<<****");
            }
            faltas += listed;
            naoListadas += gap - listed;
        }
        anterior = atual;
        result.ultimo = atual;

        const std::filesystem::path arquivo = CaminhoDoDocumento(pasta, adNumero);
        std::string buffer;
        std::string texto = TextoDoDocumento(TextoDe(xml, buffer));
        gravador.Gravar(arquivo, texto);
        summary::LerXml(tabelas, arquivo.string(), std::move(texto));

        mem_ArquivosXML.Next();
        ++result.quantidade;
        progresso.SetValue(static_cast<double>(result.quantidade));
        vista.MostrarAviso("Baixando " + std::to_string(result.quantidade) + "/" + std::to_string(total));
    }
    gravador.Concluir();
    lista.Memo1 = xml.AsString();
    if (naoListadas > 0) {
        vista.AdicionarLog("Falta CFe....: mais " + std::to_string(naoListadas) +
                           " números não listados <<<****");
    }
    vista.AdicionarLog("Ultimo CFe.....: " + Seis(result.ultimo));
    vista.EsconderAviso();
    return result;
}

}  // namespace kqz::download
