#pragma once

// A real kqz-server for end-to-end tests: admin commands run to completion,
// `serve` runs in the background on 127.0.0.1 with a free port and is stopped
// (SIGTERM) when the object goes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kqz::testing {

struct Saida {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts `argv` with its standard output and error going to two files.
inline pid_t Iniciar(const std::vector<std::string>& argv, const std::filesystem::path& out,
                     const std::filesystem::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    return pid;
}

// Runs `argv` and waits; returns its exit status and what it printed.
inline Saida Executar(const std::vector<std::string>& argv, const std::filesystem::path& dir) {
    const auto outFile = dir / "stdout.txt";
    const auto errFile = dir / "stderr.txt";
    const pid_t pid = Iniciar(argv, outFile, errFile);
    int status = 0;
    waitpid(pid, &status, 0);
    auto slurp = [](const std::filesystem::path& p) {
        std::string text;
        if (std::FILE* f = std::fopen(p.c_str(), "rb")) {
            char buffer[65536];
            std::size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                text.append(buffer, n);
            }
            std::fclose(f);
        }
        return text;
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(outFile), slurp(errFile)};
}

class ServerProcess {
  public:
    // Starts `kqz-server serve --db <db> --listen 127.0.0.1 --port 0` and waits
    // for its "listening on" line.
    ServerProcess(const std::string& binary, const std::string& db, const std::filesystem::path& dir) {
        const auto log = dir / "server.log";
        const auto err = dir / "server.err";
        pid_ = Iniciar({binary, "serve", "--db", db, "--listen", "127.0.0.1", "--port", "0"}, log, err);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (std::FILE* f = std::fopen(log.c_str(), "r")) {
                char line[256] = {};
                const bool got = std::fgets(line, sizeof line, f) != nullptr;
                std::fclose(f);
                const std::string text = got ? line : "";
                const std::string prefix = "listening on ";
                if (text.rfind(prefix, 0) == 0 && text.back() == '\n') {
                    url_ = text.substr(prefix.size(), text.size() - prefix.size() - 1);
                    return;
                }
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                throw std::runtime_error("kqz-server ended before listening; see " + err.string());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        throw std::runtime_error("kqz-server did not start listening in time");
    }

    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const std::string& Url() const { return url_; }

  private:
    pid_t pid_ = 0;
    std::string url_;
};

}  // namespace kqz::testing
