#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloud/codec/dataset.hpp"

namespace kqz::codec::testing {

inline std::string ReadFixture(const std::string& name) {
    const std::string path = std::string(KQZ_TEST_DATA) + "/codec/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("fixture missing: " + path);
    std::ostringstream buf;
    buf << in.rdbuf();
    return std::move(buf).str();
}

// Day number of a calendar date as the stream counts it (0001-01-01 = 1).
inline Date Day(int y, unsigned m, unsigned d) {
    // Days before the year, then before the month, of the proleptic Gregorian calendar.
    const int py = y - 1;
    static const unsigned before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days = py * 365 + py / 4 - py / 100 + py / 400 + static_cast<int>(before[m - 1]) +
                     (leap && m > 2 ? 1 : 0) + static_cast<int>(d);
    return Date{days};
}

inline DateTime At(int y, unsigned m, unsigned d, int hh, int mm, int ss, int ms = 0) {
    return DateTime{static_cast<double>(Day(y, m, d).day) * 86400000.0 + ((hh * 60 + mm) * 60 + ss) * 1000.0 +
                    ms};
}

// A FireDAC stream taken apart for editing in tests: the header and object
// tree as bytes, and the name dictionary as a list (ASCII names).
struct StreamParts {
    std::string tree;  // from byte 0 up to the dictionary
    std::vector<std::string> names;

    static StreamParts Of(const std::string& bytes) {
        StreamParts p;
        const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
        const std::size_t offset = u[8] | (u[9] << 8) | (u[10] << 16) | (std::size_t{u[11]} << 24);
        p.tree = bytes.substr(0, offset);
        for (std::size_t at = offset; at + 2 <= bytes.size();) {
            const std::size_t len = u[at] | (u[at + 1] << 8);
            std::string name;
            for (std::size_t k = 0; k < len; k += 2)
                name.push_back(bytes[at + 2 + k]);
            p.names.push_back(name);
            at += 2 + len;
        }
        return p;
    }

    std::string Bytes() const {
        std::string out = tree;
        const std::size_t offset = tree.size();
        for (int k = 0; k < 4; ++k)
            out[8 + static_cast<std::size_t>(k)] = static_cast<char>((offset >> (8 * k)) & 0xFF);
        for (const auto& n : names) {
            out.push_back(static_cast<char>((2 * n.size()) & 0xFF));
            out.push_back(static_cast<char>((2 * n.size()) >> 8));
            for (const char c : n) {
                out.push_back(c);
                out.push_back('\0');
            }
        }
        return out;
    }

    // The dictionary index of `name`, added at the end when missing.
    std::uint16_t Index(const std::string& name) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name)
                return static_cast<std::uint16_t>(i);
        }
        names.push_back(name);
        return static_cast<std::uint16_t>(names.size() - 1);
    }

    void Rename(const std::string& from, const std::string& to) { names.at(Index(from)) = to; }

    // The bytes of the property `name` (its dictionary index), for searching the tree.
    std::string Key(const std::string& name) {
        const std::uint16_t i = Index(name);
        return std::string{static_cast<char>(i & 0xFF), static_cast<char>(i >> 8)};
    }
    std::string Begin(const std::string& name) { return std::string{'\xFF', static_cast<char>(Index(name))}; }
};

}  // namespace kqz::codec::testing
