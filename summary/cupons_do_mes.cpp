#include "summary/cupons_do_mes.hpp"

#include "summary/ler_xml.hpp"
#include "summary/tables.hpp"

namespace kqz::summary {

std::vector<Cupom> LerCupons(const std::vector<std::string>& files) {
    std::vector<Cupom> cupons;
    cupons.reserve(files.size());
    for (const std::string& file : files) {
        // Fresh tables per file: only the facts are kept.
        SummaryTables tables;
        XmlLido lido = LerXml(tables, file);
        if (!lido.vazio) {
            cupons.push_back(std::move(lido.cupom));
        }
    }
    return cupons;
}

}  // namespace kqz::summary
