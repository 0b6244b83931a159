#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "server/storage_sql.hpp"

namespace kqz::server {
namespace {

constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS KQZ_SCHEMA (VERSION INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS KQZ_SAD (AD_CNPJ TEXT NOT NULL, AD_DATA TEXT NOT NULL CHECK (length(AD_DATA) "
    "= 4), "
    "AD_NUMERO TEXT NOT NULL, "
    "AD_VALOR NUMERIC NOT NULL DEFAULT 0, AD_XML TEXT NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS KQZ_SAD_NUMERO ON KQZ_SAD (AD_NUMERO)",
    "CREATE INDEX IF NOT EXISTS KQZ_SAD_CNPJ_DATA ON KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO)",
    "CREATE TABLE IF NOT EXISTS KQZ_SADu (AU_EMAIL TEXT NOT NULL, AU_CNPJ TEXT NOT NULL, UNIQUE (AU_EMAIL, "
    "AU_CNPJ))",
    "CREATE TABLE IF NOT EXISTS KQZ_SADp (AP_PARAMETRO TEXT PRIMARY KEY, AP_CONTEUDO_INT INTEGER, "
    "AP_CONTEUDO_STR TEXT, AP_DESCR TEXT)",
    "CREATE TABLE IF NOT EXISTS M00 (M00_FANT TEXT NOT NULL, M00_CNPJ TEXT NOT NULL, UNIQUE (M00_CNPJ, "
    "M00_FANT))",
};

// Documents per company and month, kept by triggers so that the client's
// count query reads one row instead of counting a busy month's index.
constexpr const char* kCountTable =
    "CREATE TABLE KQZ_SAD_QTD (AD_CNPJ TEXT NOT NULL, AD_DATA TEXT NOT NULL, QTD INTEGER NOT NULL, "
    "PRIMARY KEY (AD_CNPJ, AD_DATA)) WITHOUT ROWID";
constexpr const char* kCountTriggers[] = {
    "INSERT INTO KQZ_SAD_QTD (AD_CNPJ, AD_DATA, QTD) SELECT AD_CNPJ, AD_DATA, COUNT(*) FROM KQZ_SAD "
    "GROUP BY AD_CNPJ, AD_DATA",
    "CREATE TRIGGER KQZ_SAD_QTD_INS AFTER INSERT ON KQZ_SAD BEGIN "
    "INSERT INTO KQZ_SAD_QTD (AD_CNPJ, AD_DATA, QTD) VALUES (NEW.AD_CNPJ, NEW.AD_DATA, 1) "
    "ON CONFLICT (AD_CNPJ, AD_DATA) DO UPDATE SET QTD = QTD + 1; END",
    "CREATE TRIGGER KQZ_SAD_QTD_DEL AFTER DELETE ON KQZ_SAD BEGIN "
    "UPDATE KQZ_SAD_QTD SET QTD = QTD - 1 WHERE AD_CNPJ = OLD.AD_CNPJ AND AD_DATA = OLD.AD_DATA; END",
    "CREATE TRIGGER KQZ_SAD_QTD_UPD AFTER UPDATE OF AD_CNPJ, AD_DATA ON KQZ_SAD BEGIN "
    "UPDATE KQZ_SAD_QTD SET QTD = QTD - 1 WHERE AD_CNPJ = OLD.AD_CNPJ AND AD_DATA = OLD.AD_DATA; "
    "INSERT INTO KQZ_SAD_QTD (AD_CNPJ, AD_DATA, QTD) VALUES (NEW.AD_CNPJ, NEW.AD_DATA, 1) "
    "ON CONFLICT (AD_CNPJ, AD_DATA) DO UPDATE SET QTD = QTD + 1; END",
};

// The shared statements number their parameters $1, $2...; SQLite spells
// them ?1, ?2.
std::string SqliteParameters(const std::string& sql) {
    std::string out = sql;
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9')
            out[i] = '?';
    }
    return out;
}

// One connection and its prepared statements; used by one thread at a time.
class Connection {
  public:
    Connection(const std::string& path, bool readOnly) : path_(path) {
        const int rc = sqlite3_open_v2(
            path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw StorageError("não consegui abrir o banco SQLite " + path + ": " + why);
        }
        sqlite3_busy_timeout(db_, 5000);
        sqlite3_extended_result_codes(db_, 1);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        if (readOnly)
            Exec("PRAGMA query_only=1");
    }

    ~Connection() {
        for (auto& [text, stmt] : statements_)
            sqlite3_finalize(stmt);
        sqlite3_close_v2(db_);
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    [[noreturn]] void Fail(const std::string& what) const {
        const int code = sqlite3_errcode(db_);
        std::string why = sqlite3_errmsg(db_);
        if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED) {
            why = "banco bloqueado por outro processo (" + why + ")";
        }
        throw StorageError("banco SQLite " + path_ + ": " + what + ": " + why);
    }

    void Exec(const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : "erro desconhecido";
            sqlite3_free(err);
            const int code = sqlite3_errcode(db_) & 0xFF;
            if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
                why = "banco bloqueado por outro processo (" + why + ")";
            throw StorageError("banco SQLite " + path_ + ": " + why);
        }
    }

    // A cached prepared statement, reset and unbound when the Use ends.
    class Use {
      public:
        Use(Connection& c, sqlite3_stmt* s) : conn_(c), stmt_(s) {}
        ~Use() {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        // Back to before the first row; the bindings stay.
        void Reset() { sqlite3_reset(stmt_); }

        Use& Bind(int index, const std::string& text) {
            if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC) !=
                SQLITE_OK) {
                conn_.Fail("bind");
            }
            return *this;
        }
        Use& Bind(int index, std::int64_t value) {
            if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
                conn_.Fail("bind");
            return *this;
        }
        // Steps once; true while a row is available.
        bool Step() {
            const int rc = sqlite3_step(stmt_);
            if (rc == SQLITE_ROW)
                return true;
            if (rc == SQLITE_DONE)
                return false;
            conn_.Fail("consulta");
        }
        // The column as a codec value: integers, UTF-8 text, or NULL.
        codec::Value Column(int i) const {
            switch (sqlite3_column_type(stmt_, i)) {
                case SQLITE_NULL:
                    return std::monostate{};
                case SQLITE_INTEGER:
                    return static_cast<std::int64_t>(sqlite3_column_int64(stmt_, i));
                default:
                    return Text(i);
            }
        }
        std::string Text(int i) const {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
            return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                     : std::string();
        }
        std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
        int Changes() const { return sqlite3_changes(sqlite3_db_handle(stmt_)); }

      private:
        Connection& conn_;
        sqlite3_stmt* stmt_;
    };

