#include "server/sql_policy.hpp"

#include <cstddef>
#include <string_view>

namespace kqz::server {
namespace {

enum class TokenKind { Word, Literal, Number, Symbol };

struct Token {
    TokenKind kind;
    std::string text;  // a word as written, a literal's value, the digits, the symbol
    std::size_t offset;
};

bool IsWordStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsWordChar(char c) {
    return IsWordStart(c) || IsDigit(c);
}

[[noreturn]] void Refuse(const std::string& why, std::size_t offset) {
    throw PolicyError("comando SQL não aceito: " + why + " (posição " + std::to_string(offset) + ")");
}

std::vector<Token> Tokenize(const std::string& sql) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (IsWordStart(c)) {
            const std::size_t start = i;
            while (i < n && IsWordChar(sql[i]))
                ++i;
            tokens.push_back({TokenKind::Word, sql.substr(start, i - start), start});
        } else if (IsDigit(c)) {
            const std::size_t start = i;
            while (i < n && IsDigit(sql[i]))
                ++i;
            if (i < n && IsWordStart(sql[i]))
                Refuse("número seguido de letra", i);
            tokens.push_back({TokenKind::Number, sql.substr(start, i - start), start});
        } else if (c == '\'') {
            const std::size_t start = i;
            std::string value;
            ++i;
            for (;;) {
                if (i >= n)
                    Refuse("literal sem aspas de fechamento", start);
                if (sql[i] == '\'') {
                    if (i + 1 < n && sql[i + 1] == '\'') {
                        value.push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                if (sql[i] == '\0')
                    Refuse("caractere nulo em literal", i);
                value.push_back(sql[i]);
                ++i;
            }
            tokens.push_back({TokenKind::Literal, std::move(value), start});
        } else if (c == ',' || c == '(' || c == ')' || c == '*' || c == '=') {
            tokens.push_back({TokenKind::Symbol, std::string(1, c), i});
            ++i;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            Refuse(std::string("caractere não permitido '") + (byte < 0x20 || byte >= 0x7F ? '?' : c) + "'",
                   i);
        }
    }
    return tokens;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        char x = a[k];
        char y = b[k];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// Walks the token list; each Expect* call consumes one token or refuses.
class Matcher {
  public:
    Matcher(std::vector<Token> tokens, std::size_t length) : tokens_(std::move(tokens)), length_(length) {}

    // Consumes a keyword or an identifier spelled `word` (any ASCII case) and
    // returns it as written.
    std::string Word(std::string_view word) {
        const Token& t = Next(word);
        if (t.kind != TokenKind::Word || !EqualsIgnoreCase(t.text, word))
            Unexpected(t, std::string(word));
        ++pos_;
        return t.text;
    }

    void Symbol(char symbol) {
        const Token& t = Next(std::string_view(&symbol, 1));
        if (t.kind != TokenKind::Symbol || t.text[0] != symbol)
            Unexpected(t, std::string("'") + symbol + "'");
        ++pos_;
    }

    void Number(std::string_view digits) {
        const Token& t = Next(digits);
        if (t.kind != TokenKind::Number || t.text != digits)
            Unexpected(t, std::string(digits));
        ++pos_;
    }

    std::string Literal() {
        const Token& t = Next("literal entre aspas simples");
        if (t.kind != TokenKind::Literal)
            Unexpected(t, "literal entre aspas simples");
        ++pos_;
        return t.text;
    }

    bool PeekSymbol(char symbol) const {
        return pos_ < tokens_.size() && tokens_[pos_].kind == TokenKind::Symbol &&
               tokens_[pos_].text[0] == symbol;
    }

    bool PeekWord(std::string_view word) const {
        return pos_ < tokens_.size() && tokens_[pos_].kind == TokenKind::Word &&
               EqualsIgnoreCase(tokens_[pos_].text, word);
    }

    void End() {
        if (pos_ < tokens_.size())
            Refuse("texto a mais depois do fim do comando", tokens_[pos_].offset);
    }

    [[noreturn]] void Unknown() {
        const std::size_t at = pos_ < tokens_.size() ? tokens_[pos_].offset : length_;
        Refuse("consulta fora das consultas permitidas", at);
    }

  private:
    const Token& Next(std::string_view expected) {
        if (pos_ >= tokens_.size())
            Refuse("fim do texto onde se esperava " + std::string(expected), length_);
        return tokens_[pos_];
    }

    [[noreturn]] static void Unexpected(const Token& t, const std::string& expected) {
        Refuse("esperado " + expected, t.offset);
    }

    std::vector<Token> tokens_;
    std::size_t length_;
    std::size_t pos_ = 0;
};

Statement Version(Matcher& m) {
    VersionQuery q;
    q.columns.push_back(m.Word("AP_CONTEUDO_INT"));
    m.Symbol(',');
    q.columns.push_back(m.Word("AP_CONTEUDO_STR"));
    m.Symbol(',');
    q.columns.push_back(m.Word("AP_DESCR"));
    m.Word("FROM");
    m.Word("KQZ_SADp");
    m.Word("WHERE");
    m.Word("AP_PARAMETRO");
    m.Symbol('=');
    q.parameter = m.Literal();
    m.End();
    return q;
}

Statement AdminUsers(Matcher& m) {
    AdminUsersQuery q;
    m.Word("AD_CNPJ");
    m.Word("AS");
    q.alias = m.Word("AU_CNPJ");
    m.Word("FROM");
    m.Word("KQZ_SAD");
    m.Word("GROUP");
    m.Word("BY");
    m.Word("AD_CNPJ");
    m.Word("ORDER");
    m.Word("BY");
    m.Word("AD_CNPJ");
    m.End();
    return q;
}

Statement Users(Matcher& m) {
    UsersQuery q;
    m.Word("FROM");
    m.Word("KQZ_SADu");
    m.Word("WHERE");
    m.Word("AU_EMAIL");
    m.Symbol('=');
    q.email = m.Literal();
    m.End();
    return q;
}

Statement Companies(Matcher& m) {
    CompaniesQuery q;
    q.columns.push_back(m.Word("M00_FANT"));
    m.Symbol(',');
    q.columns.push_back(m.Word("M00_CNPJ"));
    m.Word("FROM");
    m.Word("M00");
    m.Word("WHERE");
    m.Word("M00_CNPJ");
    m.Word("IN");
    m.Symbol('(');
    q.cnpjs.push_back(m.Literal());
    while (m.PeekSymbol(',')) {
        m.Symbol(',');
        if (q.cnpjs.size() >= kMaxInListLiterals) {
            throw PolicyError("comando SQL não aceito: lista IN com mais de " +
                              std::to_string(kMaxInListLiterals) + " valores");
        }
        q.cnpjs.push_back(m.Literal());
    }
    m.Symbol(')');
    m.Word("GROUP");
    m.Word("BY");
    m.Word("M00_FANT");
    m.Symbol(',');
    m.Word("M00_CNPJ");
    m.End();
    return q;
}

// WHERE AD_CNPJ=<literal> AND AD_DATA=<literal>, shared by the count and the
// documents queries.
void CnpjAndMonth(Matcher& m, std::string& cnpj, std::string& month) {
    m.Word("FROM");
    m.Word("KQZ_SAD");
    m.Word("WHERE");
    m.Word("AD_CNPJ");
    m.Symbol('=');
    cnpj = m.Literal();
    m.Word("AND");
    m.Word("AD_DATA");
    m.Symbol('=');
    month = m.Literal();
    m.End();
}

Statement Count(Matcher& m) {
    CountQuery q;
    m.Word("COUNT");
    m.Symbol('(');
    m.Symbol('*');
    m.Symbol(')');
    m.Word("AS");
    q.alias = m.Word("QuantidadeDeRegistros");
    CnpjAndMonth(m, q.cnpj, q.month);
    return q;
}

Statement Documents(Matcher& m) {
    DocumentsQuery q;
    m.Symbol(',');
    m.Word("LEFT");
    m.Symbol('(');
    m.Word("RIGHT");
    m.Symbol('(');
    m.Word("AD_NUMERO");
    m.Symbol(',');
    m.Number("16");
    m.Symbol(')');
    m.Symbol(',');
    m.Number("6");
    m.Symbol(')');
    m.Word("AS");
    q.alias = m.Word("X_NUMERO");
    CnpjAndMonth(m, q.cnpj, q.month);
    return q;
}

}  // namespace

Statement ParseStatement(const std::string& sql) {
    Matcher m(Tokenize(sql), sql.size());
    m.Word("SELECT");
    if (m.PeekSymbol('*')) {
        m.Symbol('*');
        if (m.PeekSymbol(','))
            return Documents(m);
        return Users(m);
    }
    if (m.PeekWord("AP_CONTEUDO_INT"))
        return Version(m);
    if (m.PeekWord("AD_CNPJ"))
        return AdminUsers(m);
    if (m.PeekWord("M00_FANT"))
        return Companies(m);
    if (m.PeekWord("COUNT"))
        return Count(m);
    m.Unknown();
}

}  // namespace kqz::server
