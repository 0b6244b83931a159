// kqz-server: the application server of KQZ_BASKO and its administration
// commands.

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kqz_version.hpp"
#include "server/admin.hpp"
#include "server/documents.hpp"
#include "server/server.hpp"
#include "server/storage.hpp"

namespace {

using namespace kqz::server;

struct ServeFlags {
    std::string listen = "127.0.0.1";
    int port = 8080;
    bool allowExecute = false;
    std::vector<std::string> adminFrom;
    std::vector<std::string> trustedProxies;
    std::size_t workers = 8;
    int sessionMinutes = 20;
    std::size_t maxSessions = 10000;
    std::size_t maxBodyKb = 1024;
    std::size_t cacheMb = 256;
    std::size_t maxConnections = 1024;
    std::size_t maxHeadKb = 272;
    std::string logFormat = "text";
    std::vector<std::string> metricsFrom;
    std::string tlsCert;
    std::string tlsKey;
    int level = 1;
};

void AddDb(CLI::App* cmd, std::string& db) {
    cmd->add_option("--db", db, "arquivo SQLite ou URL postgresql://... (padrão: kqz.sqlite na pasta atual)");
}

void AddServeFlags(CLI::App* cmd, ServeFlags& f) {
    cmd->add_option("--listen", f.listen, "endereço em que escutar (padrão 127.0.0.1)");
    cmd->add_option("--port", f.port, "porta (padrão 8080; 0 = qualquer porta livre)")
        ->check(CLI::Range(0, 65535));
    cmd->add_flag("--allow-execute", f.allowExecute,
                  "aceita ExecuteCloud (comandos SQL livres) vindos das redes de administração");
    cmd->add_option(
        "--admin-from", f.adminFrom,
        "rede (CIDR) de onde a identificação do administrador é aceita; repetível (padrão: loopback)");
    cmd->add_option("--trusted-proxy", f.trustedProxies,
                    "proxy reverso (CIDR) cujo X-Forwarded-For é aceito como endereço do cliente; repetível");
    cmd->add_option("--workers", f.workers,
                    "requisições rápidas atendidas ao mesmo tempo (padrão 8); os documentos do mês têm mais "
                    "metade disso à parte")
        ->check(CLI::Range(1, 256));
    cmd->add_option("--max-connections", f.maxConnections, "conexões abertas ao mesmo tempo (padrão 1024)")
        ->check(CLI::Range(1, 100000));
    cmd->add_option("--cache-mb", f.cacheMb,
                    "MB de resultados guardados no cache de todas as sessões juntas (padrão 256)")
        ->check(CLI::Range(1, 1024 * 1024));
    cmd->add_option("--session-minutes", f.sessionMinutes, "minutos sem uso até a sessão expirar (padrão 20)")
        ->check(CLI::Range(1, 24 * 60));
    cmd->add_option("--max-sessions", f.maxSessions, "sessões vivas no máximo (padrão 10000)")
        ->check(CLI::Range(1, 1000000));
    cmd->add_option("--max-body-kb", f.maxBodyKb,
                    "tamanho máximo do corpo de uma requisição em KB (padrão 1024)")
        ->check(CLI::Range(1, 1024 * 1024));
    cmd->add_option("--max-head-kb", f.maxHeadKb,
                    "tamanho máximo da linha da requisição e dos cabeçalhos juntos em KB (padrão 272)")
        ->check(CLI::Range(16, 16 * 1024));
    cmd->add_option("--log-format", f.logFormat,
                    "formato do registro de acessos: text (padrão) ou json (um objeto JSON por linha)")
        ->check(CLI::IsMember({"text", "json"}));
    cmd->add_option("--metrics-from", f.metricsFrom,
                    "rede (CIDR) de onde GET /metrics é aceito; repetível (padrão: loopback)");
    auto* cert = cmd->add_option("--tls-cert", f.tlsCert,
                                 "serve HTTPS: arquivo PEM com o certificado (e a cadeia) do servidor")
                     ->check(CLI::ExistingFile);
    auto* key = cmd->add_option("--tls-key", f.tlsKey, "serve HTTPS: arquivo PEM com a chave privada")
                    ->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    cmd->add_option("--zlib-level", f.level, "nível de compressão das respostas, 1 a 9 (padrão 1)")
        ->check(CLI::Range(1, 9));
}

std::vector<Cidr> ParseRanges(const std::vector<std::string>& texts) {
    std::vector<Cidr> out;
    for (const auto& t : texts)
        out.push_back(Cidr::Parse(t));
    return out;
}

int Serve(Storage& storage, const ServeFlags& f) {
    ServerOptions options;
    options.listen = f.listen;
    options.port = f.port;
    options.workers = f.workers;
    options.maxBody = f.maxBodyKb * 1024;
    options.maxConnections = f.maxConnections;
    options.maxHeadBytes = f.maxHeadKb * 1024;
    options.tlsCert = f.tlsCert;
    options.tlsKey = f.tlsKey;
    options.logFormat =
        f.logFormat == "json" ? ServerOptions::LogFormat::Json : ServerOptions::LogFormat::Text;
    if (!f.metricsFrom.empty())
        options.metricsFrom = ParseRanges(f.metricsFrom);
    options.service.cacheBytes = f.cacheMb << 20;
    options.trustedProxies = ParseRanges(f.trustedProxies);
    options.service.allowExecute = f.allowExecute;
    if (!f.adminFrom.empty())
        options.service.adminFrom = ParseRanges(f.adminFrom);
    options.service.sessionIdle = std::chrono::minutes(f.sessionMinutes);
    options.service.maxSessions = f.maxSessions;
    options.service.write.level = f.level;

    // SIGINT and SIGTERM go to one thread that stops the server; every other
    // thread (started below) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Server server(storage, options);
    const int port = server.Bind();
    std::cerr << "kqz-server: banco " << storage.Describe() << "\n";
    std::cout << "listening on " << (f.tlsCert.empty() ? "http" : "https") << "://" << f.listen << ":" << port
              << std::endl;

    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::cerr << "kqz-server: parando (" << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ")\n";
        server.Stop();
    });
    server.Run();
    // Run() also returns when listening fails: wake the stopper so it can end.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return 0;
}