    Use Statement(const std::string& sql) {
        auto it = statements_.find(sql);
        if (it == statements_.end()) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
                SQLITE_OK) {
                Fail("preparar comando");
            }
            it = statements_.emplace(sql, stmt).first;
        }
        return Use(*this, it->second);
    }

    sqlite3* Handle() const { return db_; }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

// The shared layer's view of one connection.
class SqliteStatements final : public SqlConnection {
  public:
    explicit SqliteStatements(Connection& c) : c_(c) {}
    std::vector<codec::Row> Query(const std::string& sql, const std::vector<std::string>& params,
                                  const std::vector<bool>& integer) override {
        auto q = c_.Statement(SqliteParameters(sql));
        for (std::size_t i = 0; i < params.size(); ++i)
            q.Bind(static_cast<int>(i + 1), params[i]);
        std::vector<codec::Row> rows;
        while (q.Step()) {
            codec::Row row;
            row.reserve(integer.size());
            for (std::size_t col = 0; col < integer.size(); ++col)
                row.push_back(q.Column(static_cast<int>(col)));
            rows.push_back(std::move(row));
        }
        return rows;
    }
    std::size_t Change(const std::string& sql, const std::vector<std::string>& params) override {
        auto q = c_.Statement(SqliteParameters(sql));
        for (std::size_t i = 0; i < params.size(); ++i)
            q.Bind(static_cast<int>(i + 1), params[i]);
        while (q.Step()) {
        }
        return static_cast<std::size_t>(q.Changes());
    }

  private:
    Connection& c_;
};

