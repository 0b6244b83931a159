#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
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
    std::string ca;
    app.add_option("--ca", ca,
                   "arquivo PEM de uma autoridade certificadora em que confiar além das do sistema, para "
                   "servidores HTTPS (padrão: $KQZ_CA)")
        ->check(CLI::ExistingFile);
    for (const auto& entry : kqz::cli::Registered()) {
        entry.setup(app);
    }
    // --ca may come after the command's name; the commands run while the
    // line is parsed, so it is taken before.
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        sub->fallthrough();
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ca" && i + 1 < argc) {
            setenv("KQZ_CA", argv[i + 1], 1);
        } else if (arg.rfind("--ca=", 0) == 0) {
            setenv("KQZ_CA", arg.c_str() + 5, 1);
        }
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
