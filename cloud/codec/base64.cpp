#include "cloud/codec/base64.hpp"

#include <array>

#include "cloud/codec/base64_internal.hpp"

namespace kqz::codec {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

enum : std::uint8_t { kSpace = 64, kPad = 65, kEscape = 66, kBad = 67 };

constexpr std::array<std::uint8_t, 256> MakeTable() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) {
        v = kBad;
    }
    for (std::uint8_t i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    t[static_cast<unsigned char>(' ')] = kSpace;
    t[static_cast<unsigned char>('\t')] = kSpace;
    t[static_cast<unsigned char>('\r')] = kSpace;
    t[static_cast<unsigned char>('\n')] = kSpace;
    t[static_cast<unsigned char>('=')] = kPad;
    t[static_cast<unsigned char>('\\')] = kEscape;
    return t;
}

constexpr std::array<std::uint8_t, 256> kTable = MakeTable();

[[noreturn]] void Garbage(std::string_view text, std::size_t at, const char* what) {
    std::string shown;
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7F) {
        shown = std::string("'") + static_cast<char>(c) + "'";
    } else {
        static const char hex[] = "0123456789ABCDEF";
        shown = std::string("0x") + hex[c >> 4] + hex[c & 15];
    }
    throw CodecError(std::string("base64 inválido: ") + what + " " + shown + " na posição " +
                     std::to_string(at));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The class (kTable value) of the character a JSON escape at text[i] stands
// for; advances i past the escape.
std::uint8_t ResolveEscape(std::string_view text, std::size_t& i) {
    const std::size_t at = i;
    if (i + 1 >= text.size()) {
        Garbage(text, at, "escape incompleto");
    }
    const char e = text[i + 1];
    i += 2;
    switch (e) {
        case 'r':
        case 'n':
        case 't':
            return kSpace;
        case '/':
            return 63;
        case 'u': {
            if (text.size() - i < 4) {
                Garbage(text, at, "escape incompleto");
            }
            int cp = 0;
            for (int k = 0; k < 4; ++k) {
                const int h = HexDigit(text[i + static_cast<std::size_t>(k)]);
                if (h < 0) {
                    Garbage(text, at, "escape inválido");
                }
                cp = cp * 16 + h;
            }
            i += 4;
            const std::uint8_t cls = cp < 0x80 ? kTable[static_cast<std::size_t>(cp)] : std::uint8_t{kBad};
            if (cls == kBad || cls == kEscape) {
                Garbage(text, at, "caractere inesperado");
            }
            return cls;
        }
        default:
            Garbage(text, at, "caractere inesperado");
    }
}

}  // namespace

namespace detail {

Base64Reader::Base64Reader(std::string_view text, bool jsonEscaped)
    : text_(text), jsonEscaped_(jsonEscaped) {}

std::size_t Base64Reader::Read(std::string& out, std::size_t maxBytes) {
    const std::string_view text = text_;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::size_t start = out.size();
    std::size_t i = pos_;
    while (i < n && out.size() - start < maxBytes) {
        // Fast path: four plain alphabet characters at a group boundary.
        if (have_ == 0 && padding_ == 0 && n - i >= 4) {
            const std::uint8_t a = kTable[s[i]], b = kTable[s[i + 1]], c = kTable[s[i + 2]],
                               d = kTable[s[i + 3]];
            if ((a | b | c | d) < 64) {
                const std::uint32_t v =
                    (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
                out.push_back(static_cast<char>(v >> 16));
                out.push_back(static_cast<char>((v >> 8) & 0xFF));
                out.push_back(static_cast<char>(v & 0xFF));
                i += 4;
                continue;
            }
        }
        const std::size_t at = i;
        std::uint8_t cls = kTable[s[i]];
        if (cls == kEscape) {
            if (!jsonEscaped_) {
                Garbage(text, at, "caractere inesperado");
            }
            cls = ResolveEscape(text, i);
        } else {
            ++i;
        }
        if (cls == kSpace) {
            continue;
        }
        if (cls == kBad) {
            Garbage(text, at, "caractere inesperado");
        }
        if (cls == kPad) {
            if (have_ < 2) {
                Garbage(text, at, "\"=\" fora de lugar");
            }
            ++padding_;
            ++have_;
            acc_ <<= 6;
        } else {
            if (padding_ > 0) {
                Garbage(text, at, "dados depois do \"=\"");
            }
            acc_ = (acc_ << 6) | cls;
            ++have_;
        }
        if (have_ == 4) {
            out.push_back(static_cast<char>(acc_ >> 16));
            if (padding_ < 2)
                out.push_back(static_cast<char>((acc_ >> 8) & 0xFF));
            if (padding_ < 1)
                out.push_back(static_cast<char>(acc_ & 0xFF));
            have_ = 0;
            acc_ = 0;
            if (padding_ > 0) {
                padding_ = 3;  // the text must end here (blanks aside)
            }
        }
    }
    pos_ = i;
    if (i == n && have_ != 0) {
        throw CodecError("base64 inválido: texto truncado (" + std::to_string(have_) +
                         " caracteres sobrando no fim)");
    }
    return out.size() - start;
}

void Base64DecodeInto(std::string_view text, bool jsonEscaped, std::string& out) {
    out.reserve(out.size() + text.size() / 4 * 3 + 3);
    Base64Reader reader(text, jsonEscaped);
    while (reader.Read(out, text.size()) != 0) {
    }
}

Base64Writer::Base64Writer(std::string& out, std::size_t lineLength, std::string_view separator)
    : out_(out), lineLength_(lineLength), separator_(separator) {}

void Base64Writer::PutChars(const char* chars, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        if (lineLength_ != 0 && column_ == lineLength_) {
            out_.append(separator_);
            ++breaks_;
            column_ = 0;
        }
        out_.push_back(chars[k]);
        ++column_;
    }
    chars_ += n;
}

void Base64Writer::PutGroup(const unsigned char* p) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    const char chars[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
                           kAlphabet[v & 63]};
    PutChars(chars, 4);
}

