#include "download/empresas.hpp"

#include "cloud/mem_table.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"
#include "summary/progress.hpp"

namespace kqz::download {

std::string TextoDaQuantidade(std::int64_t quantidade, std::string_view comoTexto) {
    if (quantidade == 0) {
        return {};
    }
    if (quantidade == 1) {
        return "1 XML";
    }
    return std::string(comoTexto) + " XMLs";
}

Listagem ListarEmpresas(std::string_view email, const std::vector<std::string>& cnpjs, std::string_view mes,
                        ConsultaRemota& remoto, cloud::MemTable& memTable_Empresas,
                        cloud::MemTable& mem_ArquivosXML, VistaDaListagem& vista, ProgressSink& progresso) {
    if (Trim(email).empty()) {
        return {kInformeEmail};
    }
    const bool administrador = AsciiLower(email) == kEmailAdministrador;

    vista.MostrarAviso(kAguarde);
    if (!remoto.SelectMemTable(ConsultaEmpresas(cnpjs), memTable_Empresas)) {
        vista.EsconderAviso();
        return {kFalhaNoServidor};
    }

    vista.IniciarLista();
    const auto total = memTable_Empresas.RecordCount();
    vista.DefinirLog("Quantidade de empresas: " + std::to_string(total));
    progresso.SetMax(static_cast<double>(total));
    progresso.SetValue(0);

    const cloud::Field fantasia = memTable_Empresas.FieldByName("M00_FANT");
    const cloud::Field cnpj = memTable_Empresas.FieldByName("M00_CNPJ");
    double valor = 0;
    for (; !memTable_Empresas.Eof(); memTable_Empresas.Next()) {
        progresso.SetValue(++valor);
        EmpresaListada empresa;
        empresa.Text1 = AsciiUpper(fantasia.AsString());
        empresa.Text2 = cnpj.AsString();
        empresa.Text3 = "Empresa: ";
        empresa.Text4 = "CNPJ: ";
        if (administrador) {
            vista.AdicionarLog(empresa.Text2 + "-" + fantasia.AsString());
        }
        if (!remoto.SelectMemTable(ConsultaQuantidade(empresa.Text2, mes), mem_ArquivosXML)) {
            vista.ConcluirLista();
            vista.EsconderAviso();
            return {kFalhaNoServidor};
        }
        const cloud::Field quantidade = mem_ArquivosXML.Fields(0);
        empresa.quantidade = quantidade.AsLargeInt();
        empresa.Text6 = TextoDaQuantidade(empresa.quantidade, quantidade.AsString());
        empresa.Text7 = "Ver detalhes";
        vista.AdicionarEmpresa(empresa);
    }
    vista.ConcluirLista();
    vista.EsconderAviso();
    return {};
}

}  // namespace kqz::download
