#include "cloud/remote_query.hpp"

#include <stdexcept>

#include <utility>
#include "cloud/codec/body_decoder.hpp"

namespace kqz::cloud {

RemoteQuery::~RemoteQuery() {
    LiberarClientREST();
}

void RemoteQuery::LiberarClientREST() noexcept {
    std::unique_ptr<TServerMethods1Client> proxy = std::move(ClientREST_);
    ClientREST_ = nullptr;
    proxy.reset();
}

bool RemoteQuery::SelectMemTable(const std::string& _Sintaxe, MemTable& Sender) {
    lastError_.clear();
    // A proxy left behind by a failed ExecuteSQL is freed, not just overwritten.
    LiberarClientREST();
    bool loaded = false;
    try {
        ClientREST_ = std::make_unique<TServerMethods1Client>(DSRestConnection1_);
        DataSetsPtr list = ClientREST_->SelectCloud(_Sintaxe, "");
        if (!list) {
            throw std::runtime_error("o servidor não devolveu nenhuma lista de dados");
        }
        if (list->Count() != 1) {
            throw std::logic_error("Assertion failure");
        }
        // The list belongs to the proxy and dies with it: move the rows out
        // instead of copying them. Until here the table is untouched.
        codec::Dataset dataset = list->TakeDataSet(0);
        Sender.Close();
        Sender.AppendData(std::move(dataset));
        Sender.First();
        loaded = true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        if (lastError_.empty()) {
            lastError_ = "falha sem mensagem";
        }
    } catch (...) {
        lastError_ = "falha desconhecida";
    }
    LiberarClientREST();
    return loaded;
}

std::uint64_t RemoteQuery::SelectStream(const std::string& _Sintaxe, codec::AdbsVisitor& visitor,
                                        const std::string& tempDir) {
    lastError_.clear();
    LiberarClientREST();
    RestRequest request;
    request.method = "GET";
    request.accept = "application/JSON";
    request.url = DSRestConnection1_.MethodUrl("TServerMethods1.SelectCloud", {_Sintaxe});
    codec::StreamingBodyDecoder decoder(tempDir);
    DSRestConnection1_.CallStreaming(request, [&decoder](std::string_view piece) { decoder.Feed(piece); });
    decoder.Finish(visitor);
    return decoder.BodyBytes();
}

std::unique_ptr<codec::StreamingBodyDecoder> RemoteQuery::ReceberResposta(const std::string& _Sintaxe,
                                                                          const std::string& tempDir) {
    lastError_.clear();
    LiberarClientREST();
    try {
        RestRequest request;
        request.method = "GET";
        request.accept = "application/JSON";
        request.url = DSRestConnection1_.MethodUrl("TServerMethods1.SelectCloud", {_Sintaxe});
        auto decoder = std::make_unique<codec::StreamingBodyDecoder>(tempDir);
        DSRestConnection1_.CallStreaming(request,
                                         [&decoder](std::string_view piece) { decoder->Feed(piece); });
        return decoder;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        if (lastError_.empty()) {
            lastError_ = "falha sem mensagem";
        }
    } catch (...) {
        lastError_ = "falha desconhecida";
    }
    return nullptr;
}

void RemoteQuery::ExecuteSQL(const std::string& _Sintaxe) {
    LiberarClientREST();
    ClientREST_ = std::make_unique<TServerMethods1Client>(DSRestConnection1_);
    (void)ClientREST_->ExecuteCloud(_Sintaxe, "");
    LiberarClientREST();
}

}  // namespace kqz::cloud
