#include <libpq-fe.h>

#include <algorithm>
#include <mutex>
#include <nlohmann/json.hpp>

#include "server/storage_sql.hpp"

namespace kqz::server {
namespace {

constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS KQZ_SCHEMA (VERSION INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS KQZ_SAD (AD_CNPJ TEXT NOT NULL, AD_DATA TEXT NOT NULL CHECK (length(AD_DATA) "
    "= 4), "
    "AD_NUMERO TEXT NOT NULL, "
    "AD_VALOR NUMERIC(15,2) NOT NULL DEFAULT 0, AD_XML TEXT NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS KQZ_SAD_NUMERO ON KQZ_SAD (AD_NUMERO)",
    "CREATE INDEX IF NOT EXISTS KQZ_SAD_CNPJ_DATA ON KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO)",
    "CREATE TABLE IF NOT EXISTS KQZ_SADu (AU_EMAIL TEXT NOT NULL, AU_CNPJ TEXT NOT NULL, UNIQUE (AU_EMAIL, "
    "AU_CNPJ))",
    "CREATE TABLE IF NOT EXISTS KQZ_SADp (AP_PARAMETRO TEXT PRIMARY KEY, AP_CONTEUDO_INT BIGINT, "
    "AP_CONTEUDO_STR TEXT, AP_DESCR TEXT)",
    "CREATE TABLE IF NOT EXISTS M00 (M00_FANT TEXT NOT NULL, M00_CNPJ TEXT NOT NULL, UNIQUE (M00_CNPJ, "
    "M00_FANT))",
};

// Documents per company and month, kept by a trigger so that the client's
// count query reads one row instead of counting a busy month's index.
constexpr const char* kCountTable[] = {
    "CREATE TABLE KQZ_SAD_QTD (AD_CNPJ TEXT NOT NULL, AD_DATA TEXT NOT NULL, QTD BIGINT NOT NULL, "
    "PRIMARY KEY (AD_CNPJ, AD_DATA))",
    "INSERT INTO KQZ_SAD_QTD (AD_CNPJ, AD_DATA, QTD) SELECT AD_CNPJ, AD_DATA, COUNT(*) FROM KQZ_SAD "
    "GROUP BY AD_CNPJ, AD_DATA",
    "CREATE OR REPLACE FUNCTION kqz_sad_qtd() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
    "IF TG_OP = 'TRUNCATE' THEN DELETE FROM KQZ_SAD_QTD; RETURN NULL; END IF; "
    "IF TG_OP IN ('UPDATE', 'DELETE') THEN "
    "UPDATE KQZ_SAD_QTD SET QTD = QTD - 1 WHERE AD_CNPJ = OLD.AD_CNPJ AND AD_DATA = OLD.AD_DATA; END IF; "
    "IF TG_OP IN ('UPDATE', 'INSERT') THEN "
    "INSERT INTO KQZ_SAD_QTD (AD_CNPJ, AD_DATA, QTD) VALUES (NEW.AD_CNPJ, NEW.AD_DATA, 1) "
    "ON CONFLICT (AD_CNPJ, AD_DATA) DO UPDATE SET QTD = KQZ_SAD_QTD.QTD + 1; END IF; "
    "RETURN NULL; END $$",
    "CREATE OR REPLACE TRIGGER KQZ_SAD_QTD_ROW AFTER INSERT OR DELETE OR UPDATE OF AD_CNPJ, AD_DATA ON "
    "KQZ_SAD "
    "FOR EACH ROW EXECUTE FUNCTION kqz_sad_qtd()",
    "CREATE OR REPLACE TRIGGER KQZ_SAD_QTD_TRUNCATE AFTER TRUNCATE ON KQZ_SAD "
    "FOR EACH STATEMENT EXECUTE FUNCTION kqz_sad_qtd()",
};

// The URL with any password replaced, for messages.
std::string HidePassword(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const auto at = url.find('@', scheme + 3);
    const auto colon = url.find(':', scheme + 3);
    if (at == std::string::npos || colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;

class Connection {
  public:
    Connection(const std::string& url, const std::string& label, bool readOnly) : label_(label) {
        conn_ = PQconnectdb(url.c_str());
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = conn_ ? PQerrorMessage(conn_) : "sem memória";
            PQfinish(conn_);
            conn_ = nullptr;
            throw StorageError("não consegui conectar ao PostgreSQL " + label + ": " + Trim(why));
        }
        PQsetClientEncoding(conn_, "UTF8");
        Exec("SET client_min_messages = warning");
        if (readOnly)
            Exec("SET default_transaction_read_only = on");
    }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    static std::string Trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.pop_back();
        return s;
    }

    Result Check(PGresult* r, const char* what) {
        Result res(r, PQclear);
        const auto status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_SINGLE_TUPLE) {
            const std::string why = res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn_);
            throw StorageError("PostgreSQL " + label_ + ": " + what + ": " + Trim(why));
        }
        return res;
    }

    Result Exec(const char* sql) { return Check(PQexec(conn_, sql), "comando"); }

    Result Params(const char* sql, const std::vector<std::string>& params) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params)
            values.push_back(p.c_str());
        return Check(PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr, values.data(),
                                  nullptr, nullptr, 0),
                     "consulta");
    }

    // Runs `sql` and hands each row to `row` without holding the whole result.
    void Stream(const char* sql, const std::vector<std::string>& params,
                const std::function<void(PGresult*)>& row) {
        std::vector<const char*> values;
        for (const auto& p : params)
            values.push_back(p.c_str());
        if (!PQsendQueryParams(conn_, sql, static_cast<int>(params.size()), nullptr, values.data(), nullptr,
                               nullptr, 0)) {
            throw StorageError("PostgreSQL " + label_ + ": consulta: " + Trim(PQerrorMessage(conn_)));
        }
        PQsetSingleRowMode(conn_);
        std::string error;
        while (PGresult* r = PQgetResult(conn_)) {
            Result res(r, PQclear);
            const auto status = PQresultStatus(r);
            if (status == PGRES_SINGLE_TUPLE) {
                if (error.empty()) {
                    try {
                        row(r);
                    } catch (const std::exception& e) {
                        error = e.what();  // drain the remaining results before rethrowing
                    }
                }
            } else if (status != PGRES_TUPLES_OK && error.empty()) {
                error = "PostgreSQL " + label_ + ": consulta: " + Trim(PQresultErrorMessage(r));
            }
        }
        if (!error.empty())
            throw StorageError(error);
    }

    bool Broken() const { return PQstatus(conn_) != CONNECTION_OK; }

  private:
    std::string label_;
    PGconn* conn_ = nullptr;
};

