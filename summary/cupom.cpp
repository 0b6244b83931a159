#include "summary/cupom.hpp"

#include <pugixml.hpp>

#include <cstring>

#include "summary/numbers.hpp"

namespace kqz::summary {

namespace {

bool SoDigitos(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

char Minuscula(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string_view SemPrefixoCFe(std::string_view id) {
    if (id.size() >= 3 && Minuscula(id[0]) == 'c' && Minuscula(id[1]) == 'f' && Minuscula(id[2]) == 'e') {
        return id.substr(3);
    }
    return id;
}

int DigitoVerificadorChave(std::string_view digitos43) {
    if (digitos43.size() != 43 || !SoDigitos(digitos43)) {
        return -1;
    }
    int soma = 0;
    int peso = 2;
    for (auto it = digitos43.rbegin(); it != digitos43.rend(); ++it) {
        soma += (*it - '0') * peso;
        peso = peso == 9 ? 2 : peso + 1;
    }
    const int resto = soma % 11;
    return resto < 2 ? 0 : 11 - resto;
}

std::optional<ChaveAcesso> DecomporChave(std::string_view chave) {
    if (chave.size() != 44 || !SoDigitos(chave)) {
        return std::nullopt;
    }
    return ChaveAcesso{chave.substr(0, 2),  chave.substr(2, 4),  chave.substr(6, 14), chave.substr(20, 2),
                       chave.substr(22, 9), chave.substr(31, 6), chave.substr(37, 6), chave.substr(43, 1)};
}

Cupom ExtrairCupom(const pugi::xml_document& doc, const std::string& arquivo) {
    Cupom c;
    c.arquivo = arquivo;
    const pugi::xml_node raiz = doc.document_element();
    if (std::strcmp(raiz.name(), "CFe") == 0) {
        c.tipo = TipoCupom::kVenda;
    } else if (std::strcmp(raiz.name(), "CFeCanc") == 0) {
        c.tipo = TipoCupom::kCancelamento;
    }
    const pugi::xml_node inf = raiz.child("infCFe");
    c.id = inf.attribute("Id").value();
    c.chCanc = inf.attribute("chCanc").value();
    const pugi::xml_node ide = inf.child("ide");
    c.cUF = ide.child_value("cUF");
    c.mod = ide.child_value("mod");
    c.serie = ide.child_value("nserieSAT");
    c.numero = ide.child_value("nCFe");
    c.dEmi = ide.child_value("dEmi");
    c.hEmi = ide.child_value("hEmi");
    c.cDV = ide.child_value("cDV");
    const pugi::xml_node emit = inf.child("emit");
    c.cnpj = emit.child_value("CNPJ");
    c.nome = emit.child_value("xNome");
    c.fantasia = emit.child_value("xFant");
    c.vCFe = inf.child("total").child_value("vCFe");
    c.valor = LerDecimal(c.vCFe);
    if (c.tipo == TipoCupom::kVenda) {
        for (const pugi::xml_node det : inf.children("det")) {
            const pugi::xml_node prod = det.child("prod");
            c.itens.push_back(ItemCupom{prod.child_value("CFOP"), LerDecimal(prod.child_value("vItem"))});
        }
    }
    return c;
}

std::string DataBr(std::string_view d) {
    if (d.size() != 8 || !SoDigitos(d)) {
        return std::string(d);
    }
    std::string out;
    out.reserve(10);
    out.append(d.substr(6, 2)).append("/").append(d.substr(4, 2)).append("/").append(d.substr(0, 4));
    return out;
}

}  // namespace kqz::summary
