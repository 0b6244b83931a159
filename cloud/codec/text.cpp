#include "cloud/codec/text.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace kqz::codec::text {
namespace {

// Windows-1252 bytes 0x80-0x9F; 0 marks the five unassigned bytes, which map
// to the C1 control of the same number.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t Cp1252ToCodePoint(std::uint8_t b) {
    if (b < 0x80 || b >= 0xA0) {
        return b;
    }
    const char16_t c = kCp1252High[b - 0x80u];
    return c == 0 ? char32_t{b} : char32_t{c};
}

// The Windows-1252 byte of a code point, or -1 when it has none.
int CodePointToCp1252(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<int>(cp);
    }
    for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
        const char16_t c = kCp1252High[i];
        if ((c != 0 && c == cp) || (c == 0 && cp == 0x80 + i)) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

void AppendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i,
// or returns nullopt on an ill-formed sequence (overlong, surrogate, > U+10FFFF).
std::optional<char32_t> NextCodePoint(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1Fu;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0Fu;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07u;
        min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (s.size() - i < len) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return std::nullopt;
    }
    i += len;
    return cp;
}

}  // namespace

std::optional<std::size_t> AppendUtf16LeAsUtf8(std::string& out, const std::uint8_t* bytes,
                                               std::size_t size) {
    const std::size_t units = size / 2;
    const std::size_t start = out.size();
    out.resize(start + 3 * units);  // the most a UTF-16 unit can take in UTF-8
    char* o = out.data() + start;
    std::size_t i = 0;
    while (i < units) {
        // Eight ASCII units at a time (the common case: XML).
        if (units - i >= 8) {
            std::uint64_t a, b;
            std::memcpy(&a, bytes + 2 * i, 8);
            std::memcpy(&b, bytes + 2 * i + 8, 8);
            if (((a | b) & 0xFF80FF80FF80FF80ULL) == 0) {
                for (std::size_t k = 0; k < 8; ++k) {
                    o[k] = static_cast<char>(bytes[2 * (i + k)]);
                }
                o += 8;
                i += 8;
                continue;
            }
        }
        const char32_t u = bytes[2 * i] | (char32_t{bytes[2 * i + 1]} << 8);
        if (u < 0x80) {
            *o++ = static_cast<char>(u);
            ++i;
        } else if (u < 0x800) {
            *o++ = static_cast<char>(0xC0 | (u >> 6));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
            ++i;
        } else if (u < 0xD800 || u > 0xDFFF) {
            *o++ = static_cast<char>(0xE0 | (u >> 12));
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
            ++i;
        } else {
            const char32_t lo = i + 1 < units ? bytes[2 * i + 2] | (char32_t{bytes[2 * i + 3]} << 8) : 0;
            if (u > 0xDBFF || lo < 0xDC00 || lo > 0xDFFF) {
                out.resize(static_cast<std::size_t>(o - out.data()));
                return 2 * i;
            }
            const char32_t cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            *o++ = static_cast<char>(0xF0 | (cp >> 18));
            *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
            i += 2;
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return std::nullopt;
}

std::optional<std::size_t> Utf16Length(std::string_view utf8) {
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Eight ASCII bytes at a time (the common case: XML).
        if (utf8.size() - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, utf8.data() + i, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                i += 8;
                n += 8;
                continue;
            }
        }
        if (static_cast<std::uint8_t>(utf8[i]) < 0x80) {
            ++i;
            ++n;
            continue;
        }
        const auto cp = NextCodePoint(utf8, i);
        if (!cp) {
            return std::nullopt;
        }
        n += *cp >= 0x10000 ? 2u : 1u;
    }
    return n;
}

std::optional<std::size_t> Cp1252Length(std::string_view utf8) {
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto cp = NextCodePoint(utf8, i);
        if (!cp || CodePointToCp1252(*cp) < 0) {
            return std::nullopt;
        }
        ++n;
    }
    return n;
}

void AppendUtf8AsUtf16Le(std::string& out, std::string_view utf8) {
    const std::size_t start = out.size();
    out.resize(start + 2 * utf8.size());  // never more units than bytes
    char* o = out.data() + start;
    auto put = [&o](char32_t unit) {
        *o++ = static_cast<char>(unit & 0xFF);
        *o++ = static_cast<char>(unit >> 8);
    };
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Eight ASCII bytes at a time (the common case: XML).
        if (utf8.size() - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, utf8.data() + i, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                for (std::size_t k = 0; k < 8; ++k) {
                    o[2 * k] = utf8[i + k];
                    o[2 * k + 1] = '\0';
                }
                o += 16;
                i += 8;
                continue;
            }
        }
        const auto b = static_cast<std::uint8_t>(utf8[i]);
        if (b < 0x80) {
            *o++ = static_cast<char>(b);
            *o++ = '\0';
            ++i;
            continue;
        }
        const std::size_t before = i;
        const char32_t cp = NextCodePoint(utf8, i).value_or(0xFFFD);
        if (i == before) {
            ++i;  // only for unchecked input: never loop forever
        }
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

void AppendCp1252AsUtf8(std::string& out, const std::uint8_t* bytes, std::size_t size) {
    out.reserve(out.size() + size);
    for (std::size_t i = 0; i < size; ++i) {
        AppendCodePoint(out, Cp1252ToCodePoint(bytes[i]));
    }
}

void AppendUtf8AsCp1252(std::string& out, std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t before = i;
        const auto cp = NextCodePoint(utf8, i);
        const int b = cp ? CodePointToCp1252(*cp) : -1;
        out.push_back(b < 0 ? '?' : static_cast<char>(b));
        if (i == before) {
            ++i;
        }
    }
}

std::string DescribeFirstProblem(std::string_view utf8, bool cp1252) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t at = i;
        const auto cp = NextCodePoint(utf8, i);
        if (!cp) {
            return "byte inválido de UTF-8 na posição " + std::to_string(at);
        }
        if (cp1252 && CodePointToCp1252(*cp) < 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(*cp));
            return "caractere " + std::string(buf) + " sem equivalente em Windows-1252 na posição " +
                   std::to_string(at);
        }
    }
    return "texto válido";
}

}  // namespace kqz::codec::text
