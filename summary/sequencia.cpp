#include "summary/sequencia.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>

namespace kqz::summary {

namespace {

constexpr int kMaiorNumero = 999999;

std::string Seis(std::int64_t n) {
    return FormatarNumero(n);
}

// The serial of a coupon: ide/nserieSAT, else the key's.
std::string SerieDe(const Cupom& c) {
    if (!c.serie.empty()) {
        return c.serie;
    }
    if (const auto k = DecomporChave(SemPrefixoCFe(c.id))) {
        return std::string(k->serie);
    }
    return {};
}

struct Doc {
    int numero = 0;
    std::int64_t pos = 0;  // position in the unit's numbering order
    const Cupom* cupom = nullptr;
    bool cancelada = false;
};

}  // namespace

std::string FormatarFaixa(const FaixaFaltante& f) {
    return f.de == f.ate ? Seis(f.de) : Seis(f.de) + "-" + Seis(f.ate);
}

Sequencias CalcularSequencias(const std::vector<Cupom>& cupons) {
    // Sales by key, to match the cancellations.
    std::unordered_map<std::string_view, std::size_t> vendas;
    for (std::size_t i = 0; i < cupons.size(); ++i) {
        if (cupons[i].tipo == TipoCupom::kVenda) {
            vendas.emplace(SemPrefixoCFe(cupons[i].id), i);
        }
    }
    std::vector<bool> cancelada(cupons.size(), false);
    std::vector<bool> casado(cupons.size(), false);  // a cancellation whose sale was read
    for (std::size_t i = 0; i < cupons.size(); ++i) {
        if (cupons[i].tipo != TipoCupom::kCancelamento) {
            continue;
        }
        const auto it = vendas.find(SemPrefixoCFe(cupons[i].chCanc));
        if (it != vendas.end()) {
            cancelada[it->second] = true;
            casado[i] = true;
        }
    }

    std::map<std::string, std::vector<std::size_t>> por_serie;
    for (std::size_t i = 0; i < cupons.size(); ++i) {
        if (cupons[i].tipo != TipoCupom::kDesconhecido) {
            por_serie[SerieDe(cupons[i])].push_back(i);
        }
    }

    Sequencias out;
    for (const auto& [serie, indices] : por_serie) {
        SequenciaSat sat;
        sat.serie = serie;
        std::vector<Doc> docs;
        for (const std::size_t i : indices) {
            const Cupom& c = cupons[i];
            const std::optional<std::int64_t> n = LerInteiro(c.numero);
            if (c.tipo == TipoCupom::kVenda) {
                ++sat.cupons;
                if (cancelada[i]) {
                    ++sat.cancelados;
                } else {
                    sat.valor += c.valor.value_or(0.0);
                }
            } else {
                ++sat.cancelamentos;
            }
            if (!n || *n < 1 || *n > kMaiorNumero) {
                sat.sem_numero.push_back(c.arquivo);
                continue;
            }
            docs.push_back(Doc{static_cast<int>(*n), *n, &c, cancelada[i]});
            if (c.tipo == TipoCupom::kCancelamento && !casado[i]) {
                CancelamentoAvulso a;
                a.numero = static_cast<int>(*n);
                a.data = DataBr(c.dEmi);
                if (const auto k = DecomporChave(SemPrefixoCFe(c.chCanc))) {
                    a.numero_venda = std::string(k->numero);
                    a.mes_venda =
                        std::string(k->aamm.substr(2, 2)) + "/20" + std::string(k->aamm.substr(0, 2));
                    // The key's AAMM against the cancellation's own yyyymmdd.
                    a.mes_anterior = c.dEmi.size() == 8 && std::string_view(c.dEmi).substr(2, 4) > k->aamm;
                }
                sat.avulsos.push_back(std::move(a));
            }
        }
        if (!docs.empty()) {
            std::vector<int> numeros;
            numeros.reserve(docs.size());
            for (const Doc& d : docs) {
                numeros.push_back(d.numero);
            }
            std::sort(numeros.begin(), numeros.end());
            numeros.erase(std::unique(numeros.begin(), numeros.end()), numeros.end());
            // The widest hole between neighbours against the hole across the
            // restart (after the last number up to 999999, then 1 up to the
            // first): when a hole inside is wider, the counter restarted and
            // the sequence begins after that hole.
            std::size_t maior = 0;
            int maior_buraco = -1;
            for (std::size_t i = 0; i + 1 < numeros.size(); ++i) {
                const int buraco = numeros[i + 1] - numeros[i] - 1;
                if (buraco > maior_buraco) {
                    maior_buraco = buraco;
                    maior = i;
                }
            }
            const int buraco_reinicio = (kMaiorNumero - numeros.back()) + (numeros.front() - 1);
            const int inicio = maior_buraco > buraco_reinicio ? numeros[maior + 1] : numeros.front();
            sat.reiniciou = maior_buraco > buraco_reinicio;
            for (Doc& d : docs) {
                d.pos = d.numero >= inicio ? d.numero : static_cast<std::int64_t>(d.numero) + kMaiorNumero;
            }
            std::stable_sort(docs.begin(), docs.end(),
                             [](const Doc& a, const Doc& b) { return a.pos < b.pos; });
            sat.primeiro = docs.front().numero;
            sat.ultimo = docs.back().numero;
            auto numero_de = [](std::int64_t pos) {
                return static_cast<int>(pos > kMaiorNumero ? pos - kMaiorNumero : pos);
            };
            for (std::size_t i = 0; i + 1 < docs.size(); ++i) {
                const std::int64_t de = docs[i].pos + 1;
                const std::int64_t ate = docs[i + 1].pos - 1;
                if (ate < de) {
                    continue;
                }
                sat.faltantes += ate - de + 1;
                // A hole across the restart is two ranges.
                if (de <= kMaiorNumero && ate > kMaiorNumero) {
                    sat.faixas.push_back({numero_de(de), kMaiorNumero});
                    sat.faixas.push_back({1, numero_de(ate)});
                } else {
                    sat.faixas.push_back({numero_de(de), numero_de(ate)});
                }
            }
            std::map<std::string, DiaSat> dias;
            for (const Doc& d : docs) {
                const Cupom& c = *d.cupom;
                DiaSat& dia = dias[c.dEmi];
                if (dia.data.empty()) {
                    dia.data = DataBr(c.dEmi);
                    dia.primeiro = d.numero;
                }
                dia.ultimo = d.numero;  // docs are in numbering order
                if (c.tipo == TipoCupom::kVenda) {
                    ++dia.cupons;
                    if (d.cancelada) {
                        ++dia.cancelados;
                    } else {
                        dia.valor += c.valor.value_or(0.0);
                    }
                }
            }
            for (auto& [data, dia] : dias) {
                sat.dias.push_back(std::move(dia));
            }
        }
        out.sats.push_back(std::move(sat));
    }
    return out;
}

std::vector<std::string> LinhasSequencia(const Sequencias& seq, const std::string& cnpj,
                                         const std::string& nome, const NumberFormat& format) {
    std::vector<std::string> l;
    l.push_back("Empresa: " + cnpj + " - " + nome);
    l.push_back("");
    const std::string sep = "+------------+----------+----------+--------+------------+---------------+";
    if (seq.sats.empty()) {
        l.push_back("Nenhum CF-e lido.");
        return l;
    }
    for (const SequenciaSat& s : seq.sats) {
        l.push_back("SAT " + (s.serie.empty() ? std::string("(sem número de série)") : s.serie));
        l.push_back("  Primeiro: " + Seis(s.primeiro) + "   Último: " + Seis(s.ultimo) +
                    (s.reiniciou ? "   (a numeração reiniciou após 999999)" : ""));
        l.push_back(
            "  Cupons: " + std::to_string(s.cupons) + "   Cancelamentos: " + std::to_string(s.cancelamentos) +
            "   Cancelados: " + std::to_string(s.cancelados) + "   Valor: " + FormatarValor(s.valor, format));
        if (s.faixas.empty()) {
            l.push_back("  Faltantes: nenhum");
        } else {
            l.push_back("  Faltantes: " + std::to_string(s.faltantes));
            for (const FaixaFaltante& f : s.faixas) {
                l.push_back("    " + FormatarFaixa(f));
            }
        }
        for (const CancelamentoAvulso& a : s.avulsos) {
            const std::string venda = a.numero_venda.empty() ? std::string("(chCanc inválido)")
                                                             : a.numero_venda + " de " + a.mes_venda;
            if (a.mes_anterior) {
                l.push_back("  " + venda + ": " + std::string(kCanceladoNoMesSeguinte) + " (cancelamento " +
                            Seis(a.numero) + " de " + a.data + ")");
            } else {
                l.push_back("  " + venda + ": venda cancelada não encontrada (cancelamento " +
                            Seis(a.numero) + " de " + a.data + ")");
            }
        }
        for (const std::string& f : s.sem_numero) {
            l.push_back("  Sem número válido (nCFe): " + f);
        }
        if (!s.dias.empty()) {
            l.push_back("  " + sep);
            l.push_back("  | DATA       | PRIMEIRO | ULTIMO   | CUPONS | CANCELADOS |         VALOR |");
            l.push_back("  " + sep);
            for (const DiaSat& d : s.dias) {
                l.push_back("  | " + Espacar(d.data, "E", 9) + " | " + Espacar(Seis(d.primeiro), "E", 7) +
                            " | " + Espacar(Seis(d.ultimo), "E", 7) + " | " +
                            Espacar(std::to_string(d.cupons), "D", 5) + " | " +
                            Espacar(std::to_string(d.cancelados), "D", 9) + " | " +
                            Espacar(FormatarValor(d.valor, format), "D", 12) + " |");
            }
            l.push_back("  " + sep);
        }
        l.push_back("");
    }
    l.pop_back();  // no empty line at the end
    return l;
}

std::string NomeArquivoSequencia(const std::string& mmmaa, const std::string& cnpj) {
    return "Sequencia_" + mmmaa + "_" + cnpj + ".txt";
}

std::string MesAbreviado(int ano, int mes) {
    static constexpr std::array<const char*, 12> kMeses{"jan", "fev", "mar", "abr", "mai", "jun",
                                                        "jul", "ago", "set", "out", "nov", "dez"};
    if (mes < 1 || mes > 12) {
        return {};
    }
    const int aa = ((ano % 100) + 100) % 100;
    return std::string(kMeses[static_cast<std::size_t>(mes - 1)]) + (aa < 10 ? "0" : "") + std::to_string(aa);
}

}  // namespace kqz::summary