void Base64Writer::Write(std::string_view data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    if (pendingSize_ != 0) {
        // Complete the group left over from the last piece.
        while (pendingSize_ < 3 && n != 0) {
            pending_[pendingSize_++] = *p++;
            --n;
        }
        if (pendingSize_ < 3) {
            return;
        }
        PutGroup(pending_);
        pendingSize_ = 0;
    }
    // Whole lines at once while the text is at a line end and the input is long.
    const bool wholeLines = lineLength_ != 0 && lineLength_ % 4 == 0;
    const std::size_t lineBytes = lineLength_ / 4 * 3;
    while (n >= 3) {
        if (wholeLines && n >= lineBytes && (column_ == lineLength_ || chars_ == 0)) {
            if (column_ == lineLength_) {
                out_.append(separator_);
                ++breaks_;
            }
            const std::size_t start = out_.size();
            out_.resize(start + lineLength_);
            char* o = out_.data() + start;
            for (std::size_t k = 0; k < lineBytes; k += 3, o += 4) {
                const std::uint32_t v =
                    (std::uint32_t{p[k]} << 16) | (std::uint32_t{p[k + 1]} << 8) | p[k + 2];
                o[0] = kAlphabet[v >> 18];
                o[1] = kAlphabet[(v >> 12) & 63];
                o[2] = kAlphabet[(v >> 6) & 63];
                o[3] = kAlphabet[v & 63];
            }
            column_ = lineLength_;
            chars_ += lineLength_;
            p += lineBytes;
            n -= lineBytes;
            continue;
        }
        PutGroup(p);
        p += 3;
        n -= 3;
    }
    for (std::size_t k = 0; k < n && k < 2; ++k) {
        pending_[k] = p[k];
    }
    pendingSize_ = n;
}

void Base64Writer::Finish() {
    if (pendingSize_ == 0) {
        return;
    }
    unsigned char last[3] = {pending_[0], pendingSize_ > 1 ? pending_[1] : std::uint8_t{0}, 0};
    const std::uint32_t v = (std::uint32_t{last[0]} << 16) | (std::uint32_t{last[1]} << 8);
    const char chars[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63],
                           pendingSize_ > 1 ? kAlphabet[(v >> 6) & 63] : '=', '='};
    PutChars(chars, 4);
    pendingSize_ = 0;
}

}  // namespace detail

std::string Base64Encode(std::string_view data, bool lineBreaks) {
    std::string out;
    const std::size_t chars = (data.size() + 2) / 3 * 4;
    out.reserve(chars + (lineBreaks ? chars / 76 * 2 : 0));
    detail::Base64Writer w(out, lineBreaks ? 76 : 0, "\r\n");
    w.Write(data);
    w.Finish();
    return out;
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    detail::Base64DecodeInto(text, false, out);
    return out;
}

}  // namespace kqz::codec
