#pragma once

// Check digits of Brazilian identifiers and the reading of one CF-e file into
// the row the server stores for it.

#include <optional>
#include <string>
#include <string_view>

#include "summary/xml_text.hpp"

namespace kqz::server {

// True when `cpf` holds a valid CPF: 11 digits (the usual "." and "-"
// separators may appear between them), not all the same digit, with both
// mod-11 check digits right. Anything else is false.
bool ValidarCpf(std::string_view cpf);

// True when `cnpj` holds a valid CNPJ: 14 digits (".", "/" and "-" separators
// allowed), not all the same digit, with both mod-11 check digits right.
bool ValidaCNPJ(std::string_view cnpj);

// True when the 44 digits of a CF-e access key end in the right check digit
// (mod 11 over the first 43 digits, weights 2..9 from the right).
bool AccessKeyCheckDigitOk(std::string_view key44);

// One stored document as the KQZ_SAD table holds it.
struct StoredDocument {
    std::string cnpj;    // AD_CNPJ: the emitter's CNPJ
    std::string month;   // AD_DATA: "yyMM" of the document's own date
    std::string numero;  // AD_NUMERO: CFe<key>-VD or CFeCanc<key>-CA
    std::string valor;   // AD_VALOR: vCFe as written ("0.00" for a cancellation)
    std::string xml;     // AD_XML: the file's text, unchanged
};

// Largest file accepted as a CF-e (the biggest real sale, 500 items, is about 300 KB).
inline constexpr std::size_t kMaxDocumentBytes = 8u * 1024u * 1024u;

// Reads the text of a CF-e sale (root CFe) or cancellation (root CFeCanc).
// On success returns the row to store; otherwise returns nullopt and sets
// `reason` to a Portuguese explanation (invalid UTF-8 with its byte offset,
// not XML, not a CF-e, key missing or inconsistent, bad date or total...).
std::optional<StoredDocument> ReadCfe(std::string text, std::string& reason);

// The byte offset of the first invalid UTF-8 sequence in `text`, or npos.
using summary::FindInvalidUtf8;

}  // namespace kqz::server
