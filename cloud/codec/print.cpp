#include "cloud/codec/print.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "cloud/codec/adbs_internal.hpp"

namespace kqz::codec {
namespace {

void Escaped(std::string& out, std::string_view s) {
    for (const char c : s) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out.push_back(c);
        }
    }
}

void DateText(std::string& out, std::int64_t days) {
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    detail::CivilFromDays(days, y, m, d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%04lld-%02u-%02u", y < 0 ? "-" : "",
                  static_cast<long long>(y < 0 ? -y : y), m, d);
    out += buf;
}

void TimeText(std::string& out, std::int64_t ms) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
    out += buf;
}

template <class T>
void Number(std::string& out, T v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void Append(std::string& out, const Value& value) {
    struct Visitor {
        std::string& out;
        void operator()(std::monostate) const { out += "\\N"; }
        void operator()(bool b) const { out += b ? "true" : "false"; }
        void operator()(std::int64_t v) const { Number(out, v); }
        void operator()(std::uint64_t v) const { Number(out, v); }
        void operator()(double v) const { Number(out, v); }
        void operator()(const std::string& s) const { Escaped(out, s); }
        void operator()(const Bytes& b) const { Escaped(out, b.data); }
        void operator()(const Date& d) const { DateText(out, d.day); }
        void operator()(const Time& t) const {
            if (t.ms < 0) {
                Number(out, t.ms);  // not a time of day: show the stored number
            } else {
                TimeText(out, t.ms);
            }
        }
        void operator()(const DateTime& dt) const {
            // Beyond +-10^16 ms (300,000 years) or not a number: show the stored number.
            if (!std::isfinite(dt.ms) || std::fabs(dt.ms) > 1e16) {
                Number(out, dt.ms);
                return;
            }
            const auto total = static_cast<std::int64_t>(std::floor(dt.ms));
            const std::int64_t days = total >= 0 ? total / 86400000 : (total - 86399999) / 86400000;
            DateText(out, days);
            out.push_back('T');
            TimeText(out, total - days * 86400000);
        }
        void operator()(const Decimal& d) const { out += d.text; }
    };
    std::visit(Visitor{out}, value);
}

}  // namespace

std::string FormatValue(const Value& value) {
    std::string s;
    Append(s, value);
    return s;
}

void PrintDataset(std::ostream& out, std::string_view title, const Dataset& ds) {
    std::string line = "# ";
    Escaped(line, title);
    line.push_back('\n');
    for (std::size_t i = 0; i < ds.columns.size(); ++i) {
        if (i != 0)
            line.push_back('\t');
        Escaped(line, ds.columns[i].name);
    }
    line.push_back('\n');
    out << line;
    for (const Row& row : ds.rows) {
        line.clear();
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i != 0)
                line.push_back('\t');
            Append(line, row[i]);
        }
        line.push_back('\n');
        out << line;
    }
}

}  // namespace kqz::codec
