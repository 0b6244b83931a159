#include "cloud/codec/body_decoder.hpp"

#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <vector>

#include "cloud/codec/adbs_internal.hpp"
#include "cloud/codec/adbs_reader.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "cloud/codec/dataset_list_internal.hpp"

namespace kqz::codec {
namespace {

// JSON strings at least this long (raw) are lifted out of the body's skeleton.
constexpr std::size_t kBigString = 256;
// Raw text kept of a lifted string (error messages, names).
constexpr std::size_t kKeptText = std::size_t{64} << 10;
// The skeleton (the body without its long strings) of a real answer is a few KB.
constexpr std::size_t kMaxSkeleton = std::size_t{16} << 20;
// Compressed bytes kept in memory before they go to a temporary file.
constexpr std::size_t kMemorySpool = std::size_t{8} << 20;
constexpr std::uint64_t kMaxDictionary = std::uint64_t{16} << 20;

// Compressed bytes: in memory while small, then in an unnamed temporary file.
class Spool {
  public:
    explicit Spool(const std::string& dir) : dir_(dir) {}
    ~Spool() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    void Append(const char* p, std::size_t n) {
        if (fd_ < 0 && memory_.size() + n <= kMemorySpool) {
            memory_.append(p, n);
            size_ += n;
            return;
        }
        if (fd_ < 0) {
            Open();
            WriteAll(memory_.data(), memory_.size());
            std::string().swap(memory_);
        }
        WriteAll(p, n);
        size_ += n;
    }

    // Appends up to `max` bytes from `at` to `out`; returns how many.
    std::size_t Read(std::uint64_t at, std::string& out, std::size_t max) const {
        if (at >= size_)
            return 0;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(max, size_ - at));
        if (fd_ < 0) {
            out.append(memory_, static_cast<std::size_t>(at), n);
            return n;
        }
        const std::size_t before = out.size();
        out.resize(before + n);
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd_, out.data() + before + got, n - got, static_cast<off_t>(at + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                out.resize(before);
                throw CodecError("não consegui ler o arquivo temporário da resposta: " +
                                 std::string(std::strerror(errno)));
            }
            got += static_cast<std::size_t>(r);
        }
        return n;
    }

    std::uint64_t Size() const { return size_; }

  private:
    void Open() {
        std::filesystem::path dir = dir_;
        if (dir.empty()) {
            std::error_code ec;
            dir = std::filesystem::temp_directory_path(ec);
            if (ec)
                dir = "/tmp";
        }
        std::string pattern = (dir / "kqz-resposta-XXXXXX").string();
        fd_ = ::mkstemp(pattern.data());
        if (fd_ < 0) {
            throw CodecError("não consegui criar um arquivo temporário em " + dir.string() + ": " +
                             std::strerror(errno));
        }
        ::unlink(pattern.c_str());  // gone when closed, whatever happens
    }

