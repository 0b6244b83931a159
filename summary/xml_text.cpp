#include "summary/xml_text.hpp"

#include <cstdint>
#include <cstring>

namespace kqz::summary {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool StartsAt(std::string_view text, std::size_t i, std::string_view what) {
    return text.size() >= i && text.size() - i >= what.size() && text.compare(i, what.size(), what) == 0;
}

// Offset just past the first `terminator` at or after `from`, or npos.
std::size_t PastTerminator(std::string_view text, std::size_t from, std::string_view terminator) {
    const std::size_t at = text.find(terminator, from);
    return at == npos ? npos : at + terminator.size();
}

// Offset just past the '>' that closes a tag starting at `from` ('<'): quoted
// attribute values may hold '>'. Sets `empty` for a tag that ends with "/>".
std::size_t PastTag(std::string_view text, std::size_t from, bool& empty) {
    char quote = 0;
    for (std::size_t i = from + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            empty = text[i - 1] == '/';
            return i + 1;
        }
    }
    return npos;
}

// Offset just past a DOCTYPE declaration starting at `from`, with its
// internal subset in brackets and quoted literals.
std::size_t PastDoctype(std::string_view text, std::size_t from) {
    char quote = 0;
    int brackets = 0;
    for (std::size_t i = from + 2; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']') {
            --brackets;
        } else if (c == '>' && brackets <= 0) {
            return i + 1;
        }
    }
    return npos;
}

// Skips blanks, comments and processing instructions from `i`. Returns the
// offset of the first other thing (text.size() at the end). A construct left
// open ends the skip at its start.
std::size_t SkipMisc(std::string_view text, std::size_t i, bool allow_xml_declaration) {
    for (;;) {
        while (i < text.size() && IsBlank(text[i])) {
            ++i;
        }
        if (StartsAt(text, i, "<!--")) {
            const std::size_t past = PastTerminator(text, i + 4, "-->");
            if (past == npos) {
                return i;
            }
            i = past;
        } else if (StartsAt(text, i, "<?")) {
            // An XML declaration after the root starts another document.
            const bool declaration = StartsAt(text, i, "<?xml") && i + 5 < text.size() &&
                                     (IsBlank(text[i + 5]) || text[i + 5] == '?');
            if (declaration && !allow_xml_declaration) {
                return i;
            }
            const std::size_t past = PastTerminator(text, i + 2, "?>");
            if (past == npos) {
                return i;
            }
            i = past;
        } else {
            return i;
        }
    }
}

// Offset just past the end of the element whose start tag begins at `from`,
// or npos when the text ends first.
std::size_t PastElement(std::string_view text, std::size_t from) {
    std::size_t depth = 0;
    std::size_t i = from;
    for (;;) {
        if (i == npos || i >= text.size()) {
            return npos;
        }
        if (StartsAt(text, i, "<!--")) {
            i = PastTerminator(text, i + 4, "-->");
        } else if (StartsAt(text, i, "<![CDATA[")) {
            i = PastTerminator(text, i + 9, "]]>");
        } else if (StartsAt(text, i, "<?")) {
            i = PastTerminator(text, i + 2, "?>");
        } else if (StartsAt(text, i, "</")) {
            i = PastTerminator(text, i + 2, ">");
            if (depth <= 1) {
                return i;
            }
            --depth;
        } else if (StartsAt(text, i, "<!")) {
            i = PastTerminator(text, i + 2, ">");
        } else {
            bool empty = false;
            i = PastTag(text, i, empty);
            if (!empty) {
                ++depth;
            } else if (depth == 0) {
                return i;
            }
        }
        if (i == npos) {
            return npos;
        }
        const void* next = std::memchr(text.data() + i, '<', text.size() - i);
        if (next == nullptr) {
            return npos;
        }
        i = static_cast<std::size_t>(static_cast<const char*>(next) - text.data());
    }
}

// The value of the encoding pseudo-attribute of an XML declaration at `from`.
std::string DeclaredEncoding(std::string_view text, std::size_t from) {
    if (!StartsAt(text, from, "<?xml") || from + 5 >= text.size() || !IsBlank(text[from + 5])) {
        return {};
    }
    const std::size_t end = text.find("?>", from);
    const std::string_view decl = text.substr(from, end == npos ? npos : end - from);
    std::size_t at = decl.find("encoding");
    if (at == npos) {
        return {};
    }
    at += 8;
    while (at < decl.size() && IsBlank(decl[at])) {
        ++at;
    }
    if (at >= decl.size() || decl[at] != '=') {
        return {};
    }
    ++at;
    while (at < decl.size() && IsBlank(decl[at])) {
        ++at;
    }
    if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\'')) {
        return {};
    }
    const std::size_t close = decl.find(decl[at], at + 1);
    if (close == npos) {
        return {};
    }
    return std::string(decl.substr(at + 1, close - at - 1));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = (x >= 'A' && x <= 'Z') ? static_cast<char>(x - 'A' + 'a') : x;
        y = (y >= 'A' && y <= 'Z') ? static_cast<char>(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The names under which the parser reads a text as ISO-8859-1.
bool IsLatin1(std::string_view encoding) {
    return EqualsIgnoringCase(encoding, "latin1") || EqualsIgnoringCase(encoding, "iso-8859-1");
}

bool IsUtf8Name(std::string_view encoding) {
    return encoding.empty() || EqualsIgnoringCase(encoding, "utf-8") || EqualsIgnoringCase(encoding, "utf8");
}

std::string AtByte(std::size_t offset) {
    return "no byte " + std::to_string(offset);
}

}  // namespace

