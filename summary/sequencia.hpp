#pragma once

// Coupon sequences per SAT unit. Every SAT unit (serial number, ide/nserieSAT)
// numbers its documents on its own counter, shared by sales and
// cancellations, so gaps are looked for per unit:
//   - a number taken by a cancellation is not a gap;
//   - the counter restarts after 999999: going from 999999 to 000001 is not a
//     gap (a unit whose numbers sit near both ends is read as having wrapped);
//   - a cancellation is matched to its sale by chCanc (the sale's key), so a
//     sale of one month cancelled early in the next is matched when both
//     months are read together; a cancellation whose sale is of an earlier
//     month and was not read is reported as "cancelado no mês seguinte".
// Per unit and day (the document's own ide/dEmi): first and last number,
// coupons (sales), cancelled (of those sales) and value (sales not cancelled),
// the figures of the tax authority's monthly support report.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "summary/cupom.hpp"
#include "summary/numbers.hpp"

namespace kqz::summary {

inline constexpr std::string_view kCanceladoNoMesSeguinte = "cancelado no mês seguinte";

// Missing numbers de..ate (inclusive).
struct FaixaFaltante {
    int de = 0;
    int ate = 0;
};

// "000120-000125", or "000120" for one number.
std::string FormatarFaixa(const FaixaFaltante& f);

struct DiaSat {
    std::string data;  // dd/mm/yyyy
    int primeiro = 0;  // in the unit's numbering order
    int ultimo = 0;
    int cupons = 0;      // sales issued that day
    int cancelados = 0;  // of those, cancelled
    double valor = 0;    // sales of the day not cancelled
};

// A cancellation read without its sale.
struct CancelamentoAvulso {
    int numero = 0;             // the cancellation's own number
    std::string data;           // its date, dd/mm/yyyy
    std::string numero_venda;   // nCFe of the cancelled sale (from chCanc)
    std::string mes_venda;      // mm/aaaa of the sale (from chCanc)
    bool mes_anterior = false;  // the sale is of an earlier month: "cancelado no mês seguinte"
};

struct SequenciaSat {
    std::string serie;
    int primeiro = 0;  // first and last number in the unit's numbering order
    int ultimo = 0;
    bool reiniciou = false;      // the counter passed 999999 within what was read
    int cupons = 0;              // sales
    int cancelamentos = 0;       // cancellation documents
    int cancelados = 0;          // sales cancelled (matched)
    double valor = 0;            // sales not cancelled
    std::int64_t faltantes = 0;  // missing numbers in all ranges
    std::vector<FaixaFaltante> faixas;
    std::vector<DiaSat> dias;  // in date order
    std::vector<CancelamentoAvulso> avulsos;
    std::vector<std::string> sem_numero;  // files whose nCFe is not a number 1..999999
};

struct Sequencias {
    std::vector<SequenciaSat> sats;  // in serial order
};

// Computes the sequences of every unit from the coupons read (any order; two
// months may be mixed). Documents of an unknown kind are left out.
Sequencias CalcularSequencias(const std::vector<Cupom>& cupons);

// The sequences as text lines (UTF-8), below the two heading lines
// "Empresa: CNPJ - name" and an empty line.
std::vector<std::string> LinhasSequencia(const Sequencias& seq, const std::string& cnpj,
                                         const std::string& nome, const NumberFormat& format);

// "Sequencia_" + mmmaa + "_" + CNPJ + ".txt", as the summary's "Resumo_" name.
std::string NomeArquivoSequencia(const std::string& mmmaa, const std::string& cnpj);

// The month's abbreviated Brazilian Portuguese name and two-digit year
// ("mar21"), as the summary file name shows it.
std::string MesAbreviado(int ano, int mes);

}  // namespace kqz::summary