class SqliteStorage final : public SqlStorage {
  public:
    explicit SqliteStorage(std::string path) : path_(std::move(path)) {
        const auto parent = std::filesystem::path(path_).parent_path();
        if (!parent.empty() && !std::filesystem::is_directory(parent)) {
            throw StorageError("não consegui abrir o banco SQLite " + path_ + ": a pasta " + parent.string() +
                               " não existe");
        }
        writer_ = std::make_unique<Connection>(path_, false);
        writer_->Exec("BEGIN IMMEDIATE");
        try {
            for (const char* sql : kSchema)
                writer_->Exec(sql);
            if (!writer_->Statement("SELECT 1 FROM sqlite_master WHERE name = 'KQZ_SAD_QTD'").Step()) {
                writer_->Exec(kCountTable);
                for (const char* sql : kCountTriggers)
                    writer_->Exec(sql);
            }
            auto version = writer_->Statement("SELECT max(VERSION) FROM KQZ_SCHEMA");
            std::int64_t stored = 0;
            bool haveVersion = false;
            if (version.Step() && !std::holds_alternative<std::monostate>(version.Column(0))) {
                stored = version.Int(0);
                haveVersion = true;
            }
            if (haveVersion && stored > kSchemaVersion) {
                throw StorageError("o banco " + path_ + " tem a versão de esquema " + std::to_string(stored) +
                                   ", mais nova que a deste programa (" + std::to_string(kSchemaVersion) +
                                   ")");
            }
            if (!haveVersion) {
                writer_->Statement("INSERT INTO KQZ_SCHEMA (VERSION) VALUES (?1)")
                    .Bind(1, std::int64_t{kSchemaVersion})
                    .Step();
            }
            SqliteStatements statements(*writer_);
            CreateSessionTables(statements);
            writer_->Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(writer_->Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::string Describe() const override { return path_; }

    void Documents(const std::string& cnpj, const std::string& month,
                   const std::function<void(codec::Row&&)>& sink) override {
        auto lease = Reader();
        auto q = lease->Statement(kDocumentsQuery);
        q.Bind(1, cnpj).Bind(2, month);
        while (q.Step())
            sink(DocumentRow(q));
    }

    std::unique_ptr<codec::RowBatches> DocumentBatches(const std::string& cnpj, const std::string& month,
                                                       std::size_t batchBytes) override {
        return std::make_unique<Batches>(*this, cnpj, month, batchBytes);
    }

    void Execute(const std::string& sql) override {
        std::lock_guard lock(writerMutex_);
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(writer_->Handle(), sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) !=
            SQLITE_OK) {
            writer_->Fail("comando");
        }
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
        for (const char* p = tail; p && *p; ++p) {
            if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != ';') {
                throw StorageError("ExecuteCloud aceita um só comando por vez");
            }
        }
        if (!stmt)
            return;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE)
            writer_->Fail("comando");
    }

  protected:
    void Read(const std::function<void(SqlConnection&)>& body) override {
        auto lease = Reader();
        SqliteStatements statements(*lease.get());
        body(statements);
    }

