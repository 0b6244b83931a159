#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "server/admin.hpp"
#include "server/documents.hpp"
#include "server/storage.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::Backend;

std::string Text(const codec::Value& v) {
    if (std::holds_alternative<std::monostate>(v))
        return "<null>";
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return std::to_string(*i);
    if (const auto* d = std::get_if<codec::Decimal>(&v))
        return "dec:" + d->text;
    return "<?>";
}

std::vector<std::vector<std::string>> Texts(const std::vector<codec::Row>& rows) {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : rows) {
        out.emplace_back();
        for (const auto& v : r)
            out.back().push_back(Text(v));
    }
    return out;
}

StoredDocument Read(const std::string& file) {
    std::string reason;
    auto doc = ReadCfe(test::ReadTestFile(file), reason);
    if (!doc)
        throw std::runtime_error(file + ": " + reason);
    return *doc;
}

class StorageTest : public testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(GetParam());
        if (db_->Skipped())
            GTEST_SKIP() << "KQZ_TEST_PG_URL não definido: casos PostgreSQL pulados";
    }
    Storage& S() { return db_->Open(); }
    std::unique_ptr<test::TempDatabase> db_;
};

TEST_P(StorageTest, ImportIsIdempotentAndAllOrNothing) {
    const std::vector<StoredDocument> docs = {Read("venda-1item.xml"), Read("venda-linha-unica.xml"),
                                              Read("cancelamento.xml")};
    auto first = S().Import(docs);
    EXPECT_EQ(first.inserted, 3u);
    auto again = S().Import(docs);
    EXPECT_EQ(again.inserted, 0u);
    EXPECT_EQ(again.alreadyStored, 3u);

    // A batch with one bad row writes none of its rows.
    StoredDocument fresh = docs[0];
    fresh.numero = "CFe00000000000000000000000000000000000000000000-VD";
    StoredDocument bad = docs[0];
    bad.numero = "CFe11111111111111111111111111111111111111111111-VD";
    bad.month = "15071";
    EXPECT_THROW(S().Import({fresh, bad}), StorageError);
    EXPECT_EQ(S().GetStats().documents, 3);

    // Reopening the same database finds everything (schema already there).
    auto reopened = Storage::Open(db_->Target());
    EXPECT_EQ(reopened->CountDocuments("08723218000186", "1509"), 2);
}

// The per-month counts follow every change of KQZ_SAD, also those made by
// statements the operator runs.
TEST_P(StorageTest, CountsFollowEveryChange) {
    S().Import({Read("venda-1item.xml"), Read("venda-linha-unica.xml"), Read("cancelamento.xml")});
    struct Step {
        const char* sql;
        std::int64_t july;
        std::int64_t september;
        std::int64_t october;
    };
    const Step steps[] = {
        {"UPDATE KQZ_SAD SET AD_DATA = '1510' WHERE AD_NUMERO LIKE 'CFeCanc%'", 1, 1, 1},
        {"UPDATE KQZ_SAD SET AD_VALOR = 1 WHERE AD_DATA = '1510'", 1, 1, 1},
        {"DELETE FROM KQZ_SAD WHERE AD_DATA = '1507'", 0, 1, 1},
        {"INSERT INTO KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML) "
         "SELECT AD_CNPJ, '1507', AD_NUMERO || 'x', AD_VALOR, AD_XML FROM KQZ_SAD",
         2, 1, 1},
        {"DELETE FROM KQZ_SAD", 0, 0, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sql);
        S().Execute(step.sql);
        EXPECT_EQ(S().CountDocuments("08723218000186", "1507"), step.july);
        EXPECT_EQ(S().CountDocuments("08723218000186", "1509"), step.september);
        EXPECT_EQ(S().CountDocuments("08723218000186", "1510"), step.october);
    }
    S().Import({Read("venda-1item.xml")});
    EXPECT_EQ(S().CountDocuments("08723218000186", "1507"), 1);
}

