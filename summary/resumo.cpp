#include "summary/resumo.hpp"

#include <array>
#include <charconv>
#include <optional>

#include "summary/error.hpp"

namespace kqz::summary {

namespace {

constexpr std::string_view kSeparador =
    "+------------+------------+---------------+------+---------------+------------------------------+";
constexpr std::string_view kCabecalho =
    "| DATA       | NUMERO CFe |   VALOR TOTAL | CFOP | VALOR P/ CFOP | OBSERVACOES                  |";
constexpr std::string_view kFimLinhaFalta =
    " |  ** FALTA **  |      |               |                              |";
constexpr std::array<std::string_view, 3> kCabecalhoTotais{
    "+-----------------------+ ", "|    TOTAIS POR CFOP    |", "+-------+---------------+"};
constexpr std::string_view kSeparadorTotais = "+-------+---------------+";
constexpr std::string_view kFimTotais = "+-------+---------------+ ";
constexpr std::array<std::string_view, 5> kCabecalhoSequencia{"", "", "+---------------------------+",
                                                              "|    SEQUENCIA DE CUPONS    |",
                                                              "+------------+--------------+"};
constexpr std::string_view kFimSequencia = "+------------+--------------+";

std::string R(std::string_view s, int w) {
    return Espacar(s, "D", w);
}
std::string L(std::string_view s, int w) {
    return Espacar(s, "E", w);
}

// Shortest fixed-point text of a counter (whole numbers print without decimals).
std::string Contador(double v) {
    std::array<char, 64> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed);
    return std::string(buf.data(), res.ptr);
}

class Progresso {
  public:
    Progresso(ProgressSink& sink, double max) : sink_(sink), max_(max) {
        sink_.SetMax(max_);
        sink_.SetValue(0);
    }
    void Avancar() {
        ++value_;
        sink_.SetValue(value_);
        Mostrar();
    }
    void Mostrar() {
        sink_.SetText(std::string(kPreparandoRelatorio) + Contador(value_) + "/" + Contador(max_));
        sink_.Pump();
    }

  private:
    ProgressSink& sink_;
    double max_;
    double value_ = 0;
};

// Sums the group of items of one CFOP from the cursor on; the cursor ends on
// the first item of the next group (or at the end).
void SomarGrupo(CfopTable& itens, std::string& cfop, double& total) {
    cfop = itens.Eof() ? std::string() : itens.Current().CFOP;
    total = 0.0;
    while (!itens.Eof() && itens.Current().CFOP == cfop) {
        total += itens.Current().ValTot;
        itens.Next();
    }
}

std::int64_t NumeroInteiro(const std::string& numdoc) {
    const std::optional<std::int64_t> n = LerInteiro(numdoc);
    if (!n) {
        throw ResumoError("CFe de número \"" + numdoc + "\": o número do documento não é um número inteiro");
    }
    return *n;
}

}  // namespace

std::vector<std::string> LinhasDeCabecalho(const std::string& cnpj, const std::string& nome) {
    return {"Empresa: " + cnpj + " - " + nome, ""};
}

void ComporResumo(SummaryTables& tables, std::vector<std::string>& memo2, const NumberFormat& format,
                  ProgressSink& progress) {
    DoctoTable& doctos = tables.memTable_Docto;
    CfopTable& itens = tables.memTable_CFOP;
    std::vector<std::string> memo3;

    doctos.First();  // narrows the items to the first document
    const bool vazia = doctos.RecordCount() == 0;
    Progresso barra(progress,
                    static_cast<double>(doctos.RecordCount()) + 3.0 * static_cast<double>(itens.ViewCount()));

    memo3.push_back("| " + R(vazia ? std::string_view() : doctos.Current().CZ_NUMDOC, 9) +
                    " | Primeiro     |");
    memo2.emplace_back(kSeparador);
    memo2.emplace_back(kCabecalho);
    memo2.emplace_back(kSeparador);

    std::uint64_t faltas = 0;
    std::string cfop;
    double soma = 0.0;
    while (!doctos.Eof()) {
        barra.Avancar();
        const DoctoRow& doc = doctos.Current();
        const std::string valor = FormatarValor(doc.CZ_VALORCFE.value_or(0.0), format);

        SomarGrupo(itens, cfop, soma);
        memo2.push_back("| " + doc.CZ_DATA + " | " + R(doc.CZ_NUMDOC, 9) + " | " + R(valor, 12) + " | " +
                        L(cfop, 4) + "| " + R(FormatarValor(soma, format), 12) + " | " +
                        L(doc.CZ_OBSERV, 27) + " |");
        while (!itens.Eof()) {
            barra.Mostrar();
            SomarGrupo(itens, cfop, soma);
            memo2.push_back("|            | " + R("", 9) + " | " + R("", 12) + " | " + cfop + " | " +
                            R(FormatarValor(soma, format), 12) + " |");
        }
        memo2.emplace_back(kSeparador);

        // Gap rule: every number strictly between this one and the next (in
        // table order) is missing. Past the last row the next is this one.
        const std::int64_t atual = NumeroInteiro(doc.CZ_NUMDOC);
        doctos.Next();
        const std::int64_t proximo = NumeroInteiro(doctos.Current().CZ_NUMDOC);
        if (proximo > atual) {
            // The difference of two int64 fits in uint64 when proximo > atual.
            const std::uint64_t faltando =
                static_cast<std::uint64_t>(proximo) - static_cast<std::uint64_t>(atual) - 1;
            if (faltando > kMaxFaltas - faltas) {
                throw ResumoError("Números de CFe \"" + doc.CZ_NUMDOC + "\" e \"" +
                                  doctos.Current().CZ_NUMDOC + "\": faltariam mais de " +
                                  std::to_string(kMaxFaltas) +
                                  " números no relatório; estes não são números de cupom válidos");
            }
            faltas += faltando;
            for (std::int64_t k = atual + 1; k < proximo; ++k) {
                const std::string n = R(FormatarNumero(k), 9);
                memo2.push_back("|            | " + n + std::string(kFimLinhaFalta));
                memo3.push_back("| " + n + " | ***FALTA *** |");
            }
        }
    }
    memo3.push_back("| " + R(vazia ? std::string_view() : doctos.Current().CZ_NUMDOC, 9) +
                    " | Ultimo       |");

    for (std::string_view linha : kCabecalhoTotais) {
        memo2.emplace_back(linha);
    }
    itens.ClearFilter();
    itens.First();
    double total_geral = 0.0;
    while (!itens.Eof()) {
        barra.Mostrar();
        SomarGrupo(itens, cfop, soma);
        total_geral += soma;
        memo2.push_back("|  " + cfop + " | " + R(FormatarValor(soma, format), 12) + " |");
    }

    memo2.emplace_back(kSeparadorTotais);
    memo2.push_back("|       | " + R(FormatarValor(total_geral, format), 12) + " |");
    memo2.emplace_back(kFimTotais);
    for (std::string_view linha : kCabecalhoSequencia) {
        memo2.emplace_back(linha);
    }
    for (std::string& linha : memo3) {
        memo2.push_back(std::move(linha));
    }
    memo2.emplace_back(kFimSequencia);
}

}  // namespace kqz::summary
