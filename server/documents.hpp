#pragma once

// Check digits of Brazilian identifiers and the reading of one CF-e file into
// the row the server stores for it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/codec/dataset_list.hpp"
#include "summary/xml_text.hpp"

namespace kqz::server {

class Storage;

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

// The answer body of the documents query (the stored documents of `cnpj` in
// `month`, AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML and the coupon number
// under the name `alias`) made piece by piece while it is sent: the same bytes
// as the whole answer, {"result":[<list of one dataset "Query">]}, never held
// whole. The rows come from storage in batches, read twice from one snapshot
// (measured, then written); the stream is deflated on `options.threads`
// threads while earlier pieces go out. Memory: a few MB for the batches plus
// two 1 MB blocks per deflate thread, given back to the system when the
// answer is destroyed. The caller checks first that the session may read
// `cnpj`.
class DocumentsAnswer {
  public:
    DocumentsAnswer(Storage& storage, const std::string& cnpj, const std::string& month,
                    const std::string& alias, const codec::WriteOptions& options);
    ~DocumentsAnswer();
    DocumentsAnswer(const DocumentsAnswer&) = delete;
    DocumentsAnswer& operator=(const DocumentsAnswer&) = delete;

    // Copies up to `cap` next bytes of the body to `buf`; 0 once it is
    // complete. The first call reads every row once (to measure the stream)
    // before giving the first byte. Throws StorageError or codec::CodecError
    // on a failure, after which the body is incomplete and the connection
    // must be closed without the last chunk.
    std::size_t Next(char* buf, std::size_t cap);
    std::uint64_t Produced() const { return body_->Produced(); }

  private:
    std::unique_ptr<codec::RowBatches> rows_;
    std::unique_ptr<codec::ResultBodyStream> body_;
};

// The table layout of the documents answer (name, columns; no rows).
codec::Dataset DocumentsTable(const std::string& alias);

}  // namespace kqz::server