std::string LowerAscii(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

void RequireCnpjDigits(const std::string& cnpj) {
    if (cnpj.size() != 14 || cnpj.find_first_not_of("0123456789") != std::string::npos) {
        throw std::runtime_error("CNPJ deve ter 14 dígitos, sem pontuação: " + cnpj);
    }
    if (!ValidaCNPJ(cnpj))
        std::cerr << "kqz-server: aviso: dígitos verificadores do CNPJ " << cnpj << " não conferem\n";
}

}  // namespace

int main(int argc, char** argv) {
    // A bare "kqz-server" (or one with only options) serves.
    std::vector<std::string> args(argv, argv + argc);
    if (args.size() == 1 || (args[1].size() > 0 && args[1][0] == '-' && args[1] != "--help" &&
                             args[1] != "-h" && args[1] != "--version")) {
        args.insert(args.begin() + 1, "serve");
    }

    CLI::App app{"kqz-server - servidor de aplicação do KQZ_BASKO (DataSnap REST, SQLite ou PostgreSQL)"};
    app.set_version_flag("--version", std::string("kqz-server ") + kqz::kVersionLine);
    app.require_subcommand(1);
    // The service's options in a file: a section per command ([serve]), each
    // option as name = value without its dashes. The command line wins; a
    // name that is no option is an error, not a silent default.
    app.set_config(
        "--config", "",
        "arquivo de opções: seção [serve] com nome = valor (sem os traços); a linha de comando prevalece");
    app.allow_config_extras(CLI::config_extras_mode::error);
    std::string db = "kqz.sqlite";
    ServeFlags serveFlags;

    auto* serve = app.add_subcommand("serve", "atende os clientes (o que faz um kqz-server sem subcomando)");
    AddDb(serve, db);
    AddServeFlags(serve, serveFlags);

    auto* init = app.add_subcommand("init", "cria o banco e as tabelas que faltam");
    AddDb(init, db);

    std::vector<std::string> importPaths;
    auto* import = app.add_subcommand("import", "importa arquivos de CF-e (arquivos ou pastas, recursivo)");
    AddDb(import, db);
    import->add_option("PATH", importPaths, "arquivos .xml ou pastas")->required();

    auto* company = app.add_subcommand("company", "empresas (tabela M00)");
    company->require_subcommand(1);
    std::string companyCnpj, companyName;
    auto* companyAdd = company->add_subcommand("add", "cadastra uma empresa");
    AddDb(companyAdd, db);
    companyAdd->add_option("CNPJ", companyCnpj, "14 dígitos")->required();
    companyAdd->add_option("NAME", companyName, "nome fantasia")->required();

    auto* user = app.add_subcommand("user", "e-mails e os CNPJs que cada um vê (tabela KQZ_SADu)");
    user->require_subcommand(1);
    std::string userEmail, userCnpj;
    auto* userAdd = user->add_subcommand("add", "deixa um e-mail ver um CNPJ");
    AddDb(userAdd, db);
    userAdd->add_option("EMAIL", userEmail, "e-mail (guardado em minúsculas)")->required();
    userAdd->add_option("CNPJ", userCnpj, "14 dígitos")->required();
    auto* userRemove = user->add_subcommand("remove", "tira de um e-mail um CNPJ ou todos");
    AddDb(userRemove, db);
    userRemove->add_option("EMAIL", userEmail, "e-mail")->required();
    userRemove->add_option("CNPJ", userCnpj, "só este CNPJ (sem ele: todos)");

    auto* version = app.add_subcommand("version", "versão oferecida aos clientes (P_VERATU)");
    version->require_subcommand(1);
    std::int32_t build = 0;
    std::string link, description;
    auto* versionSet = version->add_subcommand("set", "define build, link de download e texto da versão");
    AddDb(versionSet, db);
    versionSet->add_option("BUILD", build, "número do build")->required()->check(CLI::NonNegativeNumber);
    versionSet->add_option("LINK", link, "link de download")->required();
    versionSet->add_option("DESCRIPTION", description, "texto da versão")->required();

    std::string backupDest;
    auto* backup = app.add_subcommand(
        "backup", "copia um banco SQLite em uso para um arquivo novo (cópia online, consistente)");
    AddDb(backup, db);
    backup->add_option("DEST", backupDest, "arquivo novo da cópia")->required();

    auto* stats = app.add_subcommand("stats", "mostra o que o banco guarda");
    AddDb(stats, db);

    bool noServe = false;
    int perMonth = 120;
    ServeFlags demoFlags;
    auto* demo = app.add_subcommand("demo", "cria um banco de demonstração com dados sintéticos e o atende");
    AddDb(demo, db);
    AddServeFlags(demo, demoFlags);
    demo->add_flag("--no-serve", noServe, "só cria os dados, sem atender");
    demo->add_option("--per-month", perMonth, "documentos por empresa e mês (padrão 120)")
        ->check(CLI::Range(1, 200000));

    // --config may come after the command's name.
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        sub->fallthrough();
    }

    std::vector<char*> argvCopy;
    for (auto& a : args)
        argvCopy.push_back(a.data());
    try {
        app.parse(static_cast<int>(argvCopy.size()), argvCopy.data());
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    try {
        if (backup->parsed()) {
            BackupSqlite(db, backupDest);
            std::cout << "cópia pronta: " << backupDest << "\n";
            return 0;
        }
        auto storage = Storage::Open(db);
        if (serve->parsed())
            return Serve(*storage, serveFlags);
        if (init->parsed()) {
            std::cout << "banco pronto: " << storage->Describe() << "\n";
        } else if (import->parsed()) {
            const auto s = ImportPaths(*storage, importPaths,
                                       [](const std::string& line) { std::cerr << line << "\n"; });
            std::cout << s.files << " arquivos: " << s.inserted << " documentos novos, " << s.alreadyStored
                      << " já existiam, " << s.skipped << " ignorados\n";
        } else if (companyAdd->parsed()) {
            RequireCnpjDigits(companyCnpj);
            std::cout << (storage->AddCompany(companyCnpj, companyName) ? "empresa cadastrada\n"
                                                                        : "empresa já estava cadastrada\n");
        } else if (userAdd->parsed()) {
            RequireCnpjDigits(userCnpj);
            const std::string email = LowerAscii(userEmail);
            if (email.find('@') == std::string::npos || email.find_first_of(" \t'") != std::string::npos) {
                throw std::runtime_error("e-mail inválido: " + userEmail);
            }
            std::cout << (storage->AddUser(email, userCnpj) ? "acesso liberado\n" : "acesso já existia\n");
        } else if (userRemove->parsed()) {
            const auto removed =
                storage->RemoveUser(LowerAscii(userEmail),
                                    userCnpj.empty() ? std::nullopt : std::optional<std::string>(userCnpj));
            std::cout << removed << " acesso(s) removido(s)\n";
        } else if (versionSet->parsed()) {
            storage->SetVersion(build, link, description);
            std::cout << "versão definida: build " << build << "\n";
        } else if (stats->parsed()) {
            const auto s = storage->GetStats();
            std::cout << "banco: " << storage->Describe() << "\n"
                      << "documentos (KQZ_SAD): " << s.documents << "\n"
                      << "acessos (KQZ_SADu): " << s.users << "\n"
                      << "empresas (M00): " << s.companies << "\n"
                      << "parâmetros (KQZ_SADp): " << s.parameters << "\n";
            for (const auto& m : s.perCompanyMonth) {
                std::cout << "  " << m.cnpj << " " << m.month << ": " << m.documents << "\n";
            }
        } else if (demo->parsed()) {
            const auto s = FillDemo(*storage, std::chrono::system_clock::now(), perMonth,
                                    [](const std::string& line) { std::cerr << line << "\n"; });
            std::cout << "demonstração pronta em " << storage->Describe() << ": " << s.documents
                      << " documentos. Experimente o e-mail " << s.tryEmail << " e o mês " << s.tryMonth
                      << " (administrador: " << kAdminEmail << ")" << std::endl;
            if (!noServe)
                return Serve(*storage, demoFlags);
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "kqz-server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
