#pragma once

// Files that are not one well-formed XML document, and what refusing each
// must say: read by the summary's reader and by the server's import alike.

#include <string>
#include <vector>

namespace kqz::test {

struct NotOneDocument {
    const char* file;     // in tests/data/summary/um-documento
    const char* message;  // the reason, with the byte offset
};

inline const std::vector<NotOneDocument>& NotOneDocumentCases() {
    static const std::vector<NotOneDocument> cases{
        {"dois-documentos.xml", "XML mal formado: um segundo documento começa no byte 6456"},
        {"texto-apos-raiz.xml", "XML mal formado: texto após o elemento raiz no byte 6456"},
        {"nulos-apos-raiz.xml", "XML mal formado: caractere nulo após o elemento raiz no byte 6456"},
        {"byte-windows-1252.xml", "texto não está em UTF-8 (byte 452)"},
    };
    return cases;
}

inline std::string NotOneDocumentPath(const NotOneDocument& c) {
    return std::string(KQZ_TEST_DATA) + "/summary/um-documento/" + c.file;
}

}  // namespace kqz::test
