#pragma once

// TServerMethods1Client: the typed client of the application server's
// TServerMethods1 class. Each method is one DataSnap REST call on the
// connection the proxy was created with.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "cloud/fd_json_datasets.hpp"
#include "cloud/rest_command.hpp"
#include "cloud/rest_connection.hpp"

namespace kqz::cloud {

// Parameter metadata of every method: inputs in the server's order, then the
// return value.
inline constexpr std::array TServerMethods1_EchoString{DSRestParameterMetaData{"Value", 1, 26, "string"},
                                                       DSRestParameterMetaData{"", 4, 26, "string"}};
inline constexpr std::array TServerMethods1_ReverseString{DSRestParameterMetaData{"Value", 1, 26, "string"},
                                                          DSRestParameterMetaData{"", 4, 26, "string"}};
inline constexpr std::array TServerMethods1_RetornaGrid{
    DSRestParameterMetaData{"_Tabela", 1, 26, "string"},
    DSRestParameterMetaData{"_Coluna", 1, 26, "string"},
    DSRestParameterMetaData{"_Conteudo", 1, 26, "string"},
    DSRestParameterMetaData{"_tipo", 1, 26, "string"},
    DSRestParameterMetaData{"_Empresa", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 37, "TFDJSONDataSets"}};
inline constexpr std::array TServerMethods1_RetornaGrid_Cache{
    DSRestParameterMetaData{"_Tabela", 1, 26, "string"},
    DSRestParameterMetaData{"_Coluna", 1, 26, "string"},
    DSRestParameterMetaData{"_Conteudo", 1, 26, "string"},
    DSRestParameterMetaData{"_tipo", 1, 26, "string"},
    DSRestParameterMetaData{"_Empresa", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 26, "String"}};
inline constexpr std::array TServerMethods1_IncluirPedido{
    DSRestParameterMetaData{"_sRegistros", 1, 37, "TFDJSONDataSets"},
    DSRestParameterMetaData{"", 4, 37, "TFDJSONDataSets"}};
inline constexpr std::array TServerMethods1_IncluirPedido_Cache{
    DSRestParameterMetaData{"_sRegistros", 1, 37, "TFDJSONDataSets"},
    DSRestParameterMetaData{"", 4, 26, "String"}};
inline constexpr std::array TServerMethods1_RetornaCapaPedidoCliente{
    DSRestParameterMetaData{"_sEmpresa", 1, 26, "string"}, DSRestParameterMetaData{"_sIMEI", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 37, "TFDJSONDataSets"}};
inline constexpr std::array TServerMethods1_RetornaCapaPedidoCliente_Cache{
    DSRestParameterMetaData{"_sEmpresa", 1, 26, "string"}, DSRestParameterMetaData{"_sIMEI", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 26, "String"}};
inline constexpr std::array TServerMethods1_AtualizarValidade{
    DSRestParameterMetaData{"_iLanc", 1, 26, "string"},
    DSRestParameterMetaData{"_sNovaData", 1, 26, "string"}};
inline constexpr std::array TServerMethods1_RetornaEndereco{
    DSRestParameterMetaData{"_sEmpresa", 1, 26, "string"}, DSRestParameterMetaData{"_sCEP", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 37, "TFDJSONDataSets"}};
inline constexpr std::array TServerMethods1_RetornaEndereco_Cache{
    DSRestParameterMetaData{"_sEmpresa", 1, 26, "string"}, DSRestParameterMetaData{"_sCEP", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 26, "String"}};
inline constexpr std::array TServerMethods1_ValidarCpf{DSRestParameterMetaData{"cpf", 1, 26, "string"},
                                                       DSRestParameterMetaData{"", 4, 4, "Boolean"}};
inline constexpr std::array TServerMethods1_ValidaCNPJ{DSRestParameterMetaData{"I", 1, 26, "string"},
                                                       DSRestParameterMetaData{"", 4, 4, "Boolean"}};
inline constexpr std::array TServerMethods1_SelectCloud{
    DSRestParameterMetaData{"_sSQL_Text", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 37, "TFDJSONDataSets"}};
inline constexpr std::array TServerMethods1_SelectCloud_Cache{
    DSRestParameterMetaData{"_sSQL_Text", 1, 26, "string"}, DSRestParameterMetaData{"", 4, 26, "String"}};
inline constexpr std::array TServerMethods1_ExecuteCloud{
    DSRestParameterMetaData{"_sSQL_Texto", 1, 26, "string"}, DSRestParameterMetaData{"", 4, 4, "Boolean"}};
inline constexpr std::array TServerMethods1_UpdateImagem{
    DSRestParameterMetaData{"aJSONo", 1, 37, "TJSONObject"},
    DSRestParameterMetaData{"_sEmpresa", 1, 26, "string"}, DSRestParameterMetaData{"_sTipo", 1, 26, "string"},
    DSRestParameterMetaData{"", 4, 4, "Boolean"}};

// A dataset list the server keeps in its cache after a `_Cache` call.
class IDSRestCachedTFDJSONDataSets {
  public:
    virtual ~IDSRestCachedTFDJSONDataSets() = default;
    // The cache reference ("<cacheId>/<cmdIndex>/<paramIndex>").
    virtual const std::string& CacheReference() const noexcept = 0;
    // Fetches the item from the server's cache through `connection`
    // (GET <base>/<Context><CacheContext><reference>) and decodes it; nullptr
    // for a null list. With `ownsObject` the handle keeps the list (until the
    // next GetValue or its own end) and the pointer does not own it; without
    // it the caller owns the list. Throws RestError.
    virtual DataSetsPtr GetValue(RestConnection& connection, bool ownsObject = true,
                                 std::string_view requestFilter = {}) = 0;
};
using IDSRestCachedTFDJSONDataSetsPtr = std::shared_ptr<IDSRestCachedTFDJSONDataSets>;

class TDSRestCachedTFDJSONDataSets final : public IDSRestCachedTFDJSONDataSets {
  public:
    explicit TDSRestCachedTFDJSONDataSets(std::string cacheReference)
        : reference_(std::move(cacheReference)) {}
    const std::string& CacheReference() const noexcept override { return reference_; }
    DataSetsPtr GetValue(RestConnection& connection, bool ownsObject = true,
                         std::string_view requestFilter = {}) override;