    void WriteAll(const char* p, std::size_t n) {
        while (n != 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                throw CodecError("não consegui gravar o arquivo temporário da resposta: " +
                                 std::string(std::strerror(errno)));
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }

    std::string dir_;
    std::string memory_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// One long JSON string of the body: kept in part as text and, while it looks
// like a dataset (base64 of zlib), decoded, inflated and checked as it comes.
class BigString {
  public:
    BigString(const std::string& dir, std::uint64_t limit) : spool_(dir), limit_(limit) {}
    ~BigString() = default;
    BigString(const BigString&) = delete;
    BigString& operator=(const BigString&) = delete;

    void Feed(std::string_view raw) {
        if (kept_.size() < kKeptText)
            kept_.append(raw.substr(0, kKeptText - kept_.size()));
        if (!error_.empty())
            return;
        try {
            Decode(raw);
        } catch (const CodecError& e) {
            Fail(e.what());
        }
    }

    void End() {
        if (!error_.empty())
            return;
        try {
            if (escape_ != 0)
                throw CodecError("escape JSON incompleto no fim do texto");
            if (have_ != 0) {
                if (padding_ == 0 || have_ + padding_ != 4)
                    throw CodecError("base64 inválido: o texto termina no meio de um grupo");
                Flush();
            } else if (padding_ != 0) {
                throw CodecError("base64 inválido: \"=\" fora do lugar");
            }
            Inflate(nullptr, 0, true);
        } catch (const CodecError& e) {
            Fail(e.what());
        }
    }

    std::string_view Kept() const { return kept_; }
    const std::string& Error() const { return error_; }
    std::uint64_t Spooled() const { return spool_.Size(); }

    // Decodes the rows of the stream (after End, when Error() is empty).
    void DecodeRows(AdbsVisitor& visitor) const {
        const detail::AdbsHeader h = detail::ParseAdbsHeader(head_, total_);
        const auto names = detail::ParseAdbsDictionary(dictionary_, h.dictionaryOffset);
        std::uint64_t at = 0;
        detail::DecodeCheckedStream(
            [this, &at](std::string& out, std::size_t max) {
                const std::size_t n = spool_.Read(at, out, max);
                at += n;
                return n;
            },
            names, h.dictionaryOffset, visitor);
    }

  private:
    void Fail(const std::string& why) {
        error_ = why.empty() ? "dados inválidos" : why;
        st_.reset();
    }

    static int Sextet(unsigned char c) {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    }

    // JSON escapes, then base64; the bytes go to the spool and the inflater.
    void Decode(std::string_view raw) {
        for (const char ch : raw) {
            const auto c = static_cast<unsigned char>(ch);
            ++rawAt_;
            unsigned char v = c;
            if (escape_ == 1) {
                escape_ = 0;
                switch (c) {
                    case 'r':
                        v = '\r';
                        break;
                    case 'n':
                        v = '\n';
                        break;
                    case 't':
                        v = '\t';
                        break;
                    case '/':
                        v = '/';
                        break;
                    case 'u':
                        escape_ = 2;
                        unicode_ = 0;
                        continue;
                    default:
                        throw CodecError("base64 inválido: escape JSON \\" + std::string(1, ch) +
                                         " no caractere " + std::to_string(rawAt_));
                }
            } else if (escape_ >= 2) {
                int d = -1;
                if (c >= '0' && c <= '9')
                    d = c - '0';
                else if (c >= 'a' && c <= 'f')
                    d = c - 'a' + 10;
                else if (c >= 'A' && c <= 'F')
                    d = c - 'A' + 10;
                if (d < 0)
                    throw CodecError("escape \\u inválido no caractere " + std::to_string(rawAt_));
                unicode_ = unicode_ * 16 + static_cast<unsigned>(d);
                if (++escape_ < 6)
                    continue;
                escape_ = 0;
                if (unicode_ > 0x7F)
                    throw CodecError("base64 inválido: escape \\u" + std::to_string(unicode_) +
                                     " não é ASCII");
                v = static_cast<unsigned char>(unicode_);
            } else if (c == '\\') {
                escape_ = 1;
                continue;
            }
            if (v == '\r' || v == '\n' || v == '\t' || v == ' ')
                continue;
            if (v == '=') {
                if (have_ < 2)
                    throw CodecError("base64 inválido: \"=\" fora do lugar no caractere " +
                                     std::to_string(rawAt_));
                ++padding_;
                if (have_ + padding_ > 4)
                    throw CodecError("base64 inválido: \"=\" demais no caractere " + std::to_string(rawAt_));
                continue;
            }
            const int s = Sextet(v);
            if (s < 0 || padding_ != 0) {
                throw CodecError("base64 inválido: caractere inesperado 0x" + Hex(v) + " no caractere " +
                                 std::to_string(rawAt_));
            }
            acc_ = (acc_ << 6) | static_cast<std::uint32_t>(s);
            if (++have_ == 4) {
                const unsigned char b[3] = {static_cast<unsigned char>(acc_ >> 16),
                                            static_cast<unsigned char>(acc_ >> 8),
                                            static_cast<unsigned char>(acc_)};
                Bytes(b, 3);
                have_ = 0;
                acc_ = 0;
            }
        }
        if (!pending_.empty()) {
            Inflate(pending_.data(), pending_.size(), false);
            pending_.clear();
        }
    }

    static std::string Hex(unsigned char v) {
        static const char digits[] = "0123456789ABCDEF";
        return {digits[v >> 4], digits[v & 15]};
    }

    // The last group with "=" padding (or none, tolerated like the whole-text decoder does).
    void Flush() {
        const int have = have_;
        std::uint32_t acc = acc_ << (6 * (4 - have));
        const unsigned char b[3] = {static_cast<unsigned char>(acc >> 16),
                                    static_cast<unsigned char>(acc >> 8), static_cast<unsigned char>(acc)};
        Bytes(b, static_cast<std::size_t>(have - 1));
        have_ = 0;
        acc_ = 0;
        Inflate(pending_.data(), pending_.size(), false);
        pending_.clear();
    }

    void Bytes(const unsigned char* b, std::size_t n) {
        pending_.append(reinterpret_cast<const char*>(b), n);
        if (pending_.size() >= (std::size_t{64} << 10)) {
            Inflate(pending_.data(), pending_.size(), false);
            pending_.clear();
        }
    }

    void Inflate(const char* p, std::size_t n, bool end) {
        if (n != 0) {
            if (ended_)
                throw CodecError("zlib: bytes a mais depois do fim do fluxo");
            spool_.Append(p, n);
        }
        if (!st_ && !ended_) {
            // ISA-L's igzip: over twice as fast as zlib on these streams (docs/compression.md).
            st_ = std::make_unique<inflate_state>();
            isal_inflate_init(st_.get());
            st_->crc_flag = ISAL_ZLIB;
            out_.resize(std::size_t{256} << 10);
        }
        if (ended_)
            return;
        inflate_state& st = *st_;
        st.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(p));
        st.avail_in = static_cast<std::uint32_t>(n);
        for (;;) {
            st.next_out = reinterpret_cast<std::uint8_t*>(out_.data());
            st.avail_out = static_cast<std::uint32_t>(out_.size());
            const int rc = isal_inflate(&st);
            if (rc == ISAL_INCORRECT_CHECKSUM)
                throw CodecError("zlib: soma Adler-32 não confere");
            if (rc == ISAL_INVALID_WRAPPER)
                throw CodecError("zlib: cabeçalho zlib inválido");
            if (rc < 0)
                throw CodecError("zlib: dados corrompidos (erro " + std::to_string(rc) + ")");
            Output(out_.data(), out_.size() - st.avail_out);
            if (st.block_state == ISAL_BLOCK_FINISH) {
                ended_ = true;
                const bool extra = st.avail_in != 0;
                st_.reset();
                if (extra)
                    throw CodecError("zlib: bytes a mais depois do fim do fluxo");
                break;
            }
            if (st.avail_out != 0)
                break;  // wants more input
        }
        if (end && !ended_)
            throw CodecError("zlib: fluxo truncado (" + std::to_string(total_) + " bytes descomprimidos)");
    }

    void Output(const char* p, std::size_t n) {
        if (n == 0)
            return;
        const std::uint64_t at = total_;
        if (n > limit_ - total_)
            throw CodecError("zlib: os dados descomprimidos passam do limite de " + std::to_string(limit_) +
                             " bytes");
        total_ += n;
        const std::string_view piece(p, n);
        if (head_.size() < detail::kAdbsHeaderSize) {
            head_.append(piece.substr(0, detail::kAdbsHeaderSize - head_.size()));
            if (head_.size() == detail::kAdbsHeaderSize)
                header_ = detail::ParseAdbsHeader(head_, std::numeric_limits<std::uint32_t>::max());
        }
        if (header_ && total_ > header_->dictionaryOffset) {
            if (total_ - header_->dictionaryOffset > kMaxDictionary)
                throw CodecError("fluxo FireDAC inválido: dicionário de nomes grande demais");
            const std::uint64_t from = std::max<std::uint64_t>(at, header_->dictionaryOffset);
            dictionary_.append(piece.substr(static_cast<std::size_t>(from - at)));
        }
    }

    Spool spool_;
    std::uint64_t limit_;
    std::string kept_;
    std::string error_;
    std::uint64_t rawAt_ = 0;
    int escape_ = 0;  // 0 none, 1 after "\", 2-5 reading the digits of \u
    unsigned unicode_ = 0;
    std::uint32_t acc_ = 0;
    int have_ = 0;
    int padding_ = 0;
    std::string pending_;  // decoded bytes not yet inflated
    std::unique_ptr<inflate_state> st_;
    bool ended_ = false;
    std::string out_;
    std::uint64_t total_ = 0;
    std::string head_;
    std::optional<detail::AdbsHeader> header_;
    std::string dictionary_;
};

bool StartsWithU0001(std::string_view raw) {
    return raw.size() >= 6 && raw.substr(0, 6) == "\\u0001";
}

}  // namespace

