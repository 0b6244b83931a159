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

[[noreturn]] void Falha(const std::string& path, const std::string& oque, int err) {
    throw ResumoError("Não foi possível gravar o resumo em \"" + path + "\": " + oque + " (" +
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

    struct stat existing {};
    mode_t mode = ModoDeArquivoNovo();
    if (::stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            Falha(path, "é uma pasta", EISDIR);
        }
        mode = existing.st_mode & 07777;
    }

    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        Falha(path, "não foi possível criar o arquivo", errno);
    }
    int err = 0;
    const char* step = nullptr;
    if (!GravarTudo(fd, text)) {
        err = errno;
        step = "erro ao gravar";
    } else if (::fchmod(fd, mode) != 0) {
        err = errno;
        step = "erro ao ajustar as permissões";
    } else if (::fsync(fd) != 0) {
        err = errno;
        step = "erro ao gravar no disco";
    }
    if (::close(fd) != 0 && step == nullptr) {
        err = errno;
        step = "erro ao fechar";
    }
    if (step == nullptr && ::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        step = "erro ao substituir o arquivo";
    }
    if (step != nullptr) {
        ::unlink(temp.c_str());
        Falha(path, step, err);
    }
}

}  // namespace kqz::summary