  private:
    std::string reference_;
    std::unique_ptr<TFDJSONDataSets> kept_;
};

class TServerMethods1Client {
  public:
    // The proxy's commands, in field order.
    enum class CommandField : std::size_t {
        EchoString,
        ReverseString,
        RetornaGrid,
        RetornaGrid_Cache,
        IncluirPedido,
        IncluirPedido_Cache,
        RetornaCapaPedidoCliente,
        RetornaCapaPedidoCliente_Cache,
        AtualizarValidade,
        RetornaEndereco,
        RetornaEndereco_Cache,
        ValidarCpf,
        ValidaCNPJ,
        SelectCloud,
        SelectCloud_Cache,
        ExecuteCloud,
        UpdateImagem,
    };
    static constexpr std::size_t kCommandCount = 17;

    // An instance-owning proxy: returned dataset lists stay with the proxy
    // (see DataSetsPtr) and objects passed in are taken over.
    explicit TServerMethods1Client(RestConnection& ARestConnection);
    TServerMethods1Client(RestConnection& ARestConnection, bool AInstanceOwner);
    // Frees the commands in field order, and with them every list they hold.
    ~TServerMethods1Client();
    TServerMethods1Client(const TServerMethods1Client&) = delete;
    TServerMethods1Client& operator=(const TServerMethods1Client&) = delete;

