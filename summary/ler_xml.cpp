#include "summary/ler_xml.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "summary/error.hpp"
#include "summary/numbers.hpp"
#include "summary/xml_text.hpp"

namespace kqz::summary {

namespace {

constexpr std::string_view kCancelamentoDoCfe = "CANCELAMENTO DO CFE ";
constexpr std::string_view kCanceladoPeloDoCfe = "CANCELADO PELO DO CFE ";

[[noreturn]] void Falha(const std::string& arquivo, const std::string& oque) {
    throw ResumoError("Arquivo \"" + arquivo + "\": " + oque);
}

std::string LerArquivo(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the check below
    // then refuses it like any file that is not a regular one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Falha(path, std::string("não foi possível abrir (") + std::strerror(errno) + ")");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(fd);
        Falha(path, S_ISDIR(st.st_mode) ? std::string("é uma pasta, não um arquivo")
                                        : std::string("não é um arquivo comum (") + std::strerror(err) + ")");
    }
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    for (;;) {
        if (done == text.size()) {
            text.resize(text.size() + 4096);  // the file may have grown
        }
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            Falha(path, std::string("erro de leitura (") + std::strerror(err) + ")");
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(done);
    return text;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A UTF-16 text, with its byte-order mark or starting with "<?" as the
// parser recognises it, becomes UTF-8 (without the mark); unpaired surrogates
// become U+FFFD. Returns false for any other text.
bool Utf16ParaUtf8(std::string& text) {
    if (text.size() < 2) {
        return false;
    }
    const auto b0 = static_cast<unsigned char>(text[0]);
    const auto b1 = static_cast<unsigned char>(text[1]);
    const bool sem_marca_le = text.size() >= 4 && text.compare(0, 4, std::string_view("<\0?\0", 4)) == 0;
    const bool sem_marca_be = text.size() >= 4 && text.compare(0, 4, std::string_view("\0<\0?", 4)) == 0;
    const bool le = (b0 == 0xFF && b1 == 0xFE) || sem_marca_le;
    const bool be = (b0 == 0xFE && b1 == 0xFF) || sem_marca_be;
    if (!le && !be) {
        return false;
    }
    const std::size_t primeiro = (sem_marca_le || sem_marca_be) ? 0 : 2;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto lo = static_cast<unsigned char>(text[i + (le ? 0 : 1)]);
        const auto hi = static_cast<unsigned char>(text[i + (le ? 1 : 0)]);
        return static_cast<std::uint32_t>(hi) << 8 | lo;
    };
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = primeiro; i + 1 < text.size(); i += 2) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < text.size()) {
            const std::uint32_t v = unit(i + 2);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    text = std::move(out);
    return true;
}

// UTF-32 texts are left to the parser as they are.
bool Utf32(std::string_view text) {
    return text.size() >= 4 && (text.compare(0, 4, std::string_view("\0\0\xFE\xFF", 4)) == 0 ||
                                text.compare(0, 4, std::string_view("\xFF\xFE\0\0", 4)) == 0 ||
                                text.compare(0, 4, std::string_view("\0\0\0<", 4)) == 0 ||
                                text.compare(0, 4, std::string_view("<\0\0\0", 4)) == 0);
}

// The byte offset reached after skipping `chars` characters (code points) from `from`.
std::size_t AvancarCaracteres(std::string_view text, std::size_t from, std::size_t chars) {
    std::size_t i = from;
    while (chars > 0 && i < text.size()) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
            ++i;
        }
        --chars;
    }
    return i;
}

// Characters `first` (1-based) .. first+count-1 of a text; those beyond its end are absent.
std::string Caracteres(std::string_view text, std::size_t first, std::size_t count) {
    const std::size_t begin = AvancarCaracteres(text, 0, first - 1);
    const std::size_t end = AvancarCaracteres(text, begin, count);
    return std::string(text.substr(begin, end - begin));
}

// File name without folder and without extension (the last "." and what follows).
std::string_view NomeSemPastaEExtensao(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    return name;
}

// The value of an element's first child node: the text of a text or CDATA
// node, the empty text for any other node; nullopt when there is no child.
std::optional<std::string_view> ValorPrimeiroFilho(pugi::xml_node element) {
    const pugi::xml_node child = element.first_child();
    if (!child) {
        return std::nullopt;
    }
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
        return std::string_view(child.value());
    }
    return std::string_view();
}

// What one walk over the document collects.
struct Coleta {
    std::string_view nCFe;
    std::string_view dEmi;
    std::string_view vCFe;
    std::string_view nserieSAT;
    std::vector<std::optional<std::string_view>> cfop;
    std::vector<std::optional<std::string_view>> vItem;
    bool tem_cMP = false;
};

