#include "server/admin.hpp"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "kqz_version.hpp"
#include "summary/synth/cfe_synth.hpp"

namespace kqz::server {
namespace {

namespace fs = std::filesystem;

bool HasXmlExtension(const fs::path& p) {
    std::string ext = p.extension().string();
    for (auto& c : ext) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return ext == ".xml";
}

// Reads a whole file, refusing anything bigger than a CF-e can be.
bool ReadSmallFile(const fs::path& path, std::string& text, std::string& reason) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        reason = "não consegui ler o arquivo (" + ec.message() + ")";
        return false;
    }
    if (size > kMaxDocumentBytes) {
        reason = "arquivo grande demais para um CF-e (" + std::to_string(size) + " bytes)";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = "não consegui abrir o arquivo";
        return false;
    }
    text.assign(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    if (static_cast<std::uintmax_t>(in.gcount()) != size) {
        reason = "não consegui ler o arquivo inteiro";
        return false;
    }
    return true;
}

class Importer {
  public:
    Importer(Storage& storage, const ImportReport& report) : storage_(storage), report_(report) {}

    void File(const fs::path& path) {
        ++summary_.files;
        std::string text;
        std::string reason;
        if (ReadSmallFile(path, text, reason)) {
            if (auto doc = ReadCfe(std::move(text), reason)) {
                Add(std::move(*doc));
            } else {
                Skip(path, reason);
            }
        } else {
            Skip(path, reason);
        }
        if (summary_.files % 1000 == 0)
            Progress();
    }

    void Add(StoredDocument doc) {
        batch_.push_back(std::move(doc));
        if (batch_.size() >= kImportBatch)
            Flush();
    }

    void Skip(const fs::path& path, const std::string& reason) {
        ++summary_.skipped;
        report_(path.string() + ": ignorado: " + reason);
    }

    void Flush() {
        if (batch_.empty())
            return;
        const ImportOutcome out = storage_.Import(batch_);
        summary_.inserted += out.inserted;
        summary_.alreadyStored += out.alreadyStored;
        batch_.clear();
    }

    void Progress() {
        report_("importação: " + std::to_string(summary_.files) + " arquivos lidos, " +
                std::to_string(summary_.inserted + batch_.size()) + " novos até aqui");
    }

    ImportSummary& Summary() { return summary_; }

  private:
    Storage& storage_;
    const ImportReport& report_;
    std::vector<StoredDocument> batch_;
    ImportSummary summary_;
};

std::string TwoDigits(int n) {
    std::string s = std::to_string(n);
    return s.size() < 2 ? "0" + s : s;
}

// A CNPJ with valid check digits from its first twelve digits.
std::string CompleteCnpj(const std::string& twelve) {
    std::string d = twelve;
    for (int round = 0; round < 2; ++round) {
        int sum = 0;
        int weight = 2;
        for (auto it = d.rbegin(); it != d.rend(); ++it) {
            sum += (*it - '0') * weight;
            weight = weight == 9 ? 2 : weight + 1;
        }
        const int r = sum % 11;
        d.push_back(static_cast<char>('0' + (r < 2 ? 0 : 11 - r)));
    }
    return d;
}

}  // namespace

ImportSummary ImportPaths(Storage& storage, const std::vector<std::string>& paths,
                          const ImportReport& report) {
    Importer importer(storage, report);
    for (const auto& p : paths) {
        const fs::path path(p);
        std::error_code ec;
        const auto status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            importer.Summary().files++;
            importer.Skip(path, "arquivo ou pasta não encontrado");
            continue;
        }
        if (fs::is_directory(status)) {
            // Sorted, so that repeated imports report in the same order.
            std::vector<fs::path> files;
            fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
            for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (it->is_regular_file() && HasXmlExtension(it->path()))
                    files.push_back(it->path());
            }
            if (ec)
                importer.Skip(path, "não consegui percorrer a pasta (" + ec.message() + ")");
            std::sort(files.begin(), files.end());
            for (const auto& f : files)
                importer.File(f);
        } else {
            importer.File(path);
        }
    }
    importer.Flush();
    importer.Progress();
    return importer.Summary();
}

DemoSummary FillDemo(Storage& storage, std::chrono::system_clock::time_point today, int documentsPerMonth,
                     const ImportReport& report) {
    namespace synth = kqz::summary::synth;
    struct Company {
        std::string cnpj;
        std::string fantasy;
        std::string name;
        std::string serie;
    };
    const std::vector<Company> companies = {
        {CompleteCnpj("112223330001"), "MERCADO BOA VISTA", "MERCADO BOA VISTA LTDA", "900011111"},
        {CompleteCnpj("445556660001"), "PADARIA SÃO JOÃO", "PANIFICADORA SAO JOAO LTDA", "900022222"},
        {CompleteCnpj("778889990001"), "AUTO PEÇAS CENTRAL", "CENTRAL AUTO PECAS EIRELI", "900033333"},
    };

    const std::time_t t = std::chrono::system_clock::to_time_t(today);
    std::tm tm{};
    localtime_r(&t, &tm);
    int year = tm.tm_year + 1900;
    int month = tm.tm_mon + 1;

    DemoSummary summary;
    Importer importer(storage, report);
    for (int back = 1; back <= 3; ++back) {
        --month;
        if (month == 0) {
            month = 12;
            --year;
        }
        const std::string yymm = TwoDigits(year % 100) + TwoDigits(month);
        summary.months.push_back(yymm);
        if (back == 1)
            summary.tryMonth = TwoDigits(month) + "/" + std::to_string(year);
        for (std::size_t c = 0; c < companies.size(); ++c) {
            synth::MonthSpec spec;
            spec.emitter.cnpj = companies[c].cnpj;
            spec.emitter.name = companies[c].name;
            spec.emitter.fantasy = companies[c].fantasy;
            spec.emitter.serie = companies[c].serie;
            spec.year = year;
            spec.month = month;
            spec.count = documentsPerMonth;
            // Numbers go on from month to month as a SAT's counter does.
            spec.first_number = 1 + (3 - back) * documentsPerMonth * 2;
            spec.max_items = 6;
            spec.cancel_permille = 40;
            spec.gap_permille = 30;  // a few missing numbers in every month
            spec.seed = 1000 * c + static_cast<std::uint64_t>(year * 12 + month);
            synth::GenerateMonth(spec, [&](synth::Document&& d) {
                std::string reason;
                auto doc = ReadCfe(std::move(d.xml), reason);
                if (!doc)
                    throw std::runtime_error("documento sintético " + d.name + " recusado: " + reason);
                ++summary.documents;
                importer.Add(std::move(*doc));
            });
        }
    }
    importer.Flush();

    for (const auto& c : companies)
        storage.AddCompany(c.cnpj, c.fantasy);
    summary.tryEmail = "contador@exemplo.com.br";
    storage.AddUser(summary.tryEmail, companies[0].cnpj);
    storage.AddUser(summary.tryEmail, companies[1].cnpj);
    storage.AddUser("loja@exemplo.com.br", companies[2].cnpj);
    for (const auto& c : companies)
        storage.AddUser("admin@kqz.com.br", c.cnpj);
    // The demo offers this very build: the client starts without the update notice.
    storage.SetVersion(kBuildNumber,
                       std::string("https://www.exemplo.com.br/kqz/KQZ_BASKO-") + kVersion + ".zip",
                       kVersionLabel);
    return summary;
}

}  // namespace kqz::server
