#pragma once

// The remote query helper: every remote access of the client goes through it.
// SelectMemTable runs one SELECT on the application server and loads the
// single dataset of the answer into an in-memory table; ExecuteSQL runs one
// statement that returns no rows. Each call creates a fresh proxy on the
// connection, keeps it in ClientREST while it runs and frees it at the end.

#include <memory>
#include <string>

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
