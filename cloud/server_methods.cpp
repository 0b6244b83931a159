#include "cloud/server_methods.hpp"

#include <utility>

namespace kqz::cloud {

DataSetsPtr TDSRestCachedTFDJSONDataSets::GetValue(RestConnection& connection, bool ownsObject,
                                                   std::string_view requestFilter) {
    RestRequest request;
    request.method = "GET";
    request.url = connection.CacheUrl(reference_, requestFilter);
    const RestReply reply = connection.Call(request);
    auto list = DecodeDataSetsBody(reply.body, 0, reply.status);
    if (!ownsObject) {
        return DataSetsPtr(list.release(), DataSetsDeleter{true});
    }
    kept_ = std::move(list);
    return DataSetsPtr(kept_.get(), DataSetsDeleter{false});
}

TServerMethods1Client::TServerMethods1Client(RestConnection& ARestConnection)
    : TServerMethods1Client(ARestConnection, true) {}

TServerMethods1Client::TServerMethods1Client(RestConnection& ARestConnection, bool AInstanceOwner)
    : FConnection(ARestConnection), FInstanceOwner(AInstanceOwner) {}

TServerMethods1Client::~TServerMethods1Client() {
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        Field(static_cast<CommandField>(i))->reset();
    }
}

std::unique_ptr<RestCommand>* TServerMethods1Client::Field(CommandField field) noexcept {
    switch (field) {
        case CommandField::EchoString:
            return &FEchoStringCommand;
        case CommandField::ReverseString:
            return &FReverseStringCommand;
        case CommandField::RetornaGrid:
            return &FRetornaGridCommand;
        case CommandField::RetornaGrid_Cache:
            return &FRetornaGridCommand_Cache;
        case CommandField::IncluirPedido:
            return &FIncluirPedidoCommand;
        case CommandField::IncluirPedido_Cache:
            return &FIncluirPedidoCommand_Cache;
        case CommandField::RetornaCapaPedidoCliente:
            return &FRetornaCapaPedidoClienteCommand;
        case CommandField::RetornaCapaPedidoCliente_Cache:
            return &FRetornaCapaPedidoClienteCommand_Cache;
        case CommandField::AtualizarValidade:
            return &FAtualizarValidadeCommand;
        case CommandField::RetornaEndereco:
            return &FRetornaEnderecoCommand;
        case CommandField::RetornaEndereco_Cache:
            return &FRetornaEnderecoCommand_Cache;
        case CommandField::ValidarCpf:
            return &FValidarCpfCommand;
        case CommandField::ValidaCNPJ:
            return &FValidaCNPJCommand;
        case CommandField::SelectCloud:
            return &FSelectCloudCommand;
        case CommandField::SelectCloud_Cache:
            return &FSelectCloudCommand_Cache;
        case CommandField::ExecuteCloud:
            return &FExecuteCloudCommand;
        case CommandField::UpdateImagem:
            return &FUpdateImagemCommand;
    }
    return nullptr;
}

const RestCommand* TServerMethods1Client::Command(CommandField field) const noexcept {
    auto* self = const_cast<TServerMethods1Client*>(this);
    auto* slot = self->Field(field);
    return slot != nullptr ? slot->get() : nullptr;
}

RestCommand& TServerMethods1Client::Ensure(std::unique_ptr<RestCommand>& command, const char* requestType,
                                           const char* text,
                                           std::span<const DSRestParameterMetaData> metadata) {
    if (!command) {
        auto created = FConnection.CreateCommand();
        created->RequestType = requestType;
        created->Text = text;
        created->Prepare(metadata);
        command = std::move(created);
    }
    return *command;
}

DataSetsPtr TServerMethods1Client::ReturnDataSets(RestCommand& command, std::size_t ordinal) {
    auto list = command.ReadDataSets(ordinal);
    command.ReleaseReply();
    if (!list) {
        return DataSetsPtr(nullptr, DataSetsDeleter{!FInstanceOwner});
    }
    if (FInstanceOwner) {
        // The command frees the list at its next execution or its end.
        return DataSetsPtr(command.FreeOnExecute(std::move(list)), DataSetsDeleter{false});
    }
    return DataSetsPtr(list.release(), DataSetsDeleter{true});
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::ReturnCached(const RestCommand& command,
                                                                    std::size_t ordinal) {
    return std::make_shared<TDSRestCachedTFDJSONDataSets>(command.ReadString(ordinal));
}

void TServerMethods1Client::SetDataSetsParameter(RestCommand& command, std::size_t ordinal,
                                                 std::unique_ptr<TFDJSONDataSets>& list) {
    if (!list) {
        command.Parameter(ordinal).SetNull();
        return;
    }
    command.Parameter(ordinal).SetJSONText(MarshalDataSets(*list));
    if (FInstanceOwner) {
        list.reset();  // taken over by the call: freed before the request goes out
    }
}

std::string TServerMethods1Client::EchoString(const std::string& Value, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FEchoStringCommand, "GET", "TServerMethods1.EchoString", TServerMethods1_EchoString);
    command.Parameter(0).SetWideString(Value);
    command.Execute(ARequestFilter);
    return command.ReadString(1);
}

