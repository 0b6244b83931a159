#pragma once

// The remote query helper: every remote access of the client goes through it.
// SelectMemTable runs one SELECT on the application server and loads the
// single dataset of the answer into an in-memory table; ExecuteSQL runs one
// statement that returns no rows. Each call creates a fresh proxy on the
// connection, keeps it in ClientREST while it runs and frees it at the end.

#include <cstdint>
#include <memory>
#include <string>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/body_decoder.hpp"
#include "cloud/mem_table.hpp"
#include "cloud/rest_connection.hpp"
#include "cloud/server_methods.hpp"

namespace kqz::cloud {

class RemoteQuery {
  public:
    // `DSRestConnection1` is the connection every proxy is created on; it must
    // outlive the helper.
    explicit RemoteQuery(RestConnection& DSRestConnection1) : DSRestConnection1_(DSRestConnection1) {}
    // Frees whatever ClientREST still refers to.
    virtual ~RemoteQuery();
    RemoteQuery(const RemoteQuery&) = delete;
    RemoteQuery& operator=(const RemoteQuery&) = delete;

    // Sends `_Sintaxe` (complete, every value already quoted) as it is and
    // loads the answer's single dataset into `Sender`: close, take over the
    // dataset's columns and rows, move to the first row. The answer is decoded
    // completely before the table is touched. Nothing is reported and nothing
    // escapes: an unreachable server, a server or SQL error, an answer that
    // does not decode, a null list or a list with other than exactly one
    // dataset ("Assertion failure") leave `Sender` exactly as it was.
    // Returns whether the table was loaded; LastError() tells why not.
    // ClientREST is empty when it returns.
    virtual bool SelectMemTable(const std::string& _Sintaxe, MemTable& Sender);

    // Sends `_Sintaxe` like SelectMemTable, for an answer too big to hold (a
    // month's documents): the body is decoded while it arrives
    // (codec::StreamingBodyDecoder; compressed bytes beyond 8 MB wait in an
    // unnamed temporary file in `tempDir`, empty: the system's) and the rows
    // of its single dataset go to `visitor` one by one once it has arrived
    // whole and checked. Unlike SelectMemTable it throws: TransportError,
    // RestError, or codec::CodecError for an answer that does not decode, a
    // null list or a list of other than one dataset; rows handed over before
    // a failure stay handed over (OnEnd is then not called). Returns the
    // body's size in bytes.
    virtual std::uint64_t SelectStream(const std::string& _Sintaxe, codec::AdbsVisitor& visitor,
                                       const std::string& tempDir = {});

    // Sends `_Sintaxe` like SelectStream and receives the whole answer
    // without decoding its rows: the returned decoder's Finish hands them to a
    // visitor, as many times as it is called (each time from the compressed
    // bytes it keeps). Like SelectMemTable it catches every failure of the
    // transfer and returns nullptr; LastError() tells why.
    virtual std::unique_ptr<codec::StreamingBodyDecoder> ReceberResposta(const std::string& _Sintaxe,
                                                                         const std::string& tempDir = {});

    // Sends a statement and discards the Boolean the server answers. Catches
    // nothing: a failure reaches the caller and leaves ClientREST referring to
    // the failed call's proxy (the next call or LiberarClientREST frees it).
    virtual void ExecuteSQL(const std::string& _Sintaxe);

    // Takes the proxy out of ClientREST, empties the reference, then frees the
    // proxy. Nothing happens when ClientREST is empty. The main window calls
    // it when it closes.
    void LiberarClientREST() noexcept;

    // The proxy of the call in progress (or left by a failed ExecuteSQL);
    // nullptr otherwise.
    const TServerMethods1Client* ClientREST() const noexcept { return ClientREST_.get(); }

    // Why the last SelectMemTable did not load its table; empty after a success.
    const std::string& LastError() const noexcept { return lastError_; }

    RestConnection& Connection() const noexcept { return DSRestConnection1_; }

  private:
    RestConnection& DSRestConnection1_;
    std::unique_ptr<TServerMethods1Client> ClientREST_;
    std::string lastError_;
};

}  // namespace kqz::cloud