    void Write(const std::function<void(SqlConnection&)>& body) override {
        std::lock_guard lock(writerMutex_);
        writer_->Exec("BEGIN IMMEDIATE");
        try {
            SqliteStatements statements(*writer_);
            body(statements);
            writer_->Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(writer_->Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::string JsonElements(int param) const override {
        return "SELECT value AS e FROM json_each($" + std::to_string(param) + ")";
    }

    std::string ByteOrder() const override { return {}; }

  private:
    static constexpr const char* kDocumentsQuery =
        "SELECT AD_CNPJ, AD_DATA, AD_NUMERO, printf('%.2f', AD_VALOR), AD_XML, "
        "substr(substr(AD_NUMERO, -16), 1, 6) FROM KQZ_SAD WHERE AD_CNPJ = ?1 AND AD_DATA = ?2 "
        "ORDER BY substr(substr(AD_NUMERO, -16), 1, 6), AD_NUMERO";

    static codec::Row DocumentRow(const Connection::Use& q) {
        codec::Row row;
        row.reserve(6);
        row.emplace_back(q.Column(0));
        row.emplace_back(q.Column(1));
        row.emplace_back(q.Column(2));
        row.emplace_back(codec::Decimal{q.Text(3)});
        row.emplace_back(q.Column(4));
        row.emplace_back(q.Column(5));
        return row;
    }

    // A read-only connection borrowed from the pool for one call.
    class Lease {
      public:
        Lease(SqliteStorage& owner, std::unique_ptr<Connection> c) : owner_(owner), conn_(std::move(c)) {}
        ~Lease() {
            std::lock_guard lock(owner_.poolMutex_);
            owner_.idle_.push_back(std::move(conn_));
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Connection* operator->() { return conn_.get(); }
        Connection* get() { return conn_.get(); }

      private:
        SqliteStorage& owner_;
        std::unique_ptr<Connection> conn_;
    };

    Lease Reader() {
        {
            std::lock_guard lock(poolMutex_);
            if (!idle_.empty()) {
                auto c = std::move(idle_.back());
                idle_.pop_back();
                return Lease(*this, std::move(c));
            }
        }
        return Lease(*this, std::make_unique<Connection>(path_, true));
    }

    // The documents query in batches inside one read transaction (one
    // snapshot of a WAL database), on a connection of its own.
    class Batches final : public codec::RowBatches {
      public:
        Batches(SqliteStorage& owner, std::string cnpj, std::string month, std::size_t batchBytes)
            : cnpj_(std::move(cnpj)),
              month_(std::move(month)),
              batchBytes_(std::max<std::size_t>(batchBytes, 1)),
              lease_(owner.Reader()),
              query_(lease_->Statement(kDocumentsQuery)) {
            query_.Bind(1, cnpj_).Bind(2, month_);
        }
        ~Batches() override {
            query_.Reset();
            if (inTransaction_)
                sqlite3_exec(lease_->Handle(), "COMMIT", nullptr, nullptr, nullptr);
        }
        Batches(const Batches&) = delete;
        Batches& operator=(const Batches&) = delete;

        void Rewind() override {
            query_.Reset();
            if (!inTransaction_) {
                lease_->Exec("BEGIN");
                inTransaction_ = true;
            }
            done_ = false;
        }

        bool Next(std::vector<codec::Row>& batch) override {
            batch.clear();
            std::size_t bytes = 0;
            while (!done_ && bytes < batchBytes_) {
                if (!query_.Step()) {
                    done_ = true;
                    break;
                }
                batch.push_back(DocumentRow(query_));
                if (const auto* xml = std::get_if<std::string>(&batch.back()[4]))
                    bytes += xml->size();
                bytes += 128;
            }
            return !batch.empty();
        }

      private:
        std::string cnpj_;
        std::string month_;
        std::size_t batchBytes_;
        Lease lease_;
        Connection::Use query_;
        bool inTransaction_ = false;
        bool done_ = true;
    };

    std::string path_;
    std::mutex writerMutex_;
    std::unique_ptr<Connection> writer_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace

void BackupSqlite(const std::string& source, const std::string& destination) {
    namespace fs = std::filesystem;
    if (IsPostgresUrl(source)) {
        throw StorageError(
            "backup copia um banco SQLite; para o PostgreSQL use pg_dump (veja docs/server.md)");
    }
    if (!fs::is_regular_file(source))
        throw StorageError("o banco SQLite " + source + " não existe");
    if (fs::exists(destination))
        throw StorageError("o destino " + destination + " já existe: escolha outro nome");
    const std::string partial = destination + ".parcial";
    std::error_code ignored;
    fs::remove(partial, ignored);
    sqlite3* from = nullptr;
    sqlite3* to = nullptr;
    auto close = [&] {
        sqlite3_close_v2(from);
        sqlite3_close_v2(to);
    };
    auto fail = [&](const std::string& what, sqlite3* db) {
        const std::string why = db ? sqlite3_errmsg(db) : "sem memória";
        close();
        fs::remove(partial, ignored);
        throw StorageError("cópia de " + source + " para " + destination + ": " + what + ": " + why);
    };
    if (sqlite3_open_v2(source.c_str(), &from, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail("abrir a origem", from);
    sqlite3_busy_timeout(from, 5000);
    if (sqlite3_open_v2(partial.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        fail("criar a cópia", to);
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup)
        fail("iniciar a cópia", to);
    // A few pages at a time: writers of the source wait at most one step; a
    // write meanwhile makes the copy start again from a consistent state.
    int rc = SQLITE_OK;
    do {
        rc = sqlite3_backup_step(backup, 256);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
            sqlite3_sleep(20);
    } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        fail("copiar as páginas", to);
    // The copy is a database of its own: no WAL file beside it.
    if (sqlite3_exec(to, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("fechar a cópia", to);
    close();
    fs::rename(partial, destination);
}

std::unique_ptr<Storage> OpenSqlite(const std::string& path) {
    return std::make_unique<SqliteStorage>(path);
}

}  // namespace kqz::server
