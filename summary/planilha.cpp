#include "summary/planilha.hpp"

#include <xlsxwriter.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <tuple>
#include <unordered_map>

#include "summary/error.hpp"
#include "summary/numbers.hpp"
#include "summary/salvar.hpp"

namespace kqz::summary {

namespace {

bool OitoDigitos(std::string_view s) {
    return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Which sales a cancellation read voids, by chCanc.
std::vector<bool> VendasCanceladas(const std::vector<Cupom>& cupons) {
    std::unordered_map<std::string_view, std::size_t> vendas;
    for (std::size_t i = 0; i < cupons.size(); ++i) {
        if (cupons[i].tipo == TipoCupom::kVenda) {
            vendas.emplace(SemPrefixoCFe(cupons[i].id), i);
        }
    }
    std::vector<bool> cancelada(cupons.size(), false);
    for (const Cupom& c : cupons) {
        if (c.tipo == TipoCupom::kCancelamento) {
            const auto it = vendas.find(SemPrefixoCFe(c.chCanc));
            if (it != vendas.end()) {
                cancelada[it->second] = true;
            }
        }
    }
    return cancelada;
}

// The money text of a CSV cell: decimal comma, two decimals, no grouping.
std::string ValorCsv(double v) {
    NumberFormat f;
    f.decimal = ",";
    f.thousands = "";
    return FormatarValor(v, f);
}

std::string TextoDaCelula(const Celula& c) {
    switch (c.tipo) {
        case Celula::Tipo::kVazia:
            return {};
        case Celula::Tipo::kTexto:
            return c.texto;
        case Celula::Tipo::kValor:
            return ValorCsv(c.numero);
        case Celula::Tipo::kNumeroCfe:
            return FormatarNumero(static_cast<std::int64_t>(c.numero));
        case Celula::Tipo::kInteiro:
            return std::to_string(static_cast<std::int64_t>(c.numero));
        case Celula::Tipo::kData:
            return DataBr(c.texto);
    }
    return {};
}

std::string CampoCsv(const std::string& s) {
    if (s.find_first_of(";\"\r\n") == std::string::npos) {
        return s;
    }
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"') {
            out += '"';
        }
        out += ch;
    }
    out += '"';
    return out;
}

// Width in characters of what a cell shows (money with its grouping dots).
std::size_t Largura(const Celula& c) {
    if (c.tipo == Celula::Tipo::kValor) {
        return FormatarValor(c.numero, BrazilianNumberFormat()).size();
    }
    return Comprimento(TextoDaCelula(c));
}

[[noreturn]] void FalhaXlsx(const std::string& path, lxw_error err) {
    throw ResumoError("Não foi possível gravar a planilha em \"" + path + "\": " + lxw_strerror(err));
}

}  // namespace

Celula Texto(std::string s) {
    Celula c;
    c.tipo = Celula::Tipo::kTexto;
    c.texto = std::move(s);
    return c;
}
Celula Valor(double v) {
    Celula c;
    c.tipo = Celula::Tipo::kValor;
    c.numero = v;
    return c;
}
Celula NumeroCfe(std::int64_t n) {
    Celula c;
    c.tipo = Celula::Tipo::kNumeroCfe;
    c.numero = static_cast<double>(n);
    return c;
}
Celula Inteiro(std::int64_t n) {
    Celula c;
    c.tipo = Celula::Tipo::kInteiro;
    c.numero = static_cast<double>(n);
    return c;
}
Celula Data(std::string aaaammdd) {
    if (!OitoDigitos(aaaammdd)) {
        return Texto(std::move(aaaammdd));
    }
    Celula c;
    c.tipo = Celula::Tipo::kData;
    c.texto = std::move(aaaammdd);
    return c;
}