void Coletar(const pugi::xml_document& doc, Coleta& c) {
    // Depth-first in document order, without recursion (no stack limit on deep
    // files). Only elements have children; the name is tested by its first
    // character before the whole comparison.
    pugi::xml_node node = doc.first_child();
    while (node) {
        if (node.type() == pugi::node_element) {
            const char* name = node.name();
            switch (name[0]) {
                case 'n':
                    if (std::strcmp(name, "nCFe") == 0) {
                        c.nCFe = ValorPrimeiroFilho(node).value_or(std::string_view());
                    } else if (std::strcmp(name, "nserieSAT") == 0) {
                        c.nserieSAT = ValorPrimeiroFilho(node).value_or(std::string_view());
                    }
                    break;
                case 'd':
                    if (std::strcmp(name, "dEmi") == 0) {
                        c.dEmi = ValorPrimeiroFilho(node).value_or(std::string_view());
                    }
                    break;
                case 'v':
                    if (std::strcmp(name, "vCFe") == 0) {
                        c.vCFe = ValorPrimeiroFilho(node).value_or(std::string_view());
                    } else if (std::strcmp(name, "vItem") == 0) {
                        c.vItem.push_back(ValorPrimeiroFilho(node));
                    }
                    break;
                case 'C':
                    if (std::strcmp(name, "CFOP") == 0) {
                        c.cfop.push_back(ValorPrimeiroFilho(node));
                    }
                    break;
                case 'c':
                    if (std::strcmp(name, "cMP") == 0) {
                        c.tem_cMP = true;
                    }
                    break;
                default:
                    break;
            }
            const pugi::xml_node child = node.first_child();
            if (child) {
                node = child;
                continue;
            }
        }
        pugi::xml_node next = node.next_sibling();
        while (!next) {
            node = node.parent();
            if (!node) {
                return;
            }
            next = node.next_sibling();
        }
        node = next;
    }
}

std::string Descricao(pugi::xml_parse_status status) {
    switch (status) {
        case pugi::status_file_not_found:
            return "arquivo não encontrado";
        case pugi::status_io_error:
            return "erro de leitura";
        case pugi::status_out_of_memory:
            return "memória insuficiente";
        case pugi::status_unrecognized_tag:
            return "marcação não reconhecida";
        case pugi::status_bad_pi:
            return "instrução de processamento inválida";
        case pugi::status_bad_comment:
            return "comentário inválido";
        case pugi::status_bad_cdata:
            return "seção CDATA inválida";
        case pugi::status_bad_doctype:
            return "declaração DOCTYPE inválida";
        case pugi::status_bad_pcdata:
            return "texto inválido";
        case pugi::status_bad_start_element:
            return "marca de abertura inválida";
        case pugi::status_bad_attribute:
            return "atributo inválido";
        case pugi::status_bad_end_element:
            return "marca de fechamento inválida";
        case pugi::status_end_element_mismatch:
            return "marca de fechamento não corresponde à de abertura";
        case pugi::status_append_invalid_root:
            return "raiz inválida";
        case pugi::status_no_document_element:
            return "nenhum elemento no documento";
        default:
            return "erro de análise";
    }
}

std::string Entre(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    out += s;
    out += '"';
    return out;
}

}  // namespace

XmlLido LerXml(SummaryTables& tables, const std::string& _sArquivo) {
    std::string texto = LerArquivo(_sArquivo);
    if (texto.empty()) {
        // A document file is never empty: one that is was cut short.
        Falha(_sArquivo, "arquivo vazio");
    }
    return LerXml(tables, _sArquivo, std::move(texto));
}