    std::string EchoString(const std::string& Value, std::string_view ARequestFilter = {});
    std::string ReverseString(const std::string& Value, std::string_view ARequestFilter = {});
    DataSetsPtr RetornaGrid(const std::string& _Tabela, const std::string& _Coluna,
                            const std::string& _Conteudo, const std::string& _tipo,
                            const std::string& _Empresa, std::string_view ARequestFilter = {});
    IDSRestCachedTFDJSONDataSetsPtr RetornaGrid_Cache(const std::string& _Tabela, const std::string& _Coluna,
                                                      const std::string& _Conteudo, const std::string& _tipo,
                                                      const std::string& _Empresa,
                                                      std::string_view ARequestFilter = {});
    // `_sRegistros` may be empty (sent as null). An instance-owning proxy
    // frees the list before the request goes out and leaves the caller's
    // pointer empty; otherwise the caller keeps it.
    DataSetsPtr IncluirPedido(std::unique_ptr<TFDJSONDataSets>& _sRegistros,
                              std::string_view ARequestFilter = {});
    IDSRestCachedTFDJSONDataSetsPtr IncluirPedido_Cache(std::unique_ptr<TFDJSONDataSets>& _sRegistros,
                                                        std::string_view ARequestFilter = {});
    DataSetsPtr RetornaCapaPedidoCliente(const std::string& _sEmpresa, const std::string& _sIMEI,
                                         std::string_view ARequestFilter = {});
    IDSRestCachedTFDJSONDataSetsPtr RetornaCapaPedidoCliente_Cache(const std::string& _sEmpresa,
                                                                   const std::string& _sIMEI,
                                                                   std::string_view ARequestFilter = {});
    void AtualizarValidade(const std::string& _iLanc, const std::string& _sNovaData);
    DataSetsPtr RetornaEndereco(const std::string& _sEmpresa, const std::string& _sCEP,
                                std::string_view ARequestFilter = {});
    IDSRestCachedTFDJSONDataSetsPtr RetornaEndereco_Cache(const std::string& _sEmpresa,
                                                          const std::string& _sCEP,
                                                          std::string_view ARequestFilter = {});
    bool ValidarCpf(const std::string& cpf, std::string_view ARequestFilter = {});
    bool ValidaCNPJ(const std::string& I, std::string_view ARequestFilter = {});
    // Runs a SELECT on the server; nullptr when the server returns no list.
    DataSetsPtr SelectCloud(const std::string& _sSQL_Text, std::string_view ARequestFilter = {});
    IDSRestCachedTFDJSONDataSetsPtr SelectCloud_Cache(const std::string& _sSQL_Text,
                                                      std::string_view ARequestFilter = {});
    // Runs a statement that returns no rows.
    bool ExecuteCloud(const std::string& _sSQL_Texto, std::string_view ARequestFilter = {});
    // `aJSONo` is sent in the body; an instance-owning proxy takes it over
    // (the caller's pointer is left empty), otherwise a copy is sent.
    bool UpdateImagem(std::unique_ptr<TJSONObject>& aJSONo, const std::string& _sEmpresa,
                      const std::string& _sTipo, std::string_view ARequestFilter = {});

    bool InstanceOwner() const noexcept { return FInstanceOwner; }
    RestConnection& Connection() const noexcept { return FConnection; }
    // The command of a method; nullptr until the method is first called.
    const RestCommand* Command(CommandField field) const noexcept;

  private:
    RestCommand& Ensure(std::unique_ptr<RestCommand>& command, const char* requestType, const char* text,
                        std::span<const DSRestParameterMetaData> metadata);
    DataSetsPtr ReturnDataSets(RestCommand& command, std::size_t ordinal);
    static IDSRestCachedTFDJSONDataSetsPtr ReturnCached(const RestCommand& command, std::size_t ordinal);
    void SetDataSetsParameter(RestCommand& command, std::size_t ordinal,
                              std::unique_ptr<TFDJSONDataSets>& list);

    RestConnection& FConnection;
    bool FInstanceOwner;
    std::unique_ptr<RestCommand> FEchoStringCommand;
    std::unique_ptr<RestCommand> FReverseStringCommand;
    std::unique_ptr<RestCommand> FRetornaGridCommand;
    std::unique_ptr<RestCommand> FRetornaGridCommand_Cache;
    std::unique_ptr<RestCommand> FIncluirPedidoCommand;
    std::unique_ptr<RestCommand> FIncluirPedidoCommand_Cache;
    std::unique_ptr<RestCommand> FRetornaCapaPedidoClienteCommand;
    std::unique_ptr<RestCommand> FRetornaCapaPedidoClienteCommand_Cache;
    std::unique_ptr<RestCommand> FAtualizarValidadeCommand;
    std::unique_ptr<RestCommand> FRetornaEnderecoCommand;
    std::unique_ptr<RestCommand> FRetornaEnderecoCommand_Cache;
    std::unique_ptr<RestCommand> FValidarCpfCommand;
    std::unique_ptr<RestCommand> FValidaCNPJCommand;
    std::unique_ptr<RestCommand> FSelectCloudCommand;
    std::unique_ptr<RestCommand> FSelectCloudCommand_Cache;
    std::unique_ptr<RestCommand> FExecuteCloudCommand;
    std::unique_ptr<RestCommand> FUpdateImagemCommand;

    std::unique_ptr<RestCommand>* Field(CommandField field) noexcept;
};

}  // namespace kqz::cloud
