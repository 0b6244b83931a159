#pragma once

// The document files of a download: one CF-e XML file per stored document,
// named by its AD_NUMERO and ".XML", in the folder the user chose.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kqz::download {

// The content of a document file for the XML text `xml`: NUL characters
// dropped, every line break (CR LF, lone CR, lone LF) written as CR LF, and
// nothing after the last line - a text that ends in CR LF keeps that one CR LF,
// a final lone CR or LF is lost.
std::string TextoDoDocumento(std::string_view xml);

// Why `adNumero` cannot name a file inside the chosen folder (empty, "." or
// "..", a path separator, "..", a NUL or another control character, a
// character that is not allowed in file names, or too long), or nothing when it
// can. A name the server sends never reaches the file system unchecked.
std::optional<std::string> ProblemaNoNome(std::string_view adNumero);

// folder / (adNumero + ".XML"); call ProblemaNoNome first.
std::filesystem::path CaminhoDoDocumento(const std::filesystem::path& pasta, std::string_view adNumero);

// Creates or replaces `path` with `content`: written under a temporary name
// in the same folder, then renamed, so the file is complete or absent (as it
// was) and a symbolic link under the name is replaced, not written through.
// Throws std::runtime_error naming the file and the system's reason.
void GravarArquivo(const std::filesystem::path& path, std::string_view content);

// Writes files on background threads so that the download can go on reading
// the next document while the file system works. Files of the same path are
// written one after the other in the order queued. The first failure stops
// the files queued after the failing one (those queued before it are still
// written); Gravar() and Concluir() then throw it. Files already written stay.
class GravadorDeArquivos {
  public:
    explicit GravadorDeArquivos(unsigned threads = 2, std::size_t maxQueued = 256);
    ~GravadorDeArquivos();
    GravadorDeArquivos(const GravadorDeArquivos&) = delete;
    GravadorDeArquivos& operator=(const GravadorDeArquivos&) = delete;

    // Queues one file; blocks while the queue is full. Throws the first
    // failure of an earlier file.
    void Gravar(std::filesystem::path path, std::string content);

    // Waits for every queued file; throws the first failure.
    void Concluir();

    // Waits for every file still to be written, failure or not; never throws.
    void Aguardar() noexcept;
    // How many files were written completely, and how many of the first
    // files queued were, counted up to the first one that was not.
    std::size_t Gravados();
    std::size_t GravadosEmOrdem();

  private:
    struct Trabalho {
        std::uint64_t ordem;
        std::filesystem::path path;
        std::string content;
    };
    void Trabalhar();
    void RethrowLocked();

    std::mutex mutex_;
    std::condition_variable hasWork_;
    std::condition_variable hasRoom_;
    std::condition_variable idle_;
    std::deque<Trabalho> queue_;
    std::size_t maxQueued_;
    std::set<std::filesystem::path> writing_;  // paths a thread is writing now
    std::size_t busy_ = 0;
    bool stopping_ = false;
    std::uint64_t queued_ = 0;   // files queued so far
    std::vector<bool> written_;  // by order of queueing
    std::size_t writtenCount_ = 0;
    std::exception_ptr failure_;
    std::uint64_t failureOrder_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace kqz::download
