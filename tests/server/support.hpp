#pragma once

// Shared by the server tests: a throw-away database of either kind and a
// kqz-server on 127.0.0.1 with a free port, stopped when the test ends.

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

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

// Reads a file of tests/data/server.
std::string ReadTestFile(const std::string& name);

// Percent-encodes a text as one path segment (every byte but unreserved ones).
std::string EncodeSegment(const std::string& text);

}  // namespace kqz::server::test