std::string TServerMethods1Client::ReverseString(const std::string& Value, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FReverseStringCommand, "GET", "TServerMethods1.ReverseString", TServerMethods1_ReverseString);
    command.Parameter(0).SetWideString(Value);
    command.Execute(ARequestFilter);
    return command.ReadString(1);
}

DataSetsPtr TServerMethods1Client::RetornaGrid(const std::string& _Tabela, const std::string& _Coluna,
                                               const std::string& _Conteudo, const std::string& _tipo,
                                               const std::string& _Empresa, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FRetornaGridCommand, "GET", "TServerMethods1.RetornaGrid", TServerMethods1_RetornaGrid);
    command.Parameter(0).SetWideString(_Tabela);
    command.Parameter(1).SetWideString(_Coluna);
    command.Parameter(2).SetWideString(_Conteudo);
    command.Parameter(3).SetWideString(_tipo);
    command.Parameter(4).SetWideString(_Empresa);
    command.Execute(ARequestFilter);
    return ReturnDataSets(command, 5);
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::RetornaGrid_Cache(
    const std::string& _Tabela, const std::string& _Coluna, const std::string& _Conteudo,
    const std::string& _tipo, const std::string& _Empresa, std::string_view ARequestFilter) {
    auto& command = Ensure(FRetornaGridCommand_Cache, "GET", "TServerMethods1.RetornaGrid",
                           TServerMethods1_RetornaGrid_Cache);
    command.Parameter(0).SetWideString(_Tabela);
    command.Parameter(1).SetWideString(_Coluna);
    command.Parameter(2).SetWideString(_Conteudo);
    command.Parameter(3).SetWideString(_tipo);
    command.Parameter(4).SetWideString(_Empresa);
    command.ExecuteCache(ARequestFilter);
    return ReturnCached(command, 5);
}