std::vector<Tabela> TabelasDoMes(const std::vector<Cupom>& cupons, const Sequencias& seq,
                                 const Verificacao* verificacao) {
    const std::vector<bool> cancelada = VendasCanceladas(cupons);
    std::set<std::string> cfops;
    for (const Cupom& c : cupons) {
        for (const ItemCupom& i : c.itens) {
            cfops.insert(i.cfop);
        }
    }
    const std::vector<std::string> lista_cfops(cfops.begin(), cfops.end());

    std::vector<Tabela> out;
    Tabela docs;
    docs.nome = "Documentos";
    docs.cabecalho = {"Data", "Número", "SAT", "Chave", "Situação", "Valor"};
    docs.cabecalho.insert(docs.cabecalho.end(), lista_cfops.begin(), lista_cfops.end());
    std::vector<std::size_t> ordem(cupons.size());
    for (std::size_t i = 0; i < ordem.size(); ++i) {
        ordem[i] = i;
    }
    std::stable_sort(ordem.begin(), ordem.end(), [&](std::size_t a, std::size_t b) {
        const Cupom& x = cupons[a];
        const Cupom& y = cupons[b];
        return std::tie(x.dEmi, x.hEmi, x.serie, x.numero) < std::tie(y.dEmi, y.hEmi, y.serie, y.numero);
    });
    std::map<std::string, double> total_cfop;
    std::map<std::string, std::int64_t> itens_cfop;
    for (const std::size_t i : ordem) {
        const Cupom& c = cupons[i];
        if (c.tipo == TipoCupom::kDesconhecido) {
            continue;
        }
        std::vector<Celula> row;
        row.push_back(Data(c.dEmi));
        const auto n = LerInteiro(c.numero);
        row.push_back(n ? NumeroCfe(*n) : Texto(c.numero));
        row.push_back(Texto(c.serie));
        row.push_back(Texto(std::string(SemPrefixoCFe(c.id))));
        const bool venda = c.tipo == TipoCupom::kVenda;
        row.push_back(Texto(!venda ? "Cancelamento" : cancelada[i] ? "Cancelada" : "Venda"));
        row.push_back(venda && c.valor ? Valor(*c.valor) : Celula{});
        std::map<std::string, double> por_cfop;
        for (const ItemCupom& item : c.itens) {
            por_cfop[item.cfop] += item.valor.value_or(0.0);
            if (venda && !cancelada[i]) {
                total_cfop[item.cfop] += item.valor.value_or(0.0);
                ++itens_cfop[item.cfop];
            }
        }
        for (const std::string& cfop : lista_cfops) {
            const auto it = por_cfop.find(cfop);
            row.push_back(it != por_cfop.end() ? Valor(it->second) : Celula{});
        }
        docs.linhas.push_back(std::move(row));
    }
    out.push_back(std::move(docs));

    Tabela cfop;
    cfop.nome = "CFOP";
    cfop.cabecalho = {"CFOP", "Itens", "Valor"};
    double total = 0;
    std::int64_t itens = 0;
    for (const auto& [codigo, valor] : total_cfop) {
        cfop.linhas.push_back({Texto(codigo), Inteiro(itens_cfop[codigo]), Valor(valor)});
        total += valor;
        itens += itens_cfop[codigo];
    }
    cfop.linhas.push_back({Texto("Total"), Inteiro(itens), Valor(total)});
    out.push_back(std::move(cfop));

    Tabela sat;
    sat.nome = "Sequência por SAT";
    sat.cabecalho = {"SAT",        "Primeiro", "Último",    "Cupons",           "Cancelamentos",
                     "Cancelados", "Valor",    "Faltantes", "Números faltantes"};
    for (const SequenciaSat& s : seq.sats) {
        std::string faixas;
        for (const FaixaFaltante& f : s.faixas) {
            if (faixas.size() > 32000) {  // a cell holds at most 32,767 characters
                faixas += ", ...";
                break;
            }
            faixas += (faixas.empty() ? "" : ", ") + FormatarFaixa(f);
        }
        sat.linhas.push_back({Texto(s.serie), NumeroCfe(s.primeiro), NumeroCfe(s.ultimo), Inteiro(s.cupons),
                              Inteiro(s.cancelamentos), Inteiro(s.cancelados), Valor(s.valor),
                              Inteiro(s.faltantes), Texto(faixas)});
    }
    sat.linhas.push_back({});
    sat.titulos.push_back(sat.linhas.size());
    sat.linhas.push_back({Texto("SAT"), Texto("Data"), Texto("Primeiro"), Texto("Último"), Texto("Cupons"),
                          Texto("Cancelados"), Texto("Valor")});
    for (const SequenciaSat& s : seq.sats) {
        for (const DiaSat& d : s.dias) {
            std::string aaaammdd = d.data.size() == 10
                                       ? d.data.substr(6, 4) + d.data.substr(3, 2) + d.data.substr(0, 2)
                                       : d.data;
            sat.linhas.push_back({Texto(s.serie), Data(std::move(aaaammdd)), NumeroCfe(d.primeiro),
                                  NumeroCfe(d.ultimo), Inteiro(d.cupons), Inteiro(d.cancelados),
                                  Valor(d.valor)});
        }
    }
    out.push_back(std::move(sat));

    if (verificacao != nullptr) {
        Tabela v;
        v.nome = "Verificação";
        v.cabecalho = {"Arquivo", "SAT", "Número", "Problema"};
        for (const Problema& p : verificacao->problemas) {
            v.linhas.push_back({Texto(p.arquivo), Texto(p.serie), Texto(p.numero), Texto(p.descricao)});
        }
        out.push_back(std::move(v));
    }
    return out;
}

