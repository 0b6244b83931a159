#include "server/documents.hpp"

#include <malloc.h>

#include <pugixml.hpp>

#include "server/storage.hpp"
#include "summary/cupom.hpp"
#include "summary/xml_text.hpp"

namespace kqz::server {
namespace {

// Keeps the digits of `text`, allowing only the separators in `separators`
// between them. Returns "" when anything else appears.
std::string DigitsOnly(std::string_view text, std::string_view separators) {
    std::string digits;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        } else if (separators.find(c) == std::string_view::npos) {
            return {};
        }
    }
    return digits;
}

bool AllSame(const std::string& digits) {
    return digits.find_first_not_of(digits[0]) == std::string::npos;
}

int Digit(char c) {
    return c - '0';
}

// Mod-11 check digit of `digits` with weights cycling from 2 up to `maxWeight`
// starting at the rightmost digit; results 10 and 11 give 0.
int Mod11(std::string_view digits, int maxWeight) {
    int sum = 0;
    int weight = 2;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        sum += Digit(*it) * weight;
        weight = weight == maxWeight ? 2 : weight + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}

bool AllDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.empty();
}

bool IsDecimal(std::string_view text) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return AllDigits(text);
    return AllDigits(text.substr(0, dot)) && AllDigits(text.substr(dot + 1));
}

}  // namespace

bool ValidarCpf(std::string_view cpf) {
    const std::string d = DigitsOnly(cpf, ".-");
    if (d.size() != 11 || AllSame(d))
        return false;
    // The CPF's weights run 2..10 and 2..11, i.e. they never cycle back.
    return Mod11(std::string_view(d).substr(0, 9), 11) == Digit(d[9]) &&
           Mod11(std::string_view(d).substr(0, 10), 11) == Digit(d[10]);
}

bool ValidaCNPJ(std::string_view cnpj) {
    const std::string d = DigitsOnly(cnpj, "./-");
    if (d.size() != 14 || AllSame(d))
        return false;
    return Mod11(std::string_view(d).substr(0, 12), 9) == Digit(d[12]) &&
           Mod11(std::string_view(d).substr(0, 13), 9) == Digit(d[13]);
}

bool AccessKeyCheckDigitOk(std::string_view key44) {
    if (key44.size() != 44 || !AllDigits(key44))
        return false;
    return summary::DigitoVerificadorChave(key44.substr(0, 43)) == Digit(key44[43]);
}

