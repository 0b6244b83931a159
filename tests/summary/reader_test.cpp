#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <string>
#include <utility>
#include <vector>

#include "summary/error.hpp"
#include "summary/ler_xml.hpp"
#include "tests/summary/helpers.hpp"
#include "tests/summary/um_documento_cases.hpp"

namespace kqz::summary {
namespace {

using testing::Dump;
using testing::ReadBytes;
using testing::TempDir;

constexpr const char* kData = KQZ_TEST_DATA "/summary";

struct Item {
    std::string cfop;
    std::string vItem;
};

// A small sale: ide (nCFe, dEmi), items, total and one payment.
std::string Venda(const std::string& nCFe, const std::string& dEmi, const std::vector<Item>& items,
                  const std::string& vCFe = "1.00", bool pagamento = true) {
    std::string x = "<CFe><infCFe Id=\"CFe35210308723218000186599000040190000011234560\"><ide><nCFe>" + nCFe +
                    "</nCFe><dEmi>" + dEmi + "</dEmi></ide><emit><CNPJ>08723218000186</CNPJ></emit>";
    int n = 0;
    for (const Item& i : items) {
        x += "<det nItem=\"" + std::to_string(++n) + "\"><prod><CFOP>" + i.cfop + "</CFOP><vItem>" + i.vItem +
             "</vItem></prod></det>";
    }
    x += "<total><vCFe>" + vCFe + "</vCFe></total>";
    if (pagamento) {
        x += "<pgto><MP><cMP>01</cMP><vMP>" + vCFe + "</vMP></MP></pgto>";
    }
    return x + "</infCFe></CFe>";
}

// A small cancellation of the sale numbered `cancelado` (the key's digits 32-37).
std::string Cancelamento(const std::string& nCFe, const std::string& dEmi, const std::string& cancelado) {
    const std::string chave = "3521030872321800018659900004019" + cancelado + "1234560";
    return "<CFeCanc><infCFe Id=\"CFe35210308723218000186599000040190000991234567\" chCanc=\"CFe" + chave +
           "\"><dEmi>20210101</dEmi><ide><nCFe>" + nCFe + "</nCFe><dEmi>" + dEmi +
           "</dEmi></ide><total><vCFe>1.00</vCFe></total></infCFe></CFeCanc>";
}

struct Arquivo {
    std::string nome;
    std::string texto;
};

struct ReaderCase {
    const char* name;
    std::vector<Arquivo> arquivos;  // read in this order
    std::vector<std::string> esperado;
};

// Every case reads its files both from disk and from memory: the two entries
// must agree.
TEST(LerXml, TableOfCases) {
    const std::string fixture_31 =
        ReadBytes(std::string(kData) + "/publicos/venda-31itens-referencia-de-caractere.xml");
    std::vector<std::string> itens_31{"D 000024|1528|06/08/2015|"};
    // The 31 items (CFOPs 5001..5978 as in the public sample).
    const std::vector<std::pair<std::string, double>> por_cfop{
        {"5001", 100}, {"5002", 20},  {"5003", 30},  {"5004", 40},  {"5005", 50}, {"5006", 60},
        {"5007", 70},  {"5011", 100}, {"5012", 20},  {"5013", 30},  {"5014", 40}, {"5015", 50},
        {"5016", 60},  {"5017", 70},  {"5018", 100}, {"5019", 20},  {"5020", 30}, {"5021", 40},
        {"5022", 50},  {"5023", 60},  {"5024", 70},  {"5025", 280}, {"5218", 15}, {"5234", 10},
        {"5298", 23},  {"5375", 15},  {"5687", 10},  {"5924", 20},  {"5978", 45}};

    const std::vector<ReaderCase> cases{
        {"sale with CFOPs 5102, 5405, 5102: three items and one document",
         {{"v1.xml",
           Venda("000001", "20210319", {{"5102", "10.00"}, {"5405", "30.00"}, {"5102", "5.90"}}, "45.90")}},
         {"D 000001|45.9|19/03/2021|", "I 000001|5102|10", "I 000001|5102|5.9", "I 000001|5405|30"}},
        {"sale without cMP: items stay, no document row",
         {{"v.xml", Venda("000007", "20210319", {{"5102", "2.00"}}, "2.00", false)}},
         {"I 000007|5102|2"}},
        {"sale without vCFe text: document total empty",
         {{"v.xml", Venda("000008", "20210319", {{"5102", "2.00"}}, "")}},
         {"D 000008|-|19/03/2021|", "I 000008|5102|2"}},
        {"no dEmi gives the date //",
         {{"v.xml",
           "<CFe><infCFe><ide><nCFe>000009</nCFe></ide><pgto><MP><cMP>01</cMP></MP></pgto></infCFe></CFe>"}},
         {"D 000009|-|//|"}},
        {"short dEmi: missing characters are absent",
         {{"v.xml", Venda("000010", "202103", {})}},
         {"D 000010|1|/03/2021|"}},
        {"a name with cfec in lower case is a sale",
         {{"x-cfecanc-1.xml", Venda("000011", "20210319", {{"5102", "1.00"}})}},
         {"D 000011|1|19/03/2021|", "I 000011|5102|1"}},
        {"cancellation after its sale voids it and deletes its items",
         {{"v2.xml", Venda("000002", "20210319", {{"5102", "12.50"}}, "12.50")},
          {"CFeCanc3.xml", Cancelamento("000003", "20210319", "000002")}},
         {"D 000002|0|19/03/2021|CANCELADO PELO DO CFE 000003",
          "D 000003|0|19/03/2021|CANCELAMENTO DO CFE 000002"}},
        {"a cancellation named otherwise is known by its root element",
         {{"cfe-sat-2.xml", Venda("000002", "20210319", {{"5102", "12.50"}}, "12.50")},
          {"cancelamento-000303.xml", Cancelamento("000003", "20210319", "000002")}},
         {"D 000002|0|19/03/2021|CANCELADO PELO DO CFE 000003",
          "D 000003|0|19/03/2021|CANCELAMENTO DO CFE 000002"}},
        {"a sale whose name holds CFeC is still read as a cancellation",
         {{"CFeC-2.xml", Venda("000002", "20210319", {{"5102", "12.50"}}, "12.50")}},
         {"D 000002|0|19/03/2021|CANCELAMENTO DO CFE 990000"}},
        {"cancellation read before its sale only adds its own row",
         {{"CFeCanc3.xml", Cancelamento("000003", "20210319", "000002")},
          {"v2.xml", Venda("000002", "20210319", {{"5102", "12.50"}}, "12.50")}},
         {"D 000002|12.5|19/03/2021|", "D 000003|0|19/03/2021|CANCELAMENTO DO CFE 000002",
          "I 000002|5102|12.5"}},
        {"cancellation date: the last dEmi (its own), not the sale's",
         {{"CFeCanc.xml", Cancelamento("000004", "20210401", "000003")}},
         {"D 000004|0|01/04/2021|CANCELAMENTO DO CFE 000003"}},
        {"cancellation without chCanc takes characters 42 to 47 of its text",
         {{"CFeCanc.xml",
           "<CFeCanc><infCFe><ide><nCFe>000005</nCFe>0123456789ABCDEFGHIJ</ide></infCFe></CFeCanc>"}},
         // characters 42..47: the text from offset 41
         {"D 000005|0|//|CANCELAMENTO DO CFE 012345"}},
        {"two rows share the cancelled number: the first is voided, every item deleted",
         {{"a.xml", Venda("000002", "20210319", {{"5102", "1.00"}}, "1.00")},
          {"b.xml", Venda("000002", "20210320", {{"5405", "2.00"}}, "2.00")},
          {"CFeC.xml", Cancelamento("000003", "20210320", "000002")}},
         {"D 000002|0|19/03/2021|CANCELADO PELO DO CFE 000003", "D 000002|2|20/03/2021|",
          "D 000003|0|20/03/2021|CANCELAMENTO DO CFE 000002"}},
        {"two nCFe elements: the last wins",
         {{"v.xml", "<CFe><a><nCFe>000001</nCFe></a><b><nCFe>000002</nCFe></b><cMP>01</cMP></CFe>"}},
         {"D 000002|-|//|"}},
        {"the value is the first child's: text before a child element, nothing after",
         {{"v.xml", "<CFe><nCFe><x/>000001</nCFe><dEmi>20210319<x/>99</dEmi><cMP/></CFe>"}},
         {"D |-|19/03/2021|"}},
        {"empty CFOP element: an item with an empty CFOP",
         {{"v.xml", Venda("000012", "20210319", {{"", "3.00"}})}},
         {"D 000012|1|19/03/2021|", "I 000012||3"}},
        {"character references are decoded",
         {{"v.xml", Venda("&#x30;00013", "20210319", {{"&#53;102", "1.00"}})}},
         {"D 000013|1|19/03/2021|", "I 000013|5102|1"}},
        {"UTF-8 byte-order mark before the declaration",
         {{"v.xml", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" +
                        Venda("000014", "20210319", {{"5102", "1.00"}})}},
         {"D 000014|1|19/03/2021|", "I 000014|5102|1"}},
        {"public sample: one line, no declaration",
         {{"v.xml", ReadBytes(std::string(kData) + "/publicos/venda-linha-unica-sem-declaracao.xml")}},
         {"D 000000|654.32|12/09/2015|", "I 000000|5001|654.32"}},
        {"public sample: 31 items, 10 payments, character references, then its cancellation",
         {{"venda.xml", fixture_31},
          {"CFeCanc-da-venda-31itens.xml",
           ReadBytes(std::string(kData) + "/publicos/CFeCanc-da-venda-31itens.xml")}},
         {"D 000024|0|06/08/2015|CANCELADO PELO DO CFE 000025",
          "D 000025|0|06/08/2015|CANCELAMENTO DO CFE 000024"}},
    };

    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        SummaryTables disk;
        SummaryTables memory;
        for (const Arquivo& a : c.arquivos) {
            const std::string path = dir.Write(a.nome, a.texto);
            LerXml(disk, path);
            LerXml(memory, path, a.texto);
        }
        EXPECT_EQ(Dump(disk), c.esperado);
        EXPECT_EQ(Dump(memory), c.esperado);
    }

