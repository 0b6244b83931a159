#include "download/remote.hpp"

#include <utility>

#include "cloud/codec/body_decoder.hpp"
#include "cloud/mem_table.hpp"

namespace kqz::download {
namespace {

class RespostaEmTabela final : public RespostaGrande {
  public:
    void Ler(codec::AdbsVisitor& visitor) override {
        codec::Dataset header;
        header.name = "Query";
        header.columns = tabela.Columns();
        visitor.OnTable(header);
        for (tabela.First(); !tabela.Eof(); tabela.Next()) {
            codec::Row row;
            row.reserve(tabela.FieldCount());
            for (std::size_t i = 0; i < tabela.FieldCount(); ++i) {
                row.push_back(tabela.CurrentValue(i));
            }
            visitor.OnRow(row);
        }
        visitor.OnEnd(header);
    }

    cloud::MemTable tabela;
};

class RespostaDecodificada final : public RespostaGrande {
  public:
    explicit RespostaDecodificada(std::unique_ptr<codec::StreamingBodyDecoder> decoder)
        : decoder_(std::move(decoder)) {}
    void Ler(codec::AdbsVisitor& visitor) override { decoder_->Finish(visitor); }

  private:
    std::unique_ptr<codec::StreamingBodyDecoder> decoder_;
};

}  // namespace

std::unique_ptr<RespostaGrande> ConsultaRemota::SelectStream(const std::string& sql) {
    auto resposta = std::make_unique<RespostaEmTabela>();
    if (!SelectMemTable(sql, resposta->tabela)) {
        return nullptr;
    }
    return resposta;
}

std::unique_ptr<RespostaGrande> RespostaRecebida(std::unique_ptr<codec::StreamingBodyDecoder> decoder) {
    if (!decoder) {
        return nullptr;
    }
    return std::make_unique<RespostaDecodificada>(std::move(decoder));
}

}  // namespace kqz::download
