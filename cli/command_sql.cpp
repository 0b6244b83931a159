// kqz sql: runs one SELECT on the application server and prints the
// dataset(s) of the answer. Unlike the client's windows, it reports every
// failure (unreachable server, server error, unreadable answer).

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cli/registry.hpp"
#include "cloud/codec/print.hpp"
#include "cloud/rest_connection.hpp"
#include "cloud/server_address.hpp"
#include "cloud/server_methods.hpp"
#include "download/text.hpp"

namespace kqz::cli {
namespace {

struct SqlOptions {
    std::string server;
    std::string sql;
};

void RunSql(const SqlOptions& options) {
    cloud::RestConnection connection(cloud::ResolveServerAddress(options.server));
    cloud::TServerMethods1Client proxy(connection, false);
    const cloud::DataSetsPtr list = proxy.SelectCloud(options.sql, "");
    if (!list) {
        throw std::runtime_error("o servidor não devolveu nenhuma lista de dados para a consulta");
    }
    if (list->Count() == 0) {
        throw std::runtime_error("o servidor devolveu uma lista sem nenhum conjunto de dados");
    }
    // The values come from the server: control characters are shown escaped,
    // only the table's own line breaks stay.
    std::ostringstream text;
    for (std::size_t i = 0; i < list->Count(); ++i) {
        if (i > 0) {
            text << '\n';
        }
        codec::PrintDataset(text, list->Name(i), list->DataSet(i));
    }
    std::string_view rest = text.view();
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::cout << download::EscaparControles(rest.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        std::cout << '\n';
        rest.remove_prefix(end + 1);
    }
    std::cout.flush();
}

const Registration kSql{
    "sql", [](CLI::App& app) {
        auto options = std::make_shared<SqlOptions>();
        auto* command =
            app.add_subcommand("sql", "executa um SELECT no servidor e mostra o resultado (SelectCloud)");
        command->add_option("--server", options->server,
                            "endereço do servidor, http://host:porta (padrão: $KQZ_SERVER "
                            "ou http://localhost:8080)");
        command->add_option("sql", options->sql, "texto do SELECT, enviado como está")->required();
        command->callback([options] { RunSql(*options); });
    }};

}  // namespace
}  // namespace kqz::cli
