#pragma once

// What the SQL engines do alike, written once: the simple statements of the
// client's queries and of administration, imports, and the sessions kept in
// the database. An engine supplies a connection that runs a statement with
// `$1`-style parameters (bound, never spliced), transactions on its writing
// connection, and the two phrases its SQL dialect spells its own way.

#include <functional>
#include <string>
#include <vector>

#include "server/storage.hpp"

namespace kqz::server {

// One connection's statements. Parameters are text; the engine converts
// them to the column's type.
class SqlConnection {
  public:
    virtual ~SqlConnection() = default;
    // The rows of `sql`; `integer` says which columns are integers (the
    // others are text), one entry per column.
    virtual std::vector<codec::Row> Query(const std::string& sql, const std::vector<std::string>& params,
                                          const std::vector<bool>& integer) = 0;
    // Runs a statement that changes rows; returns how many.
    virtual std::size_t Change(const std::string& sql, const std::vector<std::string>& params) = 0;
};

// The statements that create the session tables; both engines understand them.
extern const char* const kSessionSchema[3];

class SqlStorage : public Storage {
  public:
    void Ping() override;
    std::vector<codec::Row> Version(const std::string& parameter) override;
    std::vector<codec::Row> Users(const std::string& email) override;
    std::vector<codec::Row> DocumentCnpjs() override;
    std::vector<codec::Row> Companies(const std::vector<std::string>& cnpjs) override;
    std::int64_t CountDocuments(const std::string& cnpj, const std::string& month) override;
    ImportOutcome Import(const std::vector<StoredDocument>& batch) override;
    bool AddCompany(const std::string& cnpj, const std::string& name) override;
    bool AddUser(const std::string& email, const std::string& cnpj) override;
    std::size_t RemoveUser(const std::string& email, const std::optional<std::string>& cnpj) override;
    void SetVersion(std::int64_t build, const std::string& link, const std::string& description) override;
    Stats GetStats() override;

    void SaveSession(const std::string& id, bool admin, const std::vector<std::string>& cnpjs,
                     std::int64_t nowMs, std::int64_t idleMs, std::size_t maxSessions) override;
    std::optional<StoredSession> TouchSession(const std::string& id, std::int64_t nowMs,
                                              std::int64_t idleMs) override;
    void EndSession(const std::string& id) override;
    std::size_t CountSessions(std::int64_t nowMs, std::int64_t idleMs) override;
    std::string SessionKey() override;

  protected:
    // Runs `body` on a reading connection.
    virtual void Read(const std::function<void(SqlConnection&)>& body) = 0;
    // Runs `body` on the writing connection inside one transaction: committed
    // when it returns, rolled back when it throws.
    virtual void Write(const std::function<void(SqlConnection&)>& body) = 0;
    // A SELECT whose one column is the elements of the JSON array text bound
    // to parameter `param`.
    virtual std::string JsonElements(int param) const = 0;
    // What follows a text column in ORDER BY so that it sorts by bytes.
    virtual std::string ByteOrder() const = 0;

    // Creates the session tables and the session key; the engine calls it
    // inside its schema transaction.
    static void CreateSessionTables(SqlConnection& c);

  private:
    std::vector<codec::Row> ReadRows(const std::string& sql, const std::vector<std::string>& params,
                                     const std::vector<bool>& integer);
    std::size_t WriteOne(const std::string& sql, const std::vector<std::string>& params);
};

}  // namespace kqz::server