TEST_P(StorageTest, QueriesReturnWhatIsStoredInOrder) {
    S().Import({Read("venda-1item.xml"), Read("cancelamento.xml"), Read("venda-linha-unica.xml")});
    EXPECT_TRUE(S().AddCompany("44555666000199", "PADARIA SÃO JOÃO"));
    EXPECT_TRUE(S().AddCompany("11222333000181", "MERCADO O'BRIEN"));
    EXPECT_FALSE(S().AddCompany("11222333000181", "MERCADO O'BRIEN"));
    EXPECT_TRUE(S().AddCompany("11222333000181", "ATACADO BRIEN"));
    EXPECT_TRUE(S().AddUser("contador@exemplo.com.br", "44555666000199"));
    EXPECT_TRUE(S().AddUser("contador@exemplo.com.br", "11222333000181"));
    EXPECT_FALSE(S().AddUser("contador@exemplo.com.br", "11222333000181"));
    EXPECT_TRUE(S().AddUser("o'brien@exemplo.com.br", "11222333000181"));
    S().SetVersion(3, "http://a", "v3");
    S().SetVersion(4, "http://b/kqz.zip", "VERSÃO:  1.0.3 - 210408");

    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(Texts(S().Version("P_VERATU")), (Rows{{"4", "http://b/kqz.zip", "VERSÃO:  1.0.3 - 210408"}}));
    EXPECT_EQ(Texts(S().Version("P_OUTRO")), Rows{});
    EXPECT_EQ(
        Texts(S().Users("contador@exemplo.com.br")),
        (Rows{{"contador@exemplo.com.br", "11222333000181"}, {"contador@exemplo.com.br", "44555666000199"}}));
    EXPECT_EQ(Texts(S().Users("o'brien@exemplo.com.br")),
              (Rows{{"o'brien@exemplo.com.br", "11222333000181"}}));
    EXPECT_EQ(Texts(S().Users("CONTADOR@exemplo.com.br")), Rows{});
    EXPECT_EQ(Texts(S().Companies({"xx", "11222333000181", "44555666000199", "a'b", "11222333000181"})),
              (Rows{{"ATACADO BRIEN", "11222333000181"},
                    {"MERCADO O'BRIEN", "11222333000181"},
                    {"PADARIA SÃO JOÃO", "44555666000199"}}));
    EXPECT_EQ(Texts(S().Companies({"xx"})), Rows{});
    EXPECT_EQ(Texts(S().DocumentCnpjs()), (Rows{{"08723218000186"}}));
    EXPECT_EQ(S().CountDocuments("08723218000186", "1509"), 2);
    EXPECT_EQ(S().CountDocuments("08723218000186", "1507"), 1);
    EXPECT_EQ(S().CountDocuments("08723218000186", "2103"), 0);

    std::vector<codec::Row> docs;
    S().Documents("08723218000186", "1509", [&](codec::Row&& r) { docs.push_back(std::move(r)); });
    ASSERT_EQ(docs.size(), 2u);
    const auto rows = Texts(docs);
    EXPECT_EQ(rows[0][2], "CFe35150908723218000186599000040190000007972068-VD");
    EXPECT_EQ(rows[0][3], "dec:654.32");
    EXPECT_EQ(rows[0][4], test::ReadTestFile("venda-linha-unica.xml"));
    EXPECT_EQ(rows[0][5], "000000");
    EXPECT_EQ(rows[1][2], "CFeCanc35150908723218000186599000040190000378585470-CA");
    EXPECT_EQ(rows[1][3], "dec:0.00");
    EXPECT_EQ(rows[1][5], "000037");
    EXPECT_EQ((std::vector<std::string>{rows[1][0], rows[1][1]}),
              (std::vector<std::string>{"08723218000186", "1509"}));

    EXPECT_EQ(S().RemoveUser("contador@exemplo.com.br", std::string("44555666000199")), 1u);
    EXPECT_EQ(S().RemoveUser("contador@exemplo.com.br", std::nullopt), 1u);
    EXPECT_EQ(S().RemoveUser("contador@exemplo.com.br", std::nullopt), 0u);

    const Stats s = S().GetStats();
    EXPECT_EQ(s.documents, 3);
    EXPECT_EQ(s.users, 1);
    EXPECT_EQ(s.companies, 3);
    EXPECT_EQ(s.parameters, 1);
    ASSERT_EQ(s.perCompanyMonth.size(), 2u);
    EXPECT_EQ(s.perCompanyMonth[1].month, "1509");
    EXPECT_EQ(s.perCompanyMonth[1].documents, 2);
}

TEST_P(StorageTest, GeneratedMonthComesBackInNumberOrderWithItsNumbers) {
    namespace synth = kqz::summary::synth;
    synth::MonthSpec spec;
    spec.emitter.cnpj = "11222333000181";
    spec.emitter.fantasy = "PADARIA SÃO JOÃO";
    spec.count = 300;
    spec.first_number = 999700;  // the SAT counter wraps at 999999
    spec.cancel_permille = 100;
    spec.gap_permille = 50;
    std::vector<std::pair<std::string, int>> made;  // AD_NUMERO, coupon number
    std::vector<StoredDocument> batch;
    std::map<std::string, std::string> xmlByNumero;
    synth::GenerateMonth(spec, [&](synth::Document&& d) {
        std::string reason;
        auto doc = ReadCfe(d.xml, reason);
        ASSERT_TRUE(doc) << d.name << ": " << reason;
        EXPECT_EQ(doc->numero, d.name);
        made.emplace_back(doc->numero, d.number);
        xmlByNumero[doc->numero] = doc->xml;
        batch.push_back(std::move(*doc));
    });
    EXPECT_EQ(S().Import(batch).inserted, 300u);
    EXPECT_EQ(S().Import(batch).inserted, 0u);
    EXPECT_EQ(S().CountDocuments("11222333000181", "2103"), 300);

    // Documents come in the order they were issued: by coupon number.
    std::sort(made.begin(), made.end(), [](const auto& a, const auto& b) {
        return std::tie(a.second, a.first) < std::tie(b.second, b.first);
    });
    std::size_t i = 0;
    S().Documents("11222333000181", "2103", [&](codec::Row&& r) {
        ASSERT_LT(i, made.size());
        EXPECT_EQ(std::get<std::string>(r[2]), made[i].first);
        EXPECT_EQ(std::stoi(std::get<std::string>(r[5])), made[i].second);
        EXPECT_EQ(std::get<std::string>(r[4]), xmlByNumero[made[i].first]);
        ++i;
    });
    EXPECT_EQ(i, made.size());
}

