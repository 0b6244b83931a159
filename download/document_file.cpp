#include "download/document_file.hpp"

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kqz::download {

std::string TextoDoDocumento(std::string_view xml) {
    std::string out;
    out.reserve(xml.size() + xml.size() / 32);
    auto special = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    std::size_t i = 0;
    while (i < xml.size()) {
        // Copy the run of ordinary characters in one go.
        std::size_t run = i;
        while (run < xml.size() && !special(xml[run])) {
            ++run;
        }
        out.append(xml.data() + i, run - i);
        if (run == xml.size()) {
            break;
        }
        i = run;
        if (xml[i] == '\0') {
            ++i;
            continue;
        }
        const bool crlf = xml[i] == '\r' && i + 1 < xml.size() && xml[i + 1] == '\n';
        i += crlf ? 2 : 1;
        // A break followed only by NULs ends the text: it is not another line.
        std::size_t rest = i;
        while (rest < xml.size() && xml[rest] == '\0') {
            ++rest;
        }
        if (rest < xml.size() || crlf) {
            out += "\r\n";
        }
    }
    return out;
}

std::optional<std::string> ProblemaNoNome(std::string_view adNumero) {
    if (adNumero.empty()) {
        return "nome vazio";
    }
    if (adNumero == "." || adNumero == "..") {
        return "nome reservado";
    }
    if (adNumero.size() > 200) {
        return "nome longo demais";
    }
    if (adNumero.find("..") != std::string_view::npos) {
        return "contém \"..\"";
    }
    for (char c : adNumero) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') {
            return "contém separador de pastas";
        }
        if (u < 0x20 || u == 0x7F) {
            return "contém caractere de controle";
        }
        if (std::strchr(":*?\"<>|", c) != nullptr) {
            return std::string("contém o caractere ") + c;
        }
    }
    if (adNumero.front() == ' ' || adNumero.back() == ' ' || adNumero.back() == '.') {
        return "começa ou termina com espaço ou ponto";
    }
    return std::nullopt;
}

std::filesystem::path CaminhoDoDocumento(const std::filesystem::path& pasta, std::string_view adNumero) {
    std::string name(adNumero);
    name += ".XML";
    return pasta / name;
}

void GravarArquivo(const std::filesystem::path& path, std::string_view content) {
    // The text goes to a new file of a temporary name in the same folder,
    // which then takes the name: the name holds the complete document or
    // what it held before, and a link already under the name is replaced,
    // never followed. One open, one write, one close and one rename per file;
    // nothing is synced here (the download syncs its folder once at the end).
    static std::atomic<std::uint64_t> sequence{0};
    const std::string prefix =
        (path.parent_path() / ("." + path.filename().string() + "." + std::to_string(::getpid()) + "."))
            .string();
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = prefix + std::to_string(sequence.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        throw std::runtime_error("Não foi possível criar o arquivo " + path.string() + ": " +
                                 std::strerror(errno));
    }
    int error = 0;
    std::size_t done = 0;
    while (done < content.size() && error == 0) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n == 0) {
            error = EIO;
        }
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        throw std::runtime_error("Não foi possível gravar o arquivo " + path.string() + ": " +
                                 std::strerror(error));
    }
}

GravadorDeArquivos::GravadorDeArquivos(unsigned threads, std::size_t maxQueued)
    : maxQueued_(maxQueued == 0 ? 1 : maxQueued) {
    for (unsigned i = 0; i < (threads == 0 ? 1 : threads); ++i) {
        threads_.emplace_back([this] { Trabalhar(); });
    }
}

GravadorDeArquivos::~GravadorDeArquivos() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    hasWork_.notify_all();
    hasRoom_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void GravadorDeArquivos::RethrowLocked() {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

void GravadorDeArquivos::Gravar(std::filesystem::path path, std::string content) {
    std::unique_lock lock(mutex_);
    hasRoom_.wait(lock, [this] { return queue_.size() < maxQueued_ || failure_; });
    RethrowLocked();
    queue_.push_back({queued_++, std::move(path), std::move(content)});
    written_.push_back(false);
    lock.unlock();
    hasWork_.notify_one();
}

void GravadorDeArquivos::Concluir() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
    RethrowLocked();
}

void GravadorDeArquivos::Aguardar() noexcept {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
}

std::size_t GravadorDeArquivos::Gravados() {
    std::lock_guard lock(mutex_);
    return writtenCount_;
}

std::size_t GravadorDeArquivos::GravadosEmOrdem() {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::find(written_.begin(), written_.end(), false) - written_.begin());
}

void GravadorDeArquivos::Trabalhar() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // The next job is the oldest one whose path no other thread is
        // writing: the files of one path are written in the order queued, so
        // the later document of a name is the one that stays.
        auto next = queue_.end();
        hasWork_.wait(lock, [this, &next] {
            next = std::find_if(queue_.begin(), queue_.end(),
                                [this](const Trabalho& job) { return writing_.count(job.path) == 0; });
            return stopping_ || next != queue_.end();
        });
        if (next == queue_.end()) {  // stopping
            if (queue_.empty()) {
                return;
            }
            hasWork_.wait(lock);  // what is left waits for a path in progress
            continue;
        }
        Trabalho job = std::move(*next);
        queue_.erase(next);
        writing_.insert(job.path);
        ++busy_;
        lock.unlock();
        hasRoom_.notify_one();
        std::exception_ptr error;
        try {
            GravarArquivo(job.path, job.content);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        writing_.erase(job.path);
        --busy_;
        if (error) {
            if (!failure_ || job.ordem < failureOrder_) {
                failure_ = error;
                failureOrder_ = job.ordem;
            }
            // What was queued after the failing file is not written.
            queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                        [this](const Trabalho& t) { return t.ordem > failureOrder_; }),
                         queue_.end());
            hasRoom_.notify_all();
        } else {
            written_[job.ordem] = true;
            ++writtenCount_;
        }
        hasWork_.notify_all();
        if (queue_.empty() && busy_ == 0) {
            idle_.notify_all();
        }
    }
}

}  // namespace kqz::download
