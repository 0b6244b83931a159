#include "summary/cupons_do_mes.hpp"

#include "summary/ler_xml.hpp"
#include "summary/tables.hpp"

namespace kqz::summary {

std::vector<Cupom> LerCupons(const std::vector<std::string>& files) {
    NoProgress none;
    return LerCupons(files, none);
}

std::vector<Cupom> LerCupons(const std::vector<std::string>& files, ProgressSink& progress) {
    const std::string de = "/" + std::to_string(files.size());
    progress.SetMax(static_cast<double>(files.size()));
    std::size_t lidos = 0;
    std::vector<Cupom> cupons;
    cupons.reserve(files.size());
    for (const std::string& file : files) {
        // Fresh tables per file: only the facts are kept.
        SummaryTables tables;
        XmlLido lido = LerXml(tables, file);
        if (!lido.vazio) {
            cupons.push_back(std::move(lido.cupom));
        }
        ++lidos;
        progress.SetValue(static_cast<double>(lidos));
        progress.SetText("Lendo " + std::to_string(lidos) + de);
        progress.Pump();
    }
    return cupons;
}

}  // namespace kqz::summary