LinhaEmpresa LinhaDaEmpresa(const std::string& cnpj, const std::string& nome,
                            const std::vector<Cupom>& cupons, const Sequencias& seq,
                            const std::string& situacao) {
    LinhaEmpresa e;
    e.cnpj = cnpj;
    e.nome = nome;
    e.situacao = situacao;
    const std::vector<bool> cancelada = VendasCanceladas(cupons);
    for (std::size_t i = 0; i < cupons.size(); ++i) {
        const Cupom& c = cupons[i];
        if (c.tipo != TipoCupom::kVenda) {
            continue;
        }
        ++e.cupons;
        if (cancelada[i]) {
            ++e.cancelados;
            continue;
        }
        e.valor_vendido += c.valor.value_or(0.0);
        for (const ItemCupom& item : c.itens) {
            e.por_cfop[item.cfop] += item.valor.value_or(0.0);
        }
    }
    e.sats = static_cast<std::int64_t>(seq.sats.size());
    for (const SequenciaSat& s : seq.sats) {
        e.faltantes += s.faltantes;
    }
    return e;
}

Tabela TabelaEmpresas(const std::vector<LinhaEmpresa>& empresas) {
    std::set<std::string> cfops;
    for (const LinhaEmpresa& e : empresas) {
        for (const auto& [cfop, valor] : e.por_cfop) {
            cfops.insert(cfop);
        }
    }
    Tabela t;
    t.nome = "Empresas";
    t.cabecalho = {"CNPJ", "Nome", "Cupons", "Cancelados", "Valor vendido"};
    t.cabecalho.insert(t.cabecalho.end(), cfops.begin(), cfops.end());
    t.cabecalho.insert(t.cabecalho.end(), {"SATs", "Cupons faltantes", "Situação"});
    for (const LinhaEmpresa& e : empresas) {
        std::vector<Celula> row{Texto(e.cnpj), Texto(e.nome), Inteiro(e.cupons), Inteiro(e.cancelados),
                                Valor(e.valor_vendido)};
        for (const std::string& cfop : cfops) {
            const auto it = e.por_cfop.find(cfop);
            row.push_back(it != e.por_cfop.end() ? Valor(it->second) : Celula{});
        }
        row.push_back(Inteiro(e.sats));
        row.push_back(Inteiro(e.faltantes));
        row.push_back(Texto(e.situacao));
        t.linhas.push_back(std::move(row));
    }
    return t;
}