    // The 31-item sample alone: one document row and 31 item rows summing per CFOP.
    SummaryTables t;
    const XmlLido lido =
        LerXml(t, std::string(kData) + "/publicos/venda-31itens-referencia-de-caractere.xml");
    EXPECT_FALSE(lido.cancelamento);
    EXPECT_EQ(lido.numero, "000024");
    EXPECT_EQ(t.memTable_Docto.RecordCount(), 1U);
    EXPECT_EQ(t.memTable_CFOP.RecordCount(), 31U);
    for (const auto& [cfop, soma] : por_cfop) {
        double total = 0;
        for (const CfopRow& row : t.memTable_CFOP.ItemsOf("000024")) {
            if (row.CFOP == cfop) {
                total += row.ValTot;
            }
        }
        EXPECT_DOUBLE_EQ(total, soma) << cfop;
    }
}

// A file on disk that is empty (a write cut short), not a regular file or
// unreadable is an error that names it; an empty text in memory (a stored
// document without XML) adds nothing.
TEST(LerXml, EmptyOrUnreadableFilesAreErrorsNamingThem) {
    TempDir dir;
    const std::string fifo = dir.Path("fila.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.Path("pasta.xml"));
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {dir.Write("vazio.xml", ""), "arquivo vazio"},
        {fifo, "não é um arquivo comum"},
        {dir.Path("pasta.xml"), "é uma pasta"},
        {dir.Path("nao-existe.xml"), "não foi possível abrir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        // On a thread, so that a read that blocks fails the test instead of hanging it.
        auto reading = std::async(std::launch::async, [&] {
            SummaryTables t;
            try {
                LerXml(t, c.path);
            } catch (const ResumoError& e) {
                return std::string(e.what());
            }
            return std::string("sem erro");
        });
        if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the reader go
            ADD_FAILURE() << "the reader blocked";
            reading.wait();
            ::close(writer);
            continue;
        }
        const std::string message = reading.get();
        EXPECT_NE(message.find(c.path), std::string::npos) << message;
        EXPECT_NE(message.find(c.why), std::string::npos) << message;
    }
    SummaryTables memory;
    EXPECT_TRUE(LerXml(memory, dir.Path("v.xml"), "").vazio);
    EXPECT_EQ(memory.memTable_Docto.RecordCount(), 0u);
}

TEST(LerXml, ReportsTheEmitterAndKind) {
    SummaryTables t;
    const XmlLido venda = LerXml(t, std::string(kData) + "/exemplo/1-venda-000001.XML");
    EXPECT_EQ(venda.emit_cnpj, "08723218000186");  // emit/CNPJ, not ide/CNPJ
    EXPECT_EQ(venda.emit_xFant, "Padaria Exemplo");
    EXPECT_EQ(venda.emit_xNome, "PADARIA EXEMPLO LTDA");
    const XmlLido canc = LerXml(t, std::string(kData) + "/exemplo/3-CFeCanc-000003.XML");
    EXPECT_TRUE(canc.cancelamento);
    EXPECT_EQ(canc.numero, "000003");
}

// A UTF-16 file, with its byte-order mark or only its declaration to tell:
// the cancelled number is found in its characters, not its bytes.
TEST(LerXml, Utf16CancellationFindsTheCancelledNumber) {
    const std::string utf8 =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n" + Cancelamento("000003", "20210319", "000002");
    for (const bool marca : {true, false}) {
        SCOPED_TRACE(marca ? "with byte-order mark" : "without byte-order mark");
        std::string utf16 = marca ? "\xFF\xFE" : "";
        for (char ch : utf8) {
            utf16 += ch;
            utf16 += '\0';
        }
        TempDir dir;
        SummaryTables t;
        LerXml(t, dir.Write("CFeCanc.xml", utf16));
        EXPECT_EQ(Dump(t), (std::vector<std::string>{"D 000003|0|19/03/2021|CANCELAMENTO DO CFE 000002"}));
    }
}

struct ErrorCase {
    const char* name;
    std::string texto;                  // written to "doc.xml"; empty name: file not written
    bool escrever;                      // false: the path does not exist
    std::vector<std::string> no_texto;  // fragments the message must hold
    std::vector<std::string> fica;      // tables afterwards (rows posted before the error)
};

TEST(LerXml, ErrorsNameTheFileAndKeepEarlierRows) {
    const std::vector<ErrorCase> cases{
        {"missing file", "", false, {"doc.xml", "não foi possível abrir"}, {}},
        {"not well-formed", "<CFe><nCFe>1</nCFe>", true, {"doc.xml", "XML mal formado", "byte"}, {}},
        {"not XML at all", "just text", true, {"doc.xml", "XML mal formado"}, {}},
        {"vItem that is not a number: earlier items stay, no document",
         Venda("000001", "20210319", {{"5102", "1.00"}, {"5405", "1,50"}}),
         true,
         {"doc.xml", "item 2", "\"1,50\""},
         {"I 000001|5102|1"}},
        {"empty vItem",
         Venda("000001", "20210319", {{"5102", ""}}),
         true,
         {"doc.xml", "item 1", "vItem vazio"},
         {}},
        {"fewer vItem than CFOP",
         "<CFe><nCFe>1</nCFe><CFOP>5102</CFOP><vItem>1.00</vItem><CFOP>5405</CFOP><cMP>1</cMP></CFe>",
         true,
         {"doc.xml", "item 2", "falta o elemento vItem"},
         {"I 1|5102|1"}},
        {"vCFe that is not a number: the items stay, no document",
         Venda("000001", "20210319", {{"5102", "1.00"}}, "1.0.0"),
         true,
         {"doc.xml", "vCFe", "\"1.0.0\""},
         {"I 000001|5102|1"}},
        {"nCFe longer than its column",
         Venda("1234567890", "20210319", {{"5102", "1.00"}}),
         true,
         {"doc.xml", "nCFe", "1234567890", "9 caracteres"},
         {}},
        {"CFOP longer than its column",
         Venda("000001", "20210319", {{"510200", "1.00"}}),
         true,
         {"doc.xml", "item 1", "510200", "5 caracteres"},
         {}},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = c.escrever ? dir.Write("doc.xml", c.texto) : dir.Path("doc.xml");
        SummaryTables t;
        try {
            LerXml(t, path);
            ADD_FAILURE() << "no error";
        } catch (const ResumoError& e) {
            const std::string msg = e.what();
            for (const std::string& frag : c.no_texto) {
                EXPECT_NE(msg.find(frag), std::string::npos) << msg << " lacks " << frag;
            }
        }
        EXPECT_EQ(Dump(t), c.fica);
    }
}

// A file holding more or other than one document is refused as a whole: no
// row of it is kept, and the message names where the extra content starts.
TEST(LerXml, RefusesWhatIsNotOneDocument) {
    for (const test::NotOneDocument& c : test::NotOneDocumentCases()) {
        SCOPED_TRACE(c.file);
        const std::string path = test::NotOneDocumentPath(c);
        for (const bool from_memory : {false, true}) {
            SummaryTables t;
            try {
                if (from_memory) {
                    LerXml(t, path, ReadBytes(path));
                } else {
                    LerXml(t, path);
                }
                ADD_FAILURE() << "no error";
            } catch (const ResumoError& e) {
                EXPECT_EQ(std::string(e.what()), "Arquivo \"" + path + "\": " + c.message);
            }
            EXPECT_EQ(Dump(t), std::vector<std::string>{});
        }
    }
}

TEST(LerXml, FolderIsNotAFile) {
    TempDir dir;
    SummaryTables t;
    try {
        LerXml(t, dir.Path());
        ADD_FAILURE() << "no error";
    } catch (const ResumoError& e) {
        EXPECT_NE(std::string(e.what()).find("é uma pasta"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace kqz::summary