codec::Value Cell(PGresult* r, int row, int col, bool integer) {
    if (PQgetisnull(r, row, col))
        return std::monostate{};
    const char* v = PQgetvalue(r, row, col);
    if (integer)
        return static_cast<std::int64_t>(std::stoll(v));
    return std::string(v, static_cast<std::size_t>(PQgetlength(r, row, col)));
}

// The shared layer's view of one connection.
class PostgresStatements final : public SqlConnection {
  public:
    explicit PostgresStatements(Connection& c) : c_(c) {}
    std::vector<codec::Row> Query(const std::string& sql, const std::vector<std::string>& params,
                                  const std::vector<bool>& integer) override {
        auto r = c_.Params(sql.c_str(), params);
        std::vector<codec::Row> rows;
        const int n = PQntuples(r.get());
        rows.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            codec::Row row;
            for (std::size_t col = 0; col < integer.size(); ++col)
                row.push_back(Cell(r.get(), i, static_cast<int>(col), integer[col]));
            rows.push_back(std::move(row));
        }
        return rows;
    }
    std::size_t Change(const std::string& sql, const std::vector<std::string>& params) override {
        auto r = c_.Params(sql.c_str(), params);
        const std::string n = PQcmdTuples(r.get());
        return n.empty() ? 0 : static_cast<std::size_t>(std::stoull(n));
    }

  private:
    Connection& c_;
};

class PostgresStorage final : public SqlStorage {
  public:
    explicit PostgresStorage(std::string url) : url_(std::move(url)), label_(HidePassword(url_)) {
        writer_ = std::make_unique<Connection>(url_, label_, false);
        writer_->Exec("BEGIN");
        try {
            writer_->Exec("SELECT pg_advisory_xact_lock(7405931)");
            for (const char* sql : kSchema)
                writer_->Exec(sql);
            auto counts = writer_->Exec("SELECT to_regclass('kqz_sad_qtd') IS NULL");
            if (std::string(PQgetvalue(counts.get(), 0, 0)) == "t") {
                for (const char* sql : kCountTable)
                    writer_->Exec(sql);
            }
            PostgresStatements statements(*writer_);
            CreateSessionTables(statements);
            auto v = writer_->Exec("SELECT max(VERSION) FROM KQZ_SCHEMA");
            if (PQgetisnull(v.get(), 0, 0)) {
                writer_->Params("INSERT INTO KQZ_SCHEMA (VERSION) VALUES ($1)",
                                {std::to_string(kSchemaVersion)});
            } else if (std::stoll(PQgetvalue(v.get(), 0, 0)) > kSchemaVersion) {
                throw StorageError("o banco " + label_ + " tem a versão de esquema " +
                                   std::string(PQgetvalue(v.get(), 0, 0)) +
                                   ", mais nova que a deste programa (" + std::to_string(kSchemaVersion) +
                                   ")");
            }
            writer_->Exec("COMMIT");
        } catch (...) {
            try {
                writer_->Exec("ROLLBACK");
            } catch (...) {
            }
            throw;
        }
    }

    std::string Describe() const override { return label_; }

    void Documents(const std::string& cnpj, const std::string& month,
                   const std::function<void(codec::Row&&)>& sink) override {
        auto lease = Reader();
        lease->Stream(kDocumentsQuery, {cnpj, month}, [&](PGresult* r) { sink(DocumentRow(r, 0)); });
    }

    std::unique_ptr<codec::RowBatches> DocumentBatches(const std::string& cnpj, const std::string& month,
                                                       std::size_t batchBytes) override {
        return std::make_unique<Batches>(*this, cnpj, month, batchBytes);
    }

