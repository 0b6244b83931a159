#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "summary/arquivos.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "summary/verificacao.hpp"
#include "tests/summary/helpers.hpp"

namespace kqz::summary {
namespace {

namespace sy = synth;
using testing::ReadBytes;
using testing::TempDir;

constexpr const char* kData = KQZ_TEST_DATA "/summary";

bool Tem(const std::vector<Problema>& ps, const std::string& trecho) {
    return std::any_of(ps.begin(), ps.end(),
                       [&](const Problema& p) { return p.descricao.find(trecho) != std::string::npos; });
}

std::string Todos(const std::vector<Problema>& ps) {
    std::string s;
    for (const Problema& p : ps) {
        s += p.arquivo + ": " + p.descricao + "\n";
    }
    return s;
}

sy::SaleSpec Venda() {
    sy::SaleSpec s;
    s.number = 120;
    s.date = {2021, 3, 19};
    s.items = {{"5102", 1250, ""}, {"5405", 3000, ""}};
    return s;
}

// Replaces the first `de` after `depois` (or from the start) with `para`.
std::string Trocar(std::string xml, const std::string& de, const std::string& para,
                   const std::string& depois = "") {
    const std::size_t inicio = depois.empty() ? 0 : xml.find(depois);
    const std::size_t p = xml.find(de, inicio);
    EXPECT_NE(p, std::string::npos) << de;
    if (p != std::string::npos) {
        xml.replace(p, de.size(), para);
    }
    return xml;
}

// Another base64 character for the one right after `marca`.
std::string MudarDepois(std::string xml, const std::string& marca) {
    const std::size_t p = xml.find(marca) + marca.size();
    xml[p] = xml[p] == 'Q' ? 'R' : 'Q';
    return xml;
}

// Generated coupons verify in both layouts; so does a real SAT device's
// one-line coupon (a public sample signed by the device).
TEST(Verificacao, SignedCouponsVerify) {
    for (const sy::Layout layout : {sy::Layout::kOneLine, sy::Layout::kIndented}) {
        sy::SaleSpec s = Venda();
        s.layout = layout;
        EXPECT_EQ(Todos(VerificarDocumento("venda.xml", sy::MakeSale(s))), "");
        EXPECT_EQ(Todos(VerificarDocumento("canc.xml", sy::MakeCancellation(sy::CancellationOf(s, 121)))),
                  "");
    }
    const std::string real = std::string(kData) + "/publicos/venda-linha-unica-sem-declaracao.xml";
    EXPECT_EQ(Todos(VerificarDocumento(real, ReadBytes(real))), "");
}

// One changed byte, anywhere in what the signature covers or in the signature
// itself, shows as "assinatura inválida".
TEST(Verificacao, OneChangedByteBreaksTheSignature) {
    const std::string xml = sy::MakeSale(Venda());
    // The same coupon carrying another unit's certificate (seen before, so
    // its key is already known to the checker).
    sy::SaleSpec outra_unidade = Venda();
    outra_unidade.emitter.serie = "900004020";
    const std::string xml_outra = sy::MakeSale(outra_unidade);
    ASSERT_EQ(Todos(VerificarDocumento("outra.xml", xml_outra)), "");
    auto certificado = [](const std::string& x) {
        const std::size_t a = x.find("<X509Certificate>");
        return x.substr(a, x.find("</X509Certificate>") - a);
    };
    ASSERT_NE(certificado(xml), certificado(xml_outra));
    struct Caso {
        const char* nome;
        std::string texto;
        const char* detalhe;
    };
    const std::vector<Caso> casos{
        {"an item's value", Trocar(xml, "<vItem>12.50", "<vItem>12.60"), "resumo (DigestValue)"},
        {"the total", Trocar(xml, "<vCFe>42.50", "<vCFe>42.51"), "resumo (DigestValue)"},
        {"a CFOP", Trocar(xml, "<CFOP>5405", "<CFOP>5102"), "resumo (DigestValue)"},
        {"the digest itself", MudarDepois(xml, "<DigestValue>"), "resumo (DigestValue)"},
        {"the signature value", MudarDepois(xml, "<SignatureValue>"), "valor da assinatura"},
        {"the signed infCFe hidden before a changed one",
         "<CFe><x>" + xml.substr(5, xml.find("</infCFe>") + 9 - 5) + "</x>" +
             Trocar(xml, "<vItem>12.50", "<vItem>12.60").substr(5),
         "fora da parte assinada"},
        {"a value added outside the signed part",
         Trocar(xml, "</CFe>", "<total><vCFe>999.00</vCFe></total></CFe>"), "fora da parte assinada"},
        {"another unit's certificate", Trocar(xml, certificado(xml), certificado(xml_outra)),
         "valor da assinatura"},
        {"no signature at all", xml.substr(0, xml.find("<Signature")) + "</CFe>", "sem a assinatura digital"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nome);
        const std::vector<Problema> ps = VerificarDocumento("venda.xml", c.texto);
        ASSERT_EQ(ps.size(), 1U) << Todos(ps);
        EXPECT_EQ(ps[0].descricao.rfind(std::string(kAssinaturaInvalida), 0), 0U) << ps[0].descricao;
        EXPECT_NE(ps[0].descricao.find(c.detalhe), std::string::npos) << ps[0].descricao;
        EXPECT_EQ(ps[0].numero, "000120");
    }
}

// The access key against the document (signatures left out: every change
// here breaks the signature too).
TEST(Verificacao, AccessKeyChecks) {
    const sy::SaleSpec s = Venda();
    const std::string key = sy::SaleKey(s);
    const std::string xml = sy::MakeSale(s);
    std::string dv_errado = key;
    dv_errado[43] = dv_errado[43] == '9' ? '0' : static_cast<char>(dv_errado[43] + 1);
    struct Caso {
        const char* nome;
        std::string texto;
        const char* problema;
    };
    const std::vector<Caso> casos{
        {"wrong check digit", Trocar(xml, key, dv_errado), "dígito verificador"},
        {"Id without 44 digits", Trocar(xml, "Id=\"CFe" + key, "Id=\"CFe" + key.substr(1)),
         "não é \"CFe\" e 44"},
        {"model 65", std::string(xml).replace(xml.find(key) + 20, 2, "65"), "modelo 65"},
        {"emitter differs", Trocar(xml, "<CNPJ>08723218000186", "<CNPJ>11222333000181"),
         "difere do emitente"},
        {"date of another month", Trocar(xml, "<dEmi>20210319", "<dEmi>20210419"), "diferem da data"},
        {"nCFe differs", Trocar(xml, "<nCFe>000120", "<nCFe>000121"), "difere de nCFe"},
        {"nserieSAT differs", Trocar(xml, "<nserieSAT>900004019", "<nserieSAT>900004018"),
         "difere de nserieSAT"},
        {"not a CF-e", "<NFe><infNFe/></NFe>", "não é um CF-e"},
        {"not XML", "<CFe><infCFe>", "XML mal formado"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nome);
        const std::vector<Problema> ps = VerificarDocumento("venda.xml", c.texto, false);
        EXPECT_TRUE(Tem(ps, c.problema)) << Todos(ps);
    }
    // The unchanged coupon passes with and without the signature check.
    EXPECT_EQ(Todos(VerificarDocumento("venda.xml", xml, false)), "");

    // A cancellation must point at a coupon of its own company.
    sy::CancSpec canc = sy::CancellationOf(s, 121);
    sy::SaleSpec outra = s;
    outra.emitter.cnpj = "11222333000181";
    canc.sale_key = sy::SaleKey(outra);
    EXPECT_TRUE(Tem(VerificarDocumento("canc.xml", sy::MakeCancellation(canc)), "outra empresa")) << "chCanc";
}

// A folder: a clean generated month of two units, then a changed byte, a
// duplicate, another company's coupon and another month's coupon.
TEST(Verificacao, FolderChecksOnEveryCore) {
    TempDir dir;
    sy::MonthSpec spec;
    spec.count = 60;
    spec.sat_units = 2;
    spec.cancel_permille = 100;
    std::vector<std::string> nomes;
    sy::GenerateMonth(spec, [&](sy::Document&& d) {
        dir.Write(d.name + ".xml", d.xml);
        nomes.push_back(d.name + ".xml");
    });
    OpcoesVerificacao opcoes;
    opcoes.threads = 3;
    testing::RecordingProgress progress;
    Verificacao v = VerificarArquivos(ListarArquivosXml({dir.Path()}), opcoes, progress);
    EXPECT_EQ(v.documentos, 60U);
    EXPECT_EQ(Todos(v.problemas), "");
    EXPECT_EQ(progress.value, 60);
    EXPECT_EQ(progress.last_text, "Verificando 60/60");

    // One byte of one coupon.
    const std::string alvo = dir.Path(nomes[7]);
    std::string bytes = ReadBytes(alvo);
    const std::size_t p = bytes.find("<vItem>") + 8;
    bytes[p] = bytes[p] == '9' ? '8' : '9';
    dir.Write(nomes[7], bytes);
    // The same coupon twice.
    dir.Write("copia.xml", ReadBytes(dir.Path(nomes[3])));
    // Another company's coupon and another month's.
    sy::SaleSpec outra = Venda();
    outra.emitter.cnpj = "11222333000181";
    dir.Write("outra.xml", sy::MakeSale(outra));
    sy::SaleSpec abril = Venda();
    abril.date = {2021, 4, 2};
    dir.Write("abril.xml", sy::MakeSale(abril));

    v = VerificarArquivos(ListarArquivosXml({dir.Path()}), {}, progress);
    EXPECT_EQ(v.documentos, 63U);
    ASSERT_EQ(v.problemas.size(), 4U) << Todos(v.problemas);
    auto de = [&](const std::string& arquivo) {
        std::string s;
        for (const Problema& pr : v.problemas) {
            if (pr.arquivo == dir.Path(arquivo)) {
                s += pr.descricao;
            }
        }
        return s;
    };
    EXPECT_EQ(de(nomes[7]).rfind("assinatura inválida", 0), 0U) << Todos(v.problemas);
    EXPECT_NE(de("copia.xml").find("chave duplicada"), std::string::npos) << Todos(v.problemas);
    EXPECT_NE(de("outra.xml").find("outra empresa"), std::string::npos) << Todos(v.problemas);
    EXPECT_NE(de("abril.xml").find("outro mês (04/2021; a pasta é de 03/2021)"), std::string::npos)
        << Todos(v.problemas);

    const std::vector<std::string> linhas = LinhasVerificacao(v, "08723218000186", "MERCADO EXEMPLO");
    EXPECT_EQ(linhas.front(), "Empresa: 08723218000186 - MERCADO EXEMPLO");
    EXPECT_EQ(linhas.back(), "Documentos verificados: 63; problemas: 4.");
}

// The generator's former random filler (kept for pessimistic benchmarks)
// never verifies, and says so per coupon; keys stay right.
TEST(Verificacao, RandomFillerSignaturesAreReported) {
    sy::MonthSpec spec;
    spec.count = 5;
    spec.signing = sy::Signing::kRandomFiller;
    for (const sy::Document& d : sy::MakeMonth(spec)) {
        const std::vector<Problema> ps = VerificarDocumento(d.name, d.xml);
        ASSERT_EQ(ps.size(), 1U) << Todos(ps);
        EXPECT_EQ(ps[0].descricao.rfind(std::string(kAssinaturaInvalida), 0), 0U) << ps[0].descricao;
    }
}

TEST(Verificacao, UnreadableFileIsAProblemNotAnError) {
    NoProgress none;
    const Verificacao v = VerificarArquivos({"/nao/existe.xml"}, {}, none);
    ASSERT_EQ(v.problemas.size(), 1U);
    EXPECT_NE(v.problemas[0].descricao.find("não foi possível ler"), std::string::npos);
    EXPECT_EQ(LinhasVerificacao({}, "1", "X").back(),
              "Nenhum problema encontrado. Documentos verificados: 0.");
}

// A caller that gives up (its progress throws, as a window closing does) gets
// its exception back once the checking threads have stopped.
TEST(Verificacao, ACallerThatGivesUpGetsItsExceptionBack) {
    TempDir dir;
    sy::MonthSpec spec;
    spec.count = 40;
    std::vector<std::string> files;
    sy::GenerateMonth(spec, [&](sy::Document&& d) {
        dir.Write(d.name + ".xml", d.xml);
        files.push_back(dir.Path(d.name + ".xml"));
    });
    struct Desiste final : ProgressSink {
        struct Parou {};
        void SetText(const std::string&) override {}
        void SetMax(double) override {}
        void SetValue(double) override {}
        void Pump() override { throw Parou{}; }
    } desiste;
    OpcoesVerificacao opcoes;
    opcoes.threads = 2;
    EXPECT_THROW(VerificarArquivos(files, opcoes, desiste), Desiste::Parou);
}

}  // namespace
}  // namespace kqz::summary