TEST_P(StorageTest, ImportPathsWalksFoldersAndReportsWhatItSkips) {
    namespace fs = std::filesystem;
    const fs::path in = db_->Folder() / "entrada";
    fs::create_directories(in / "sub");
    const std::string data = std::string(KQZ_TEST_DATA) + "/server/";
    fs::copy_file(data + "venda-1item.xml", in / "a.xml");
    fs::copy_file(data + "cancelamento.xml", in / "sub" / "B.XML");
    { std::ofstream(in / "quebrado.xml") << "<CFe><infCFe"; }
    { std::ofstream(in / "notas.txt") << "não é XML e não é olhado"; }
    const std::vector<std::string> paths = {in.string(), data + "venda-linha-unica.xml", data + "SOURCES.txt",
                                            (in / "nao-existe.xml").string()};
    std::vector<std::string> report;
    const ImportSummary first = ImportPaths(S(), paths, [&](const std::string& l) { report.push_back(l); });
    EXPECT_EQ(first.files, 6u);
    EXPECT_EQ(first.inserted, 3u);
    EXPECT_EQ(first.skipped, 3u);
    auto reported = [&](const std::string& name, const std::string& reason) {
        for (const auto& l : report) {
            if (l.find(name) != std::string::npos && l.find(reason) != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(reported("quebrado.xml", "XML mal formado"));
    EXPECT_TRUE(reported("SOURCES.txt", "XML mal formado"));
    EXPECT_TRUE(reported("nao-existe.xml", "não encontrado"));
    EXPECT_FALSE(reported("notas.txt", ""));

    const ImportSummary again = ImportPaths(S(), paths, [](const std::string&) {});
    EXPECT_EQ(again.inserted, 0u);
    EXPECT_EQ(again.alreadyStored, 3u);
    EXPECT_EQ(S().GetStats().documents, 3);
}

TEST_P(StorageTest, DemoFillsThreeMonthsEndingWithThePreviousOne) {
    std::tm tm{};
    tm.tm_year = 2021 - 1900;
    tm.tm_mon = 1;  // February 2021: the months are 2101, 2012, 2011
    tm.tm_mday = 10;
    tm.tm_hour = 12;
    const auto today = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    const DemoSummary demo = FillDemo(S(), today, 40, [](const std::string&) {});
    EXPECT_EQ(demo.months, (std::vector<std::string>{"2101", "2012", "2011"}));
    EXPECT_EQ(demo.tryMonth, "01/2021");
    EXPECT_EQ(demo.documents, 3u * 3u * 40u);
    const Stats s = S().GetStats();
    EXPECT_EQ(s.documents, 360);
    EXPECT_EQ(s.perCompanyMonth.size(), 9u);
    EXPECT_EQ(S().Users(demo.tryEmail).size(), 2u);
    const auto version = S().Version("P_VERATU");
    ASSERT_EQ(version.size(), 1u);
    EXPECT_EQ(std::get<std::int64_t>(version[0][0]), 4);
    // Sales, cancellations and CFOPs of every kind are there.
    bool cancellation = false;
    std::string cfops;
    for (const auto& cnpj : S().DocumentCnpjs()) {
        S().Documents(std::get<std::string>(cnpj[0]), "2101", [&](codec::Row&& r) {
            const auto& xml = std::get<std::string>(r[4]);
            cancellation = cancellation || xml.find("<CFeCanc") != std::string::npos;
            for (const char* cfop : {"5102", "5405", "5101"}) {
                if (xml.find(std::string("<CFOP>") + cfop) != std::string::npos &&
                    cfops.find(cfop) == std::string::npos) {
                    cfops += cfop;
                }
            }
        });
    }
    EXPECT_TRUE(cancellation);
    EXPECT_EQ(cfops.size(), 12u);
    // ... and a few missing numbers for the report to point out.
    int gaps = 0;
    for (const auto& cnpj : S().DocumentCnpjs()) {
        int previous = -1;
        S().Documents(std::get<std::string>(cnpj[0]), "2101", [&](codec::Row&& r) {
            const int number = std::stoi(std::get<std::string>(r[5]));
            gaps += previous >= 0 && number > previous + 1 ? 1 : 0;
            previous = number;
        });
    }
    EXPECT_GT(gaps, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, StorageTest, testing::Values(Backend::Sqlite, Backend::Postgres),
                         test::BackendName);

}  // namespace
}  // namespace kqz::server
