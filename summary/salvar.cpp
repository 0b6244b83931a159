#include "summary/salvar.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "summary/error.hpp"

namespace kqz::summary {

namespace {

[[noreturn]] void Falha(const std::string& conteudo, const std::string& path, const std::string& oque,
                        int err) {
    throw ResumoError("Não foi possível gravar " + conteudo + " em \"" + path + "\": " + oque + " (" +
                      std::strerror(err) + ")");
}

bool GravarTudo(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

mode_t ModoDeArquivoNovo() {
    // umask can only be read by setting it; nothing else runs meanwhile.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

void SalvarResumo(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    std::size_t size = 0;
    for (const std::string& line : lines) {
        size += line.size() + 2;
    }
    text.reserve(size);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += "\r\n";
        }
        text += lines[i];
    }

    SalvarBytes(path, text, "o resumo");
}

void SalvarBytes(const std::string& path, const std::string& bytes, const std::string& oque) {
    SalvarPorTemporario(path, oque, [&](const std::string& temp) {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            Falha(oque, path, "não foi possível criar o arquivo", errno);
        }
        const bool ok = GravarTudo(fd, bytes);
        const int err = errno;
        if (::close(fd) != 0 || !ok) {
            Falha(oque, path, ok ? "erro ao fechar" : "erro ao gravar", ok ? errno : err);
        }
    });
}

void SalvarPorTemporario(const std::string& path, const std::string& oque,
                         const std::function<void(const std::string& temporario)>& escrever) {
    struct stat existing {};
    mode_t mode = ModoDeArquivoNovo();
    if (::stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            Falha(oque, path, "é uma pasta", EISDIR);
        }
        mode = existing.st_mode & 07777;
    }

    std::string temp = path + ".XXXXXX";
    const int made = ::mkstemp(temp.data());
    if (made < 0) {
        Falha(oque, path, "não foi possível criar o arquivo", errno);
    }
    ::close(made);
    try {
        escrever(temp);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    int err = 0;
    const char* step = nullptr;
    const int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        step = "erro ao reabrir o arquivo";
    } else {
        if (::fchmod(fd, mode) != 0) {
            err = errno;
            step = "erro ao ajustar as permissões";
        } else if (::fsync(fd) != 0) {
            err = errno;
            step = "erro ao gravar no disco";
        }
        ::close(fd);
    }
    if (step == nullptr && ::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        step = "erro ao substituir o arquivo";
    }
    if (step != nullptr) {
        ::unlink(temp.c_str());
        Falha(oque, path, step, err);
    }
}

}  // namespace kqz::summary
