// Fuzzes the CF-e reader on what a server may put in a document: the text as
// it comes and as the download writes it, read as a sale or as a
// cancellation (the file name decides), into the same tables one after the
// other. A bad document is a ResumoError; nothing else may escape.

#include <cstddef>
#include <cstdint>
#include <string>

#include "download/document_file.hpp"
#include "summary/error.hpp"
#include "summary/ler_xml.hpp"
#include "summary/tables.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses the kind; the rest is the document.
    const bool cancelamento = (data[0] & 1) != 0;
    const std::string texto(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string nome = cancelamento ? "CFeCanc-fuzz.XML" : "CFe-fuzz.XML";
    kqz::summary::SummaryTables tables;
    for (const std::string& t : {texto, kqz::download::TextoDoDocumento(texto)}) {
        try {
            kqz::summary::LerXml(tables, nome, t);
        } catch (const kqz::summary::ResumoError&) {
        }
    }
    return 0;
}
