// The window's job against the command line's, on the same month and in the
// same run, one after the other in each iteration: from the confirmed folder
// to "Processo concluido !" (documents query, files written and read, report
// composed and shown in Memo2) in the main and summary windows (offscreen,
// painting included), and `kqz download` of the same company and month as a
// user starts it (process start to exit). `ratio_to_kqz_download` is the
// window's total time over the command line's (the target: at most 1.5).
//
// The month has 10,000 coupons unless KQZ_BENCH_COUPONS says otherwise.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <chrono>
#include <filesystem>

#include "app/UnMain.hpp"
#include "app/UnResumo.hpp"
#include "app/app_locale.hpp"
#include "app/empresa_list.hpp"
#include "app/start_up.hpp"
#include "app/ui_services.hpp"
#include "bench/busy_month.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Mes {
    std::string db;
    std::unique_ptr<kqz::bench::ServerProcess> server;
    static Mes& Get() {
        static Mes mes = [] {
            Mes m;
            m.db = kqz::bench::DatabasePath();
            kqz::bench::EnsureDatabase(m.db);
            m.server = std::make_unique<kqz::bench::ServerProcess>(m.db);
            return m;
        }();
        return mes;
    }
};

fs::path Saida(const char* name) {
    return fs::path(KQZ_BINARY_DIR) / "bench-data" / name;
}

// One `kqz download` of the month, as a user starts it: seconds, or -1.
double KqzDownload(const std::string& url, const fs::path& out) {
    fs::remove_all(out);
    std::vector<std::string> argv{KQZ_CLI_BINARY, "download",        "--email",  kqz::bench::kEmail,
                                  "--cnpj",       kqz::bench::kCnpj, "--month",  "2021-03",
                                  "--out",        out.string(),      "--server", url};
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fs::remove_all(out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// The desktop as the window meets it, with the folder dialog answered and the
// clock stopped at "Processo concluido !".
class Desktop final : public kqz::app::UiServices {
  public:
    QString pasta;
    QElapsedTimer relogio;
    double segundos = -1;
    QWidget* resumo = nullptr;
    QStringList mensagens;

    void ShowMessage(QWidget*, const QString& text) override { mensagens << text; }
    void Warning(QWidget*, const QString& text) override { mensagens << text; }
    void Information(QWidget*, const QString& text) override {
        segundos = static_cast<double>(relogio.nsecsElapsed()) / 1e9;
        if (text != QLatin1String("Processo concluido !")) {
            mensagens << text;
        }
        QTimer::singleShot(0, resumo, [this] { resumo->close(); });
    }
    std::optional<QString> SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return std::nullopt;
    }
    std::optional<QString> DownloadFolder(QWidget*, const QString&, const QString&) override {
        relogio.start();
        return pasta;
    }
    std::optional<QString> ParentFolder(QWidget*, const QString&, const QString&) override {
        return std::nullopt;
    }
    void ShellOpen(const QString&) override {}
    void ProcessMessages() override { QCoreApplication::processEvents(); }
    void Terminate() override {}
    void Halt(int) override {}
};

// Each iteration runs `kqz download` and then the window's job, so that both
// meet the same machine load; the iteration's time is the window's.
void BM_WindowJobAgainstKqzDownload(benchmark::State& state) {
    Mes& mes = Mes::Get();
    const fs::path out = Saida("window-vs-cli-window");
    Desktop desktop;
    desktop.pasta = QString::fromStdString(out.string());
    kqz::app::AppContext context(desktop);
    context.servidor = mes.server->Url();
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    kqz::app::TFmMain& main = *janelas.FmMain;
    desktop.resumo = janelas.FmResumo.get();
    main.show();
    while (!main.Iniciada()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    main.Edit_Email->setText(kqz::bench::kEmail);
    main.Edit_EmailExit();
    main.Button1Click();
    if (main.ListView_empresa->Items().rowCount() != 1) {
        state.SkipWithError("the company was not listed");
        return;
    }
    std::size_t linhas = 0;
    double janela = 0;
    double kqz = 0;
    for (auto _ : state) {
        const double cli = KqzDownload(mes.server->Url(), Saida("window-vs-cli-kqz"));
        if (cli < 0) {
            state.SkipWithError("kqz download failed");
            return;
        }
        kqz += cli;
        fs::remove_all(out);
        desktop.segundos = -1;
        main.ListView_empresa->Click(0, "TextButton5");
        if (desktop.segundos < 0 || !desktop.mensagens.isEmpty()) {
            state.SkipWithError(("the window's job did not end with the summary: " +
                                 desktop.mensagens.join(" | ").toStdString())
                                    .c_str());
            return;
        }
        linhas = static_cast<std::size_t>(janelas.FmResumo->Memo2->blockCount());
        janela += desktop.segundos;
        state.SetIterationTime(desktop.segundos);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["coupons"] = kqz::bench::Coupons();
    state.counters["report_lines"] = static_cast<double>(linhas);
    state.counters["window_s"] = janela / n;
    state.counters["kqz_download_s"] = kqz / n;
    state.counters["ratio_to_kqz_download"] = janela / kqz;
    fs::remove_all(out);
}
BENCHMARK(BM_WindowJobAgainstKqzDownload)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    setenv("KQZ_BENCH_COUPONS", "10000", 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QLocale::setDefault(kqz::app::AppLocale());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