struct StreamingBodyDecoder::Impl {
    std::string dir;
    std::uint64_t limit;
    std::string skeleton;
    std::vector<std::unique_ptr<BigString>> big;
    bool inString = false;
    bool escapeNext = false;
    bool keyCheck = false;  // a lifted string just ended: it must not be a key
    std::string small;      // the string being read while it is short
    BigString* lifted = nullptr;
    std::uint64_t bodyBytes = 0;

    void Lift() {
        big.push_back(std::make_unique<BigString>(dir, limit));
        lifted = big.back().get();
        lifted->Feed(small);
        small.clear();
    }

    void EndString() {
        inString = false;
        if (lifted == nullptr && StartsWithU0001(small))
            Lift();
        if (lifted != nullptr) {
            lifted->End();
            lifted = nullptr;
            skeleton += "\"\\u0001" + std::to_string(big.size() - 1) + "\"";
            keyCheck = true;
        } else {
            skeleton += '"';
            skeleton += small;
            skeleton += '"';
            small.clear();
        }
        if (skeleton.size() > kMaxSkeleton)
            throw CodecError("resposta JSON inválida: texto demais fora dos dados");
    }

    void Feed(std::string_view piece) {
        bodyBytes += piece.size();
        const char* p = piece.data();
        const char* const end = p + piece.size();
        while (p != end) {
            if (!inString) {
                const char* q = p;
                while (q != end && *q != '"') {
                    if (keyCheck && *q != ' ' && *q != '\t' && *q != '\r' && *q != '\n') {
                        if (*q == ':')
                            throw CodecError("resposta JSON inválida: nome de campo longo demais");
                        keyCheck = false;
                    }
                    ++q;
                }
                skeleton.append(p, q);
                if (skeleton.size() > kMaxSkeleton)
                    throw CodecError("resposta JSON inválida: texto demais fora dos dados");
                p = q;
                if (p != end) {
                    keyCheck = false;
                    inString = true;
                    escapeNext = false;
                    ++p;
                }
                continue;
            }
            // Inside a string: up to its closing quote or the end of the piece.
            const char* q = p;
            while (q != end) {
                if (escapeNext) {
                    escapeNext = false;
                } else if (*q == '\\') {
                    escapeNext = true;
                } else if (*q == '"') {
                    break;
                }
                ++q;
            }
            const std::string_view run(p, static_cast<std::size_t>(q - p));
            if (lifted != nullptr) {
                lifted->Feed(run);
            } else {
                small.append(run);
                if (small.size() >= kBigString)
                    Lift();
            }
            p = q;
            if (p != end) {
                ++p;
                EndString();
            }
        }
    }
};