XmlLido LerXml(SummaryTables& tables, const std::string& _sArquivo, std::string texto) {
    XmlLido lido;
    const bool era_utf16 = Utf16ParaUtf8(texto);
    // The text as lines see it: without a UTF-8 byte-order mark.
    std::size_t inicio = 0;
    if (!era_utf16 && texto.size() >= 3 && texto.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        inicio = 3;
    }
    const std::string_view corpo = std::string_view(texto).substr(inicio);
    if (corpo.empty()) {
        lido.vazio = true;
        return lido;
    }

    // One document per file, in the encoding it declares: the parser alone
    // would read the first of several documents and take bad bytes as they are.
    const std::string convertido = era_utf16 ? " do texto convertido de UTF-16" : "";
    XmlTextScan scan;
    if (!Utf32(texto)) {
        scan = ScanXmlText(texto);
    }
    if (scan.encoding_problem) {
        Falha(_sArquivo, scan.encoding_problem->message + convertido);
    }

    // A cancellation is known by its root element, or by "CFeC" in its name
    // (the name the download gives it).
    lido.cancelamento =
        scan.root == "CFeCanc" || NomeSemPastaEExtensao(_sArquivo).find("CFeC") != std::string_view::npos;

    // The cancelled number comes from the text itself, before parsing changes it:
    // six characters from 42 after the first "chCanc=" (from the 42nd character
    // when there is none), which with chCanc="CFe<key> are the key's nCFe digits.
    std::string documento_cancelado;
    if (lido.cancelamento) {
        const std::size_t p = corpo.find("chCanc=");
        const std::size_t de =
            p == std::string_view::npos ? AvancarCaracteres(corpo, 0, 41) : AvancarCaracteres(corpo, p, 42);
        const std::size_t ate = AvancarCaracteres(corpo, de, 6);
        documento_cancelado.assign(corpo.substr(de, ate - de));
    }

    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer_inplace(texto.data(), texto.size(), pugi::parse_default,
                                era_utf16 ? pugi::encoding_utf8 : pugi::encoding_auto);
    if (!parsed) {
        Falha(_sArquivo, "XML mal formado (" + Descricao(parsed.status) + ") no byte " +
                             std::to_string(parsed.offset) + convertido);
    }
    if (scan.outside_root) {
        Falha(_sArquivo, scan.outside_root->message + convertido);
    }

    Coleta c;
    Coletar(doc, c);
    const pugi::xml_node emit = doc.document_element().child("infCFe").child("emit");
    lido.emit_cnpj = emit.child_value("CNPJ");
    lido.emit_xNome = emit.child_value("xNome");
    lido.emit_xFant = emit.child_value("xFant");
    lido.cupom = ExtrairCupom(doc, _sArquivo);
    const std::string serial(c.nserieSAT);

    const std::string numero(c.nCFe);
    lido.numero = numero;
    if (Comprimento(numero) > kLarguraNumDoc) {
        Falha(_sArquivo,
              "nCFe " + Entre(numero) + " tem mais de " + std::to_string(kLarguraNumDoc) + " caracteres");
    }
    const std::string data =
        Caracteres(c.dEmi, 7, 2) + "/" + Caracteres(c.dEmi, 5, 2) + "/" + Caracteres(c.dEmi, 1, 4);

    if (!lido.cancelamento) {
        for (std::size_t i = 0; i < c.cfop.size(); ++i) {
            const std::string item = "item " + std::to_string(i + 1);
            const std::string cfop(c.cfop[i].value_or(std::string_view()));
            if (Comprimento(cfop) > kLarguraCfop) {
                Falha(_sArquivo, item + ": CFOP " + Entre(cfop) + " tem mais de " +
                                     std::to_string(kLarguraCfop) + " caracteres");
            }
            if (i >= c.vItem.size()) {
                Falha(_sArquivo, item + ": falta o elemento vItem (há " + std::to_string(c.cfop.size()) +
                                     " CFOP e " + std::to_string(c.vItem.size()) + " vItem)");
            }
            if (!c.vItem[i].has_value()) {
                Falha(_sArquivo, item + ": vItem vazio");
            }
            const std::optional<double> valor = LerDecimal(*c.vItem[i]);
            if (!valor) {
                Falha(_sArquivo, item + ": vItem " + Entre(*c.vItem[i]) + " não é um número válido");
            }
            CfopRow row;
            row.Numero = numero;
            row.Serie = serial;
            row.CFOP = cfop;
            row.ValTot = *valor;
            tables.memTable_CFOP.Append(std::move(row));
        }
        if (c.tem_cMP) {
            DoctoRow row;
            row.CZ_NUMDOC = numero;
            row.CZ_SERIAL = serial;
            if (!c.vCFe.empty()) {
                const std::optional<double> total = LerDecimal(c.vCFe);
                if (!total) {
                    Falha(_sArquivo, "vCFe " + Entre(c.vCFe) + " não é um número válido");
                }
                row.CZ_VALORCFE = *total;
            }
            row.CZ_DATA = data;
            tables.memTable_Docto.Append(std::move(row));
        }
        return lido;
    }

    DoctoRow canc;
    canc.CZ_NUMDOC = numero;
    canc.CZ_SERIAL = serial;
    canc.CZ_VALORCFE = 0.0;
    canc.CZ_DATA = data;
    canc.CZ_OBSERV = std::string(kCancelamentoDoCfe) + documento_cancelado;
    tables.memTable_Docto.Append(std::move(canc));

    if (DoctoRow* venda = tables.memTable_Docto.FindFirst(documento_cancelado)) {
        venda->CZ_VALORCFE = 0.0;
        venda->CZ_OBSERV = std::string(kCanceladoPeloDoCfe) + numero;
    }
    tables.memTable_CFOP.DeleteNumero(documento_cancelado);
    return lido;
}

}  // namespace kqz::summary