    void Execute(const std::string& sql) override {
        std::lock_guard lock(writerMutex_);
        // The extended protocol runs exactly one statement: a second one is an error.
        writer_->Params(sql.c_str(), {});
    }

  protected:
    void Read(const std::function<void(SqlConnection&)>& body) override {
        auto lease = Reader();
        PostgresStatements statements(*lease.get());
        body(statements);
    }

    void Write(const std::function<void(SqlConnection&)>& body) override {
        std::lock_guard lock(writerMutex_);
        // Sessions write while serving: a connection lost to a restart of
        // the database is opened again instead of failing every write after.
        if (writer_->Broken())
            writer_ = std::make_unique<Connection>(url_, label_, false);
        writer_->Exec("BEGIN");
        try {
            PostgresStatements statements(*writer_);
            body(statements);
            writer_->Exec("COMMIT");
        } catch (...) {
            try {
                writer_->Exec("ROLLBACK");
            } catch (...) {
            }
            throw;
        }
    }

    std::string JsonElements(int param) const override {
        return "SELECT json_array_elements_text($" + std::to_string(param) + "::json) AS e";
    }

    std::string ByteOrder() const override { return " COLLATE \"C\""; }

  private:
    static constexpr const char* kDocumentsQuery =
        "SELECT AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR::text, AD_XML, left(right(AD_NUMERO, 16), 6) "
        "FROM KQZ_SAD WHERE AD_CNPJ = $1 AND AD_DATA = $2 "
        "ORDER BY left(right(AD_NUMERO, 16), 6) COLLATE \"C\", AD_NUMERO COLLATE \"C\"";

    static codec::Row DocumentRow(PGresult* r, int i) {
        codec::Row row;
        row.reserve(6);
        row.push_back(Cell(r, i, 0, false));
        row.push_back(Cell(r, i, 1, false));
        row.push_back(Cell(r, i, 2, false));
        row.emplace_back(codec::Decimal{PQgetvalue(r, i, 3)});
        row.push_back(Cell(r, i, 4, false));
        row.push_back(Cell(r, i, 5, false));
        return row;
    }

    class Lease {
      public:
        Lease(PostgresStorage& owner, std::unique_ptr<Connection> c) : owner_(owner), conn_(std::move(c)) {}
        ~Lease() {
            if (conn_->Broken())
                return;  // a lost connection is dropped, the next call opens a new one
            std::lock_guard lock(owner_.poolMutex_);
            owner_.idle_.push_back(std::move(conn_));
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Connection* operator->() { return conn_.get(); }
        Connection* get() { return conn_.get(); }

      private:
        PostgresStorage& owner_;
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
        return Lease(*this, std::make_unique<Connection>(url_, label_, true));
    }

    // The documents query through a cursor inside one repeatable-read
    // transaction (one snapshot), on a connection of its own; Rewind declares
    // the cursor again in the same transaction.
    class Batches final : public codec::RowBatches {
      public:
        Batches(PostgresStorage& owner, std::string cnpj, std::string month, std::size_t batchBytes)
            : params_{std::move(cnpj), std::move(month)},
              fetch_("FETCH FORWARD " +
                     std::to_string(std::clamp<std::size_t>(batchBytes / 8192, 1, 100000)) +
                     " FROM kqz_documentos"),
              lease_(owner.Reader()) {}
        ~Batches() override {
            if (!inTransaction_)
                return;
            try {
                lease_->Exec("ROLLBACK");
            } catch (const std::exception&) {
                // A lost connection: the lease drops it.
            }
        }
        Batches(const Batches&) = delete;
        Batches& operator=(const Batches&) = delete;

        void Rewind() override {
            if (!inTransaction_) {
                lease_->Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
                inTransaction_ = true;
            } else {
                lease_->Exec("CLOSE kqz_documentos");
            }
            lease_->Params(
                (std::string("DECLARE kqz_documentos NO SCROLL CURSOR FOR ") + kDocumentsQuery).c_str(),
                params_);
            done_ = false;
        }

        bool Next(std::vector<codec::Row>& batch) override {
            batch.clear();
            if (done_)
                return false;
            auto r = lease_->Exec(fetch_.c_str());
            const int n = PQntuples(r.get());
            if (n == 0)
                done_ = true;
            batch.reserve(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i)
                batch.push_back(DocumentRow(r.get(), i));
            return !batch.empty();
        }

      private:
        std::vector<std::string> params_;
        std::string fetch_;
        Lease lease_;
        bool inTransaction_ = false;
        bool done_ = true;
    };

    std::string url_;
    std::string label_;
    std::mutex writerMutex_;
    std::unique_ptr<Connection> writer_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace

std::unique_ptr<Storage> OpenPostgres(const std::string& url) {
    return std::make_unique<PostgresStorage>(url);
}

bool IsPostgresUrl(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Storage> Storage::Open(const std::string& target) {
    if (IsPostgresUrl(target))
        return OpenPostgres(target);
    return OpenSqlite(target);
}

}  // namespace kqz::server