StreamingBodyDecoder::StreamingBodyDecoder(std::string tempDir, std::uint64_t limit)
    : impl_(std::make_unique<Impl>()) {
    impl_->dir = std::move(tempDir);
    impl_->limit = limit;
}

StreamingBodyDecoder::~StreamingBodyDecoder() = default;

void StreamingBodyDecoder::Feed(std::string_view piece) {
    impl_->Feed(piece);
}

std::uint64_t StreamingBodyDecoder::BodyBytes() const {
    return impl_->bodyBytes;
}

std::uint64_t StreamingBodyDecoder::SpooledBytes() const {
    std::uint64_t n = 0;
    for (const auto& b : impl_->big)
        n += b->Spooled();
    return n;
}

void StreamingBodyDecoder::Finish(AdbsVisitor& visitor) {
    Impl& m = *impl_;
    if (m.inString)
        throw CodecError("resposta JSON inválida: a resposta termina dentro de um texto");
    std::vector<std::string_view> kept;
    kept.reserve(m.big.size());
    for (const auto& b : m.big)
        kept.push_back(b->Kept());
    const auto list = detail::ScanResultSkeleton(m.skeleton, kept, 0);
    if (!list)
        throw CodecError("o servidor não devolveu nenhuma lista de dados");
    if (list->size() != 1) {
        throw CodecError("a resposta tem " + std::to_string(list->size()) +
                         " conjuntos de dados; esperava exatamente um");
    }
    const EncodedDataSet& ds = list->front();
    const auto it = std::find_if(m.big.begin(), m.big.end(),
                                 [&ds](const auto& b) { return b->Kept().data() == ds.text.data(); });
    if (it == m.big.end()) {
        DecodeDataSet(ds, visitor, m.limit);  // a short text inside the skeleton
        return;
    }
    const BigString& b = **it;
    try {
        if (!b.Error().empty())
            throw CodecError(b.Error());
        b.DecodeRows(visitor);
    } catch (const CodecError& e) {
        throw CodecError("dataset \"" + ds.name + "\": " + e.what());
    }
}

}  // namespace kqz::codec
