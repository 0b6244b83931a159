#pragma once

// Shared pieces of the summary tests: a temporary folder, file bytes, a
// progress recorder and a compact text dump of the two tables.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "summary/progress.hpp"
#include "summary/tables.hpp"

namespace kqz::summary::testing {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kqz-summary-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name = "") const { return name.empty() ? path_ : path_ + "/" + name; }
    // Writes `bytes` to `name` inside the folder and returns the full path.
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string p = Path(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

  private:
    std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The lines of a text file with LF line breaks (the expected reports).
inline std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Records every call, in order, as text.
class RecordingProgress final : public ProgressSink {
  public:
    void SetText(const std::string& text) override {
        calls.push_back("text " + text);
        last_text = text;
    }
    void SetMax(double m) override { max = m; }
    void SetValue(double v) override { value = v; }
    void Pump() override { ++pumps; }

    std::vector<std::string> calls;
    std::string last_text;
    double max = -1;
    double value = -1;
    int pumps = 0;
};

inline std::string Num(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// "D <numdoc>|<valor or ->|<data>|<observ>" per document in number order, then
// "I <numero>|<cfop>|<valtot>" per item in CFOP order.
inline std::vector<std::string> Dump(const SummaryTables& t) {
    std::vector<std::string> out;
    for (const auto& [key, d] : t.memTable_Docto.Rows()) {
        out.push_back("D " + d.CZ_NUMDOC + "|" + (d.CZ_VALORCFE ? Num(*d.CZ_VALORCFE) : "-") + "|" +
                      d.CZ_DATA + "|" + d.CZ_OBSERV);
    }
    for (const CfopRow* i : t.memTable_CFOP.AllInCfopOrder()) {
        out.push_back("I " + i->Numero + "|" + i->CFOP + "|" + Num(i->ValTot));
    }
    return out;
}

}  // namespace kqz::summary::testing