std::size_t FindInvalidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word = 0;
            std::memcpy(&word, s + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned int cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return i;
        }
        if (i + len > n) {
            return i;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0u) != 0x80u) {
                return i;
            }
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return i;
        }
        i += len;
    }
    return npos;
}

XmlTextScan ScanXmlText(std::string_view text) {
    XmlTextScan scan;
    const bool bom = StartsAt(text, 0, "\xEF\xBB\xBF");
    const std::size_t start = bom ? 3 : 0;
    // The parser honours a declaration only at the very start, and only
    // without a byte-order mark.
    scan.encoding = DeclaredEncoding(text, start);
    const bool latin1 = !bom && IsLatin1(scan.encoding);

    const void* nul_at = std::memchr(text.data(), '\0', text.size());
    const std::size_t nul =
        nul_at == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(nul_at) - text.data());
    if (!latin1) {
        if (const std::size_t bad = FindInvalidUtf8(text); bad != npos) {
            std::string message = "texto não está em UTF-8 (byte " + std::to_string(bad) + ")";
            if (!IsUtf8Name(scan.encoding)) {
                message += "; a codificação declarada \"" + scan.encoding + "\" não é lida";
            }
            scan.encoding_problem = XmlTextProblem{bad, std::move(message)};
        }
    }

    // A NUL inside the document is an encoding fault; after it, one more
    // thing outside the root.
    const auto nul_inside = [&](std::size_t end) {
        if (nul != npos && nul < end && (!scan.encoding_problem || nul < scan.encoding_problem->offset)) {
            scan.encoding_problem = XmlTextProblem{nul, "caractere nulo " + AtByte(nul)};
        }
    };

    // Prolog: declaration, blanks, comments, processing instructions, DOCTYPE.
    std::size_t i = start;
    for (;;) {
        i = SkipMisc(text, i, i == start);
        if (StartsAt(text, i, "<!DOCTYPE")) {
            const std::size_t past = PastDoctype(text, i);
            if (past == npos) {
                nul_inside(npos);
                return scan;
            }
            i = past;
            continue;
        }
        break;
    }
    if (i >= text.size()) {
        nul_inside(npos);
        return scan;
    }
    if (text[i] != '<') {
        nul_inside(i);
        scan.outside_root = XmlTextProblem{i, "XML mal formado: texto antes do elemento raiz " + AtByte(i)};
        return scan;
    }
    std::size_t name_end = i + 1;
    while (name_end < text.size() && !IsBlank(text[name_end]) && text[name_end] != '/' &&
           text[name_end] != '>') {
        ++name_end;
    }
    scan.root.assign(text.substr(i + 1, name_end - i - 1));

    const std::size_t past_root = PastElement(text, i);
    nul_inside(past_root);
    if (past_root == npos) {
        return scan;  // the parser reports the open element
    }
    const std::size_t after = SkipMisc(text, past_root, false);
    if (after >= text.size()) {
        if (nul != npos && nul >= past_root) {  // inside a comment or instruction after the root
            scan.outside_root =
                XmlTextProblem{nul, "XML mal formado: caractere nulo após o elemento raiz " + AtByte(nul)};
        }
        return scan;
    }
    const bool another_document =
        text[after] == '<' && after + 1 < text.size() &&
        (IsAsciiLetter(text[after + 1]) || text[after + 1] == '_' || text[after + 1] == '?' ||
         static_cast<unsigned char>(text[after + 1]) >= 0x80);
    if (another_document) {
        scan.outside_root =
            XmlTextProblem{after, "XML mal formado: um segundo documento começa " + AtByte(after)};
    } else if (text[after] == '\0') {
        scan.outside_root =
            XmlTextProblem{after, "XML mal formado: caractere nulo após o elemento raiz " + AtByte(after)};
    } else {
        scan.outside_root =
            XmlTextProblem{after, "XML mal formado: texto após o elemento raiz " + AtByte(after)};
    }
    return scan;
}

}  // namespace kqz::summary
