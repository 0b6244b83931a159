#pragma once

// The facts of one CF-e that the per-SAT sequences, the spreadsheets and the
// checks work with, read by position in the document (CFe|CFeCanc / infCFe /
// ide, emit, det, total) rather than by the report's "last element of a name
// anywhere" rule; and the 44-digit access key taken apart.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
}

namespace kqz::summary {

enum class TipoCupom {
    kVenda,         // root CFe
    kCancelamento,  // root CFeCanc
    kDesconhecido,  // any other root
};

struct ItemCupom {
    std::string cfop;
    std::optional<double> valor;  // vItem; empty when missing or not a number
};

struct Cupom {
    std::string arquivo;  // path the coupon was read from
    TipoCupom tipo = TipoCupom::kDesconhecido;
    std::string id;      // infCFe/@Id as written ("CFe" + 44 digits)
    std::string chCanc;  // infCFe/@chCanc of a cancellation, as written
    std::string cUF;     // ide/...
    std::string mod;
    std::string serie;   // ide/nserieSAT
    std::string numero;  // ide/nCFe
    std::string dEmi;    // ide/dEmi (the document's own date, yyyymmdd)
    std::string hEmi;    // ide/hEmi
    std::string cDV;
    std::string cnpj;  // emit/CNPJ
    std::string nome;  // emit/xNome
    std::string fantasia;
    std::string vCFe;              // total/vCFe as written
    std::optional<double> valor;   // vCFe read as a number
    std::vector<ItemCupom> itens;  // det/prod of a sale, in document order
};

// The key without its "CFe" prefix (compared case-insensitively, as early
// devices wrote "Cfe"); the text itself when there is no prefix.
std::string_view SemPrefixoCFe(std::string_view id);

// Check digit of the first 43 digits of an access key: module 11, weights 2..9
// from the rightmost digit; 0 when the remainder is 0 or 1. -1 when the text
// is not 43 decimal digits.
int DigitoVerificadorChave(std::string_view digitos43);

// The fields of a 44-digit key (by position; no field is checked here).
struct ChaveAcesso {
    std::string_view cUF;     // digits 1-2
    std::string_view aamm;    // 3-6, year and month of issue
    std::string_view cnpj;    // 7-20, emitter
    std::string_view mod;     // 21-22, "59"
    std::string_view serie;   // 23-31, nserieSAT
    std::string_view numero;  // 32-37, nCFe
    std::string_view cNF;     // 38-43
    std::string_view cDV;     // 44
};

// nullopt when `chave` is not 44 decimal digits. The views point into `chave`.
std::optional<ChaveAcesso> DecomporChave(std::string_view chave);

// Reads the facts of a parsed CF-e.
Cupom ExtrairCupom(const pugi::xml_document& doc, const std::string& arquivo);

// "yyyymmdd" as "dd/mm/yyyy"; the text itself when it is not 8 digits.
std::string DataBr(std::string_view aaaammdd);

}  // namespace kqz::summary
