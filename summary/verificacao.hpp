#pragma once

// Checks of the coupons of a month, beside the summary (they read the files
// on their own, on every core, and never change what the report shows).
//
// Per document:
//   - the access key (infCFe/@Id): "CFe" + 44 digits, module-11 check digit,
//     model 59, and its CNPJ, year/month, serial and number agree with
//     emit/CNPJ, ide/dEmi, ide/nserieSAT and ide/nCFe;
//   - a cancellation's chCanc: a well-formed key of the same company;
//   - the XML-DSig signature over infCFe (RSA-SHA256, inclusive C14N, SHA-256
//     digest) with the certificate the coupon carries; the certificate's
//     chain is not checked (the SAT's authority is not at hand). Any change
//     of the signed content shows as "assinatura inválida".
// Across documents: the same key twice, coupons of another company (than
// `OpcoesVerificacao::cnpj`, else the most common emitter) and coupons of
// another month than most of their folder's.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "summary/progress.hpp"

namespace kqz::summary {

inline constexpr std::string_view kAssinaturaInvalida = "assinatura inválida";

struct Problema {
    std::string arquivo;
    std::string serie;   // ide/nserieSAT when it could be read
    std::string numero;  // ide/nCFe when it could be read
    std::string descricao;
};

struct OpcoesVerificacao {
    std::optional<std::string> cnpj;  // the company the folder belongs to
    unsigned threads = 0;             // 0: one per core
    bool assinaturas = true;          // false: keys and cross checks only
};

struct Verificacao {
    std::size_t documentos = 0;
    std::vector<Problema> problemas;  // per document in file order, then across documents
};

// Checks the files (as ListarArquivosXml lists them). Problems reading a file
// are problems of that file, never exceptions. Progress: "Verificando i/n"
// from the calling thread (Pump() too), while worker threads check.
Verificacao VerificarArquivos(const std::vector<std::string>& files, const OpcoesVerificacao& opcoes,
                              ProgressSink& progress);

// The checks of one document text (no cross checks); `arquivo` names it.
std::vector<Problema> VerificarDocumento(const std::string& arquivo, std::string_view texto,
                                         bool assinaturas = true);

// The problems as text lines, below "Empresa: CNPJ - name" and an empty line;
// the last line says how many documents were checked and how many problems
// were found ("Nenhum problema encontrado." when none).
std::vector<std::string> LinhasVerificacao(const Verificacao& v, const std::string& cnpj,
                                           const std::string& nome);

}  // namespace kqz::summary
