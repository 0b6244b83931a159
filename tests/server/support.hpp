#pragma once

// Shared by the server tests: a throw-away database of either kind and a
// kqz-server on 127.0.0.1 with a free port, stopped when the test ends.

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/server.hpp"
#include "server/storage.hpp"

namespace kqz::server::test {

enum class Backend { Sqlite, Postgres };

inline std::string BackendName(const testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// A fresh, empty database: an SQLite file in a temporary folder, or a
// schema of its own in the PostgreSQL database of KQZ_TEST_PG_URL (dropped at
// the end). Call Skipped() first: without KQZ_TEST_PG_URL the PostgreSQL
// cases are skipped.
class TempDatabase {
  public:
    explicit TempDatabase(Backend backend);
    ~TempDatabase();
    TempDatabase(const TempDatabase&) = delete;
    TempDatabase& operator=(const TempDatabase&) = delete;

    bool Skipped() const { return skipped_; }
    // The --db value: file path or URL.
    const std::string& Target() const { return target_; }
    const std::filesystem::path& Folder() const { return folder_; }
    Storage& Open();  // opened on first use, then the same object

  private:
    bool skipped_ = false;
    std::string target_;
    std::string adminUrl_;
    std::string schema_;
    std::filesystem::path folder_;
    std::unique_ptr<Storage> storage_;
};

// A server on 127.0.0.1:0 serving `storage` on a thread of its own.
class RunningServer {
  public:
    RunningServer(Storage& storage, ServerOptions options);
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    int Port() const { return port_; }
    httplib::Client Client() const;
    Server& Get() { return server_; }

  private:
    Server server_;
    int port_ = 0;
    std::thread thread_;
};

// A storage that hands every call to another one: a test overrides only what
// it changes (holding a query back, failing the health check).
class ForwardingStorage : public Storage {
  public:
    explicit ForwardingStorage(Storage& inner) : inner_(inner) {}

    std::string Describe() const override { return inner_.Describe(); }
    void Ping() override { inner_.Ping(); }
    std::vector<codec::Row> Version(const std::string& p) override { return inner_.Version(p); }
    std::vector<codec::Row> Users(const std::string& e) override { return inner_.Users(e); }
    std::vector<codec::Row> DocumentCnpjs() override { return inner_.DocumentCnpjs(); }
    std::vector<codec::Row> Companies(const std::vector<std::string>& c) override {
        return inner_.Companies(c);
    }
    std::int64_t CountDocuments(const std::string& c, const std::string& m) override {
        return inner_.CountDocuments(c, m);
    }
    void Documents(const std::string& c, const std::string& m,
                   const std::function<void(codec::Row&&)>& sink) override {
        inner_.Documents(c, m, sink);
    }
    std::unique_ptr<codec::RowBatches> DocumentBatches(const std::string& c, const std::string& m,
                                                       std::size_t batchBytes) override {
        return inner_.DocumentBatches(c, m, batchBytes);
    }
    void Execute(const std::string& sql) override { inner_.Execute(sql); }
    ImportOutcome Import(const std::vector<StoredDocument>& b) override { return inner_.Import(b); }
    bool AddCompany(const std::string& c, const std::string& n) override { return inner_.AddCompany(c, n); }
    bool AddUser(const std::string& e, const std::string& c) override { return inner_.AddUser(e, c); }
    std::size_t RemoveUser(const std::string& e, const std::optional<std::string>& c) override {
        return inner_.RemoveUser(e, c);
    }
    void SetVersion(std::int64_t b, const std::string& l, const std::string& d) override {
        inner_.SetVersion(b, l, d);
    }
    Stats GetStats() override { return inner_.GetStats(); }
    void SaveSession(const std::string& id, bool admin, const std::vector<std::string>& cnpjs,
                     std::int64_t now, std::int64_t idle, std::size_t max) override {
        inner_.SaveSession(id, admin, cnpjs, now, idle, max);
    }
    std::optional<StoredSession> TouchSession(const std::string& id, std::int64_t now,
                                              std::int64_t idle) override {
        return inner_.TouchSession(id, now, idle);
    }
    void EndSession(const std::string& id) override { inner_.EndSession(id); }
    std::size_t CountSessions(std::int64_t now, std::int64_t idle) override {
        return inner_.CountSessions(now, idle);
    }
    std::string SessionKey() override { return inner_.SessionKey(); }

  private:
    Storage& inner_;
};

// Reads a file of tests/data/server.
std::string ReadTestFile(const std::string& name);

// The two public sales (CNPJ 08723218000186, month 1509), their company and
// `email` released to see it.
void FillSampleStore(Storage& storage, const std::string& email);

// Percent-encodes a text as one path segment (every byte but unreserved ones).
std::string EncodeSegment(const std::string& text);

}  // namespace kqz::server::test
