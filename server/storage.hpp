#pragma once

// The server's database: the four tables the client reads (KQZ_SAD, KQZ_SADu,
// KQZ_SADp, M00) behind one interface, with an SQLite file and a PostgreSQL
// database as its two implementations. Every query the client may send has a
// prepared statement of its own here; literals are always bound.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloud/codec/dataset.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "server/documents.hpp"

namespace kqz::server {

// A database failure (cannot open, locked, constraint, lost connection). The
// message names the database and what failed.
class StorageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Version of the table layout this program creates and understands.
inline constexpr int kSchemaVersion = 1;

// How many documents of one company in one month.
struct MonthCount {
    std::string cnpj;
    std::string month;
    std::int64_t documents = 0;
};

struct Stats {
    std::int64_t documents = 0;
    std::int64_t users = 0;
    std::int64_t companies = 0;
    std::int64_t parameters = 0;
    std::vector<MonthCount> perCompanyMonth;  // ordered by CNPJ, then month
};

// What one batch of imported documents did.
struct ImportOutcome {
    std::size_t inserted = 0;
    std::size_t alreadyStored = 0;  // same AD_NUMERO already present: left untouched
};

// A session as the database keeps it: what its identifications released.
struct StoredSession {
    bool admin = false;
    std::vector<std::string> cnpjs;
};

class Storage {
  public:
    virtual ~Storage() = default;

    // Opens `target`: a postgresql:// (or postgres://) URL, or else the path
    // of an SQLite file, which is created when missing. Creates the tables and
    // indexes that are missing and checks the schema version. Throws
    // StorageError.
    static std::unique_ptr<Storage> Open(const std::string& target);

    // A description of the database for messages: the file path, or the URL
    // without its password.
    virtual std::string Describe() const = 0;

    // Throws StorageError unless the database answers a trivial query now.
    virtual void Ping() = 0;

    // --- The client's queries (read only). Each row holds codec values: text
    // as std::string, integers as std::int64_t, money as codec::Decimal with
    // two decimals, NULL as std::monostate. All are safe to call from several
    // threads at once.

    // AP_CONTEUDO_INT, AP_CONTEUDO_STR, AP_DESCR of one parameter key.
    virtual std::vector<codec::Row> Version(const std::string& parameter) = 0;
    // AU_EMAIL, AU_CNPJ of one e-mail, ordered by AU_CNPJ.
    virtual std::vector<codec::Row> Users(const std::string& email) = 0;
    // Every distinct AD_CNPJ with stored documents, ascending.
    virtual std::vector<codec::Row> DocumentCnpjs() = 0;
    // M00_FANT, M00_CNPJ of the companies among `cnpjs`, one row per distinct
    // pair, ordered by name then CNPJ.
    virtual std::vector<codec::Row> Companies(const std::vector<std::string>& cnpjs) = 0;
    // Number of documents of `cnpj` in `month` ("yyMM").
    virtual std::int64_t CountDocuments(const std::string& cnpj, const std::string& month) = 0;
    // The documents of `cnpj` in `month` in the order they were issued (by
    // coupon number, then AD_NUMERO, so a cancellation follows its sale), handed to
    // `sink` one at a time as AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML,
    // X_NUMERO (the first six of AD_NUMERO's last sixteen characters).
    virtual void Documents(const std::string& cnpj, const std::string& month,
                           const std::function<void(codec::Row&&)>& sink) = 0;
    // The same rows in batches of about `batchBytes` of text, for an answer
    // written while it is read. Every Rewind gives the same rows again: the
    // cursor reads one snapshot of the database and holds a connection of
    // its own until it is destroyed.
    virtual std::unique_ptr<codec::RowBatches> DocumentBatches(
        const std::string& cnpj, const std::string& month, std::size_t batchBytes = kDocumentBatchBytes) = 0;
    static constexpr std::size_t kDocumentBatchBytes = std::size_t{2} << 20;

    // Runs one arbitrary statement with write access (ExecuteCloud, when the
    // operator allows it). A text holding more than one statement is refused.
    virtual void Execute(const std::string& sql) = 0;

    // --- Administration.

    // Stores a batch of documents in one transaction: either all new rows are
    // written or none (the error is thrown). Rows whose AD_NUMERO is already
    // stored are left as they are.
    virtual ImportOutcome Import(const std::vector<StoredDocument>& batch) = 0;
    // Adds a company; false when that CNPJ already has that name.
    virtual bool AddCompany(const std::string& cnpj, const std::string& name) = 0;
    // Lets `email` see `cnpj`; false when it already could.
    virtual bool AddUser(const std::string& email, const std::string& cnpj) = 0;
    // Removes the rows of `email` (only the one of `cnpj` when given);
    // returns how many were removed.
    virtual std::size_t RemoveUser(const std::string& email, const std::optional<std::string>& cnpj) = 0;
    // Sets the P_VERATU row: newest build number, download link, version text.
    virtual void SetVersion(std::int64_t build, const std::string& link, const std::string& description) = 0;
    virtual Stats GetStats() = 0;

    // --- Sessions, shared by every server of the database. Times are
    // milliseconds since the epoch; a session unused for `idleMs` is gone.

    // Records that an identification in session `id` released `cnpjs` (every
    // CNPJ when `admin`), adding to what it had, and marks it used at
    // `nowMs`. Expired sessions are removed, and beyond `maxSessions` the
    // least recently used ones.
    virtual void SaveSession(const std::string& id, bool admin, const std::vector<std::string>& cnpjs,
                             std::int64_t nowMs, std::int64_t idleMs, std::size_t maxSessions) = 0;
    // What session `id` released, marking it used at `nowMs`; nullopt when it
    // was never stored, expired (then it is removed) or ended.
    virtual std::optional<StoredSession> TouchSession(const std::string& id, std::int64_t nowMs,
                                                      std::int64_t idleMs) = 0;
    virtual void EndSession(const std::string& id) = 0;
    // Stored sessions alive at `nowMs`.
    virtual std::size_t CountSessions(std::int64_t nowMs, std::int64_t idleMs) = 0;
    // A secret of this database (hex text) that signs session ids, so that
    // every server of it recognises the ids the others gave.
    virtual std::string SessionKey() = 0;
};

// True when `target` names a PostgreSQL database rather than an SQLite file.
bool IsPostgresUrl(const std::string& target);

std::unique_ptr<Storage> OpenSqlite(const std::string& path);

// Copies the SQLite database `source` into the new file `destination` with
// SQLite's online backup, page by page, while other connections keep reading
// and writing it: the copy is the database as one moment saw it. The copy is
// written beside `destination` and renamed into place only when complete;
// an existing `destination` is refused. Throws StorageError.
void BackupSqlite(const std::string& source, const std::string& destination);
std::unique_ptr<Storage> OpenPostgres(const std::string& url);

}  // namespace kqz::server
