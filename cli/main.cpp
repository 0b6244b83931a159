#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "cli/registry.hpp"
#include "download/text.hpp"
#include "kqz_version.hpp"

int main(int argc, char** argv) {
    CLI::App app{"kqz - XMLs SAT CF-e de seus clientes: consulta, download e resumo sem janelas"};
    app.set_version_flag("--version", std::string("kqz ") + kqz::kVersionLine);
    app.require_subcommand(1);
    for (const auto& entry : kqz::cli::Registered()) {
        entry.setup(app);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        // Messages quote what servers and files hold: never raw to the terminal.
        std::cerr << "kqz: " << kqz::download::EscaparControles(e.what()) << '\n';
        return 1;
    }
    return 0;
}