void SalvarXlsx(const std::string& path, const std::vector<Tabela>& tabelas) {
    SalvarPorTemporario(path, "a planilha", [&](const std::string& temp) {
        lxw_workbook_options opcoes{};
        opcoes.constant_memory = LXW_TRUE;  // rows go to disk as they are written
        lxw_workbook* wb = workbook_new_opt(temp.c_str(), &opcoes);
        if (wb == nullptr) {
            throw ResumoError("Não foi possível gravar a planilha em \"" + path +
                              "\": erro ao criar o arquivo");
        }
        lxw_format* cabecalho = workbook_add_format(wb);
        format_set_bold(cabecalho);
        format_set_bottom(cabecalho, LXW_BORDER_THIN);
        lxw_format* valor = workbook_add_format(wb);
        format_set_num_format(valor, "#,##0.00");
        lxw_format* numero = workbook_add_format(wb);
        format_set_num_format(numero, "000000");
        lxw_format* inteiro = workbook_add_format(wb);
        format_set_num_format(inteiro, "0");
        lxw_format* data = workbook_add_format(wb);
        format_set_num_format(data, "dd/mm/yyyy");
        for (const Tabela& t : tabelas) {
            lxw_worksheet* ws = workbook_add_worksheet(wb, t.nome.c_str());
            if (ws == nullptr) {
                workbook_close(wb);
                throw ResumoError("Não foi possível gravar a planilha em \"" + path +
                                  "\": nome de aba inválido \"" + t.nome + "\"");
            }
            std::size_t colunas = t.cabecalho.size();
            std::vector<std::size_t> larguras(colunas, 0);
            for (std::size_t c = 0; c < colunas; ++c) {
                larguras[c] = Comprimento(t.cabecalho[c]);
            }
            for (const auto& row : t.linhas) {
                if (row.size() > larguras.size()) {
                    larguras.resize(row.size(), 0);
                }
                for (std::size_t c = 0; c < row.size(); ++c) {
                    larguras[c] = std::max(larguras[c], Largura(row[c]));
                }
            }
            for (std::size_t c = 0; c < larguras.size(); ++c) {
                const double w = static_cast<double>(std::clamp<std::size_t>(larguras[c] + 2, 6, 80));
                worksheet_set_column(ws, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), w, nullptr);
            }
            worksheet_freeze_panes(ws, 1, 0);
            const std::size_t fim_tabela = t.titulos.empty() ? t.linhas.size() : t.titulos.front();
            std::size_t fim_filtro = fim_tabela;
            while (fim_filtro > 0 && t.linhas[fim_filtro - 1].empty()) {
                --fim_filtro;
            }
            if (colunas > 0) {
                worksheet_autofilter(ws, 0, 0, static_cast<lxw_row_t>(fim_filtro),
                                     static_cast<lxw_col_t>(colunas - 1));
            }
            for (std::size_t c = 0; c < colunas; ++c) {
                worksheet_write_string(ws, 0, static_cast<lxw_col_t>(c), t.cabecalho[c].c_str(), cabecalho);
            }
            for (std::size_t r = 0; r < t.linhas.size(); ++r) {
                const auto linha = static_cast<lxw_row_t>(r + 1);
                const bool titulo = std::find(t.titulos.begin(), t.titulos.end(), r) != t.titulos.end();
                const auto& row = t.linhas[r];
                for (std::size_t c = 0; c < row.size(); ++c) {
                    const auto col = static_cast<lxw_col_t>(c);
                    const Celula& cel = row[c];
                    lxw_error err = LXW_NO_ERROR;
                    switch (cel.tipo) {
                        case Celula::Tipo::kVazia:
                            break;
                        case Celula::Tipo::kTexto:
                            err = worksheet_write_string(ws, linha, col, cel.texto.c_str(),
                                                         titulo ? cabecalho : nullptr);
                            break;
                        case Celula::Tipo::kValor:
                            err = worksheet_write_number(ws, linha, col, cel.numero, valor);
                            break;
                        case Celula::Tipo::kNumeroCfe:
                            err = worksheet_write_number(ws, linha, col, cel.numero, numero);
                            break;
                        case Celula::Tipo::kInteiro:
                            err = worksheet_write_number(ws, linha, col, cel.numero, inteiro);
                            break;
                        case Celula::Tipo::kData: {
                            lxw_datetime dt{};
                            dt.year = std::stoi(cel.texto.substr(0, 4));
                            dt.month = std::stoi(cel.texto.substr(4, 2));
                            dt.day = std::stoi(cel.texto.substr(6, 2));
                            err = worksheet_write_datetime(ws, linha, col, &dt, data);
                            break;
                        }
                    }
                    if (err != LXW_NO_ERROR) {
                        workbook_close(wb);
                        FalhaXlsx(path, err);
                    }
                }
            }
        }
        const lxw_error err = workbook_close(wb);
        if (err != LXW_NO_ERROR) {
            FalhaXlsx(path, err);
        }
    });
}

std::string TextoCsv(const Tabela& tabela) {
    std::string out = "\xEF\xBB\xBF";
    auto linha = [&out](const std::vector<std::string>& campos) {
        for (std::size_t i = 0; i < campos.size(); ++i) {
            if (i > 0) {
                out += ';';
            }
            out += CampoCsv(campos[i]);
        }
        out += "\r\n";
    };
    linha(tabela.cabecalho);
    for (const auto& row : tabela.linhas) {
        std::vector<std::string> campos;
        campos.reserve(row.size());
        for (const Celula& c : row) {
            campos.push_back(TextoDaCelula(c));
        }
        linha(campos);
    }
    return out;
}

void SalvarCsv(const std::string& path, const Tabela& tabela) {
    SalvarBytes(path, TextoCsv(tabela), "a planilha");
}

}  // namespace kqz::summary