std::optional<StoredDocument> ReadCfe(std::string text, std::string& reason) {
    if (text.size() > kMaxDocumentBytes) {
        reason = "arquivo grande demais para um CF-e (" + std::to_string(text.size()) + " bytes)";
        return std::nullopt;
    }
    // Stored documents are UTF-8 and one CF-e each: a file with several
    // documents would be stored whole under the first one's key.
    const summary::XmlTextScan scan = summary::ScanXmlText(text);
    if (scan.encoding_problem) {
        reason = scan.encoding_problem->message;
        return std::nullopt;
    }
    if (const auto bad = FindInvalidUtf8(text); bad != std::string_view::npos) {
        reason = "texto não está em UTF-8 (byte " + std::to_string(bad) + ")";
        return std::nullopt;
    }
    pugi::xml_document doc;
    const auto parsed = doc.load_buffer(text.data(), text.size(),
                                        pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
    if (!parsed) {
        reason = std::string("XML mal formado: ") + parsed.description() + " (byte " +
                 std::to_string(parsed.offset) + ")";
        return std::nullopt;
    }
    if (auto decl = doc.child("xml"); decl.type() == pugi::node_declaration) {
        const std::string encoding = decl.attribute("encoding").value();
        if (!encoding.empty() && encoding != "UTF-8" && encoding != "utf-8") {
            reason = "XML declara a codificação " + encoding + "; só UTF-8 é aceito";
            return std::nullopt;
        }
    }
    if (scan.outside_root) {
        reason = scan.outside_root->message;
        return std::nullopt;
    }
    // The fields come from the reader the client uses for its sequences and
    // checks: one reading of a CF-e for both ends.
    const summary::Cupom cupom = summary::ExtrairCupom(doc, {});
    if (cupom.tipo == summary::TipoCupom::kDesconhecido) {
        reason = std::string("não é um CF-e (elemento raiz <") + doc.document_element().name() +
                 ">, esperado <CFe> ou <CFeCanc>)";
        return std::nullopt;
    }
    const bool cancellation = cupom.tipo == summary::TipoCupom::kCancelamento;
    const std::string& id = cupom.id;
    if (id.empty()) {
        reason = "CF-e sem chave de acesso (infCFe/@Id): arquivo de envio, não um CF-e emitido";
        return std::nullopt;
    }
    const std::string key(summary::SemPrefixoCFe(id));
    if (id.size() != 47 || key.size() != 44 || !AllDigits(key)) {
        reason = "chave de acesso inválida em infCFe/@Id: " + id.substr(0, 60);
        return std::nullopt;
    }
    if (!AccessKeyCheckDigitOk(key)) {
        reason = "dígito verificador da chave de acesso não confere: " + key;
        return std::nullopt;
    }
    const std::string& dEmi = cupom.dEmi;
    if (dEmi.size() != 8 || !AllDigits(dEmi) || dEmi.compare(4, 2, "01") < 0 ||
        dEmi.compare(4, 2, "12") > 0) {
        reason = "data de emissão (ide/dEmi) inválida: \"" + dEmi.substr(0, 20) + "\"";
        return std::nullopt;
    }
    const std::string month = dEmi.substr(2, 4);
    const summary::ChaveAcesso parts = *summary::DecomporChave(key);
    if (parts.aamm != month) {
        reason = "ano e mês da chave (" + std::string(parts.aamm) + ") diferem de ide/dEmi (" + dEmi + ")";
        return std::nullopt;
    }
    const std::string& cnpj = cupom.cnpj;
    if (cnpj.size() != 14 || !AllDigits(cnpj)) {
        reason = "CNPJ do emitente (emit/CNPJ) inválido: \"" + cnpj.substr(0, 20) + "\"";
        return std::nullopt;
    }
    if (parts.cnpj != cnpj) {
        reason = "CNPJ do emitente (" + cnpj + ") difere do CNPJ da chave (" + std::string(parts.cnpj) + ")";
        return std::nullopt;
    }
    StoredDocument out;
    if (cancellation) {
        out.valor = "0.00";
        out.numero = "CFeCanc" + key + "-CA";
    } else {
        const std::string& total = cupom.vCFe;
        if (!IsDecimal(total) || total.size() > 18) {
            reason = "valor total (total/vCFe) inválido: \"" + total.substr(0, 20) + "\"";
            return std::nullopt;
        }
        out.valor = total;
        out.numero = "CFe" + key + "-VD";
    }
    out.cnpj = cnpj;
    out.month = month;
    out.xml = std::move(text);
    return out;
}

namespace {

codec::Column Typed(std::string name, codec::DataType type, std::int32_t size = 0) {
    codec::Column c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    return c;
}

}  // namespace

codec::Dataset DocumentsTable(const std::string& alias) {
    using codec::DataType;
    codec::Column valor = Typed("AD_VALOR", DataType::FmtBCD);
    valor.precision = 15;
    valor.scale = 2;
    codec::Dataset ds;
    ds.name = "Query";
    // Texts are WideString columns as wide as their longest value (fitted while the rows are measured).
    ds.columns = {Typed("AD_CNPJ", DataType::WideString, 1),   Typed("AD_DATA", DataType::WideString, 1),
                  Typed("AD_NUMERO", DataType::WideString, 1), valor,
                  Typed("AD_XML", DataType::WideMemo),         Typed(alias, DataType::WideString, 1)};
    return ds;
}

DocumentsAnswer::DocumentsAnswer(Storage& storage, const std::string& cnpj, const std::string& month,
                                 const std::string& alias, const codec::WriteOptions& options)
    : rows_(storage.DocumentBatches(cnpj, month)),
      body_(
          std::make_unique<codec::ResultBodyStream>("Query", DocumentsTable(alias), *rows_, options, true)) {}

DocumentsAnswer::~DocumentsAnswer() {
    body_.reset();  // before the rows it reads
    rows_.reset();
    // A download's batches and blocks came from this thread's and the deflate
    // threads' allocator arenas: give that memory back to the system now,
    // so that the server does not keep it from one busy download to the next.
    malloc_trim(0);
}

std::size_t DocumentsAnswer::Next(char* buf, std::size_t cap) {
    return body_->Next(buf, cap);
}

}  // namespace kqz::server