DataSetsPtr TServerMethods1Client::IncluirPedido(std::unique_ptr<TFDJSONDataSets>& _sRegistros,
                                                 std::string_view ARequestFilter) {
    auto& command = Ensure(FIncluirPedidoCommand, "POST", "TServerMethods1.\"IncluirPedido\"",
                           TServerMethods1_IncluirPedido);
    SetDataSetsParameter(command, 0, _sRegistros);
    command.Execute(ARequestFilter);
    return ReturnDataSets(command, 1);
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::IncluirPedido_Cache(
    std::unique_ptr<TFDJSONDataSets>& _sRegistros, std::string_view ARequestFilter) {
    auto& command = Ensure(FIncluirPedidoCommand_Cache, "POST", "TServerMethods1.\"IncluirPedido\"",
                           TServerMethods1_IncluirPedido_Cache);
    SetDataSetsParameter(command, 0, _sRegistros);
    command.ExecuteCache(ARequestFilter);
    return ReturnCached(command, 1);
}

DataSetsPtr TServerMethods1Client::RetornaCapaPedidoCliente(const std::string& _sEmpresa,
                                                            const std::string& _sIMEI,
                                                            std::string_view ARequestFilter) {
    auto& command =
        Ensure(FRetornaCapaPedidoClienteCommand, "GET", "TServerMethods1.RetornaCapaPedidoCliente",
               TServerMethods1_RetornaCapaPedidoCliente);
    command.Parameter(0).SetWideString(_sEmpresa);
    command.Parameter(1).SetWideString(_sIMEI);
    command.Execute(ARequestFilter);
    return ReturnDataSets(command, 2);
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::RetornaCapaPedidoCliente_Cache(
    const std::string& _sEmpresa, const std::string& _sIMEI, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FRetornaCapaPedidoClienteCommand_Cache, "GET", "TServerMethods1.RetornaCapaPedidoCliente",
               TServerMethods1_RetornaCapaPedidoCliente_Cache);
    command.Parameter(0).SetWideString(_sEmpresa);
    command.Parameter(1).SetWideString(_sIMEI);
    command.ExecuteCache(ARequestFilter);
    return ReturnCached(command, 2);
}

void TServerMethods1Client::AtualizarValidade(const std::string& _iLanc, const std::string& _sNovaData) {
    auto& command = Ensure(FAtualizarValidadeCommand, "GET", "TServerMethods1.AtualizarValidade",
                           TServerMethods1_AtualizarValidade);
    command.Parameter(0).SetWideString(_iLanc);
    command.Parameter(1).SetWideString(_sNovaData);
    command.Execute();
}

DataSetsPtr TServerMethods1Client::RetornaEndereco(const std::string& _sEmpresa, const std::string& _sCEP,
                                                   std::string_view ARequestFilter) {
    auto& command = Ensure(FRetornaEnderecoCommand, "GET", "TServerMethods1.RetornaEndereco",
                           TServerMethods1_RetornaEndereco);
    command.Parameter(0).SetWideString(_sEmpresa);
    command.Parameter(1).SetWideString(_sCEP);
    command.Execute(ARequestFilter);
    return ReturnDataSets(command, 2);
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::RetornaEndereco_Cache(
    const std::string& _sEmpresa, const std::string& _sCEP, std::string_view ARequestFilter) {
    auto& command = Ensure(FRetornaEnderecoCommand_Cache, "GET", "TServerMethods1.RetornaEndereco",
                           TServerMethods1_RetornaEndereco_Cache);
    command.Parameter(0).SetWideString(_sEmpresa);
    command.Parameter(1).SetWideString(_sCEP);
    command.ExecuteCache(ARequestFilter);
    return ReturnCached(command, 2);
}

bool TServerMethods1Client::ValidarCpf(const std::string& cpf, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FValidarCpfCommand, "GET", "TServerMethods1.ValidarCpf", TServerMethods1_ValidarCpf);
    command.Parameter(0).SetWideString(cpf);
    command.Execute(ARequestFilter);
    return command.ReadBoolean(1);
}

bool TServerMethods1Client::ValidaCNPJ(const std::string& I, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FValidaCNPJCommand, "GET", "TServerMethods1.ValidaCNPJ", TServerMethods1_ValidaCNPJ);
    command.Parameter(0).SetWideString(I);
    command.Execute(ARequestFilter);
    return command.ReadBoolean(1);
}

DataSetsPtr TServerMethods1Client::SelectCloud(const std::string& _sSQL_Text,
                                               std::string_view ARequestFilter) {
    auto& command =
        Ensure(FSelectCloudCommand, "GET", "TServerMethods1.SelectCloud", TServerMethods1_SelectCloud);
    command.Parameter(0).SetWideString(_sSQL_Text);
    command.Execute(ARequestFilter);
    return ReturnDataSets(command, 1);
}

IDSRestCachedTFDJSONDataSetsPtr TServerMethods1Client::SelectCloud_Cache(const std::string& _sSQL_Text,
                                                                         std::string_view ARequestFilter) {
    auto& command = Ensure(FSelectCloudCommand_Cache, "GET", "TServerMethods1.SelectCloud",
                           TServerMethods1_SelectCloud_Cache);
    command.Parameter(0).SetWideString(_sSQL_Text);
    command.ExecuteCache(ARequestFilter);
    return ReturnCached(command, 1);
}

bool TServerMethods1Client::ExecuteCloud(const std::string& _sSQL_Texto, std::string_view ARequestFilter) {
    auto& command =
        Ensure(FExecuteCloudCommand, "GET", "TServerMethods1.ExecuteCloud", TServerMethods1_ExecuteCloud);
    command.Parameter(0).SetWideString(_sSQL_Texto);
    command.Execute(ARequestFilter);
    return command.ReadBoolean(1);
}

bool TServerMethods1Client::UpdateImagem(std::unique_ptr<TJSONObject>& aJSONo, const std::string& _sEmpresa,
                                         const std::string& _sTipo, std::string_view ARequestFilter) {
    auto& command = Ensure(FUpdateImagemCommand, "POST", "TServerMethods1.\"UpdateImagem\"",
                           TServerMethods1_UpdateImagem);
    if (!aJSONo) {
        command.Parameter(0).SetNull();
    } else if (FInstanceOwner) {
        command.Parameter(0).SetJSONValue(std::move(aJSONo));
    } else {
        command.Parameter(0).SetJSONText(aJSONo->dump());
    }
    command.Parameter(1).SetWideString(_sEmpresa);
    command.Parameter(2).SetWideString(_sTipo);
    command.Execute(ARequestFilter);
    return command.ReadBoolean(3);
}

}  // namespace kqz::cloud
