// The documents answer made piece by piece from rows read in batches: the
// same body as the whole-answer writer, whatever the batches, the pieces
// asked for and the number of deflate threads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/dataset_list.hpp"

namespace kqz::codec {
namespace {

using ::testing::HasSubstr;

// Rows of a table handed out `size` at a time; counts the passes.
class VectorBatches : public RowBatches {
  public:
    VectorBatches(const std::vector<Row>& rows, std::size_t size) : rows_(rows), size_(size) {}
    void Rewind() override {
        at_ = 0;
        ++rewinds_;
    }
    bool Next(std::vector<Row>& batch) override {
        batch.clear();
        for (; at_ < rows_.size() && batch.size() < size_; ++at_)
            batch.push_back(rows_[at_]);
        return !batch.empty();
    }
    int Rewinds() const { return rewinds_; }

  protected:
    const std::vector<Row>& rows_;
    std::size_t size_;
    std::size_t at_ = 0;
    int rewinds_ = 0;
};

Column Col(std::string name, DataType type, std::int32_t size = 0) {
    Column c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    return c;
}

// The documents answer's layout: short texts, a decimal, a wide memo.
Dataset DocumentsLayout() {
    Dataset ds;
    ds.name = "Query";
    Column valor = Col("AD_VALOR", DataType::FmtBCD);
    valor.precision = 15;
    valor.scale = 2;
    ds.columns = {Col("AD_CNPJ", DataType::WideString, 1), Col("AD_NUMERO", DataType::WideString, 1), valor,
                  Col("AD_XML", DataType::WideMemo), Col("X_NUMERO", DataType::WideString, 1)};
    return ds;
}

Row Document(std::size_t i, std::size_t xmlBytes) {
    std::string xml = "<CFe><infCFe Id=\"CFe" + std::to_string(1000000 + i) + "\">";
    while (xml.size() < xmlBytes)
        xml +=
            "<det nItem=\"" + std::to_string(xml.size()) + "\"><xProd>Caf\xC3\xA9 \xE2\x82\xAC</xProd></det>";
    xml += "</infCFe></CFe>";
    return {std::string("12345678000199"), "CFe" + std::to_string(1000000 + i) + "-VD",
            Decimal{std::to_string(i) + ".25"}, std::move(xml), std::to_string(100000 + i)};
}

struct Case {
    const char* name;
    std::vector<Row> rows;
    std::size_t batch;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    cases.push_back({"Empty", {}, 10});
    cases.push_back({"OneRow", {Document(1, 2000)}, 10});
    Row nulls = Document(2, 100);
    nulls[1] = std::monostate{};
    nulls[2] = std::monostate{};
    nulls[3] = std::monostate{};
    cases.push_back({"Nulls", {Document(1, 300), nulls, Document(3, 50)}, 2});
    // One memo of about 3 MB (6 MB of UTF-16): several deflate blocks inside one row.
    cases.push_back({"RowBiggerThanABlock", {Document(1, 100), Document(2, std::size_t{3} << 20)}, 1});
    std::vector<Row> many;
    for (std::size_t i = 0; i < 3000; ++i)
        many.push_back(Document(i, 500 + (i * 37) % 3000));
    cases.push_back({"ManyRows", std::move(many), 256});
    return cases;
}

std::string Pull(ResultBodyStream& stream, std::size_t piece) {
    std::string body;
    std::vector<char> buf(piece);
    for (std::size_t n; (n = stream.Next(buf.data(), buf.size())) != 0;)
        body.append(buf.data(), n);
    EXPECT_EQ(stream.Next(buf.data(), buf.size()), 0u);
    EXPECT_EQ(stream.Produced(), body.size());
    return body;
}

TEST(ResultBodyStream, GivesTheWholeAnswerWriterBody) {
    for (const Case& c : Cases()) {
        Dataset whole = DocumentsLayout();
        whole.rows = c.rows;
        FitStringSizes(whole);
        for (const unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(std::string(c.name) + ", threads " + std::to_string(threads));
            const WriteOptions options{1, threads};
            const std::string expected = WriteResultBody({{"Query", &whole}}, options);
            for (const std::size_t piece : {std::size_t{1000}, std::size_t{1} << 20}) {
                VectorBatches rows(c.rows, c.batch);
                ResultBodyStream stream("Query", DocumentsLayout(), rows, options);
                const std::string body = Pull(stream, piece);
                EXPECT_EQ(rows.Rewinds(), 2);
                ASSERT_EQ(body.size(), expected.size());
                EXPECT_TRUE(body == expected);
                const auto list = ScanResultBody(body);
                ASSERT_TRUE(list.has_value());
                ASSERT_EQ(list->size(), 1u);
                EXPECT_EQ(DecodeDataSet(list->front()).rows, c.rows);
            }
        }
    }
}

TEST(ResultBodyStream, KeepsTheColumnSizesGiven) {
    const std::vector<Row> rows{Document(1, 100)};
    Dataset whole = DocumentsLayout();
    whole.columns[0].size = 40;
    whole.columns[1].size = 60;
    whole.columns[4].size = 6;
    whole.rows = rows;
    VectorBatches batches(rows, 1);
    ResultBodyStream stream("Query", whole, batches, WriteOptions{6, 1}, false);
    EXPECT_EQ(Pull(stream, 4096), WriteResultBody({{"Query", &whole}}, WriteOptions{6, 1}));
}

// Rows that differ between the measuring and the writing pass give an error,
// never a stream whose header points at the wrong place.
class ChangingBatches : public VectorBatches {
  public:
    ChangingBatches(const std::vector<Row>& first, const std::vector<Row>& second)
        : VectorBatches(first, 1), second_(second) {}
    bool Next(std::vector<Row>& batch) override {
        if (Rewinds() < 2)
            return VectorBatches::Next(batch);
        batch.clear();
        if (at_ >= second_.size())
            return false;
        batch.push_back(second_[at_++]);
        return true;
    }

  private:
    const std::vector<Row>& second_;
};

TEST(ResultBodyStream, RowsThatChangeBetweenPassesAreAnError) {
    const std::vector<Row> measured{Document(1, 100), Document(2, 100)};
    const std::vector<Row> longer{Document(1, 100), Document(2, 100), Document(3, 100)};
    const std::vector<Row> otherText{Document(1, 100), Document(2, 5000)};
    const std::vector<Row> fewer{Document(1, 100)};
    for (const auto* second : {&longer, &otherText, &fewer}) {
        ChangingBatches rows(measured, *second);
        ResultBodyStream stream("Query", DocumentsLayout(), rows, WriteOptions{1, 1});
        std::vector<char> buf(1 << 16);
        try {
            while (stream.Next(buf.data(), buf.size()) != 0) {
            }
            FAIL() << "no error for " << second->size() << " rows";
        } catch (const CodecError& e) {
            EXPECT_THAT(e.what(), HasSubstr("as linhas mudaram"));
            EXPECT_THAT(e.what(), HasSubstr("\"Query\""));
        }
        EXPECT_EQ(stream.Next(buf.data(), buf.size()), 0u);
    }
}

TEST(ResultBodyStream, BadValueNamesRowAndColumn) {
    std::vector<Row> rows{Document(1, 100), Document(2, 100)};
    rows[1][2] = std::string("abc");
    VectorBatches batches(rows, 1);
    ResultBodyStream stream("Query", DocumentsLayout(), batches);
    char buf[64];
    try {
        stream.Next(buf, sizeof buf);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr("linha 2"));
        EXPECT_THAT(e.what(), HasSubstr("AD_VALOR"));
    }
}

}  // namespace
}  // namespace kqz::codec
