#pragma once

// The only SELECT texts the server answers are the ones the desktop client
// composes. A text is split into tokens by a strict tokenizer and matched,
// token by token, against those statement shapes; anything else — another
// table, a comment, a second statement, a stray character — is refused. The
// literals of an accepted text are returned as values to bind, never pasted
// into SQL.

#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace kqz::server {

// Raised for a text outside the accepted shapes; what() says why, in
// Portuguese, naming the offending byte offset where there is one.
class PolicyError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='...'
struct VersionQuery {
    std::vector<std::string> columns;  // the three select-list names as written
    std::string parameter;
};

// SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='...'
struct UsersQuery {
    std::string email;
};

// SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ
struct AdminUsersQuery {
    std::string alias;  // AU_CNPJ as written
};

// SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx',...)  GROUP BY M00_FANT,M00_CNPJ
struct CompaniesQuery {
    std::vector<std::string> columns;  // M00_FANT, M00_CNPJ as written
    std::vector<std::string> cnpjs;    // every literal of the IN list, in order
};

// SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='...' AND AD_DATA='...'
struct CountQuery {
    std::string alias;
    std::string cnpj;
    std::string month;
};

// SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='...' AND AD_DATA='...'
struct DocumentsQuery {
    std::string alias;
    std::string cnpj;
    std::string month;
};

using Statement =
    std::variant<VersionQuery, UsersQuery, AdminUsersQuery, CompaniesQuery, CountQuery, DocumentsQuery>;

// Most literals an IN list may hold.
inline constexpr std::size_t kMaxInListLiterals = 10000;

// Recognises `sql` as one of the accepted shapes. Keywords and identifiers
// match without regard to ASCII case and blanks between tokens may vary;
// string literals use single quotes with inner quotes doubled. Throws
// PolicyError for anything else.
Statement ParseStatement(const std::string& sql);

}  // namespace kqz::server
