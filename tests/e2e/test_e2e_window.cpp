// The desktop client against a real kqz-server, driven headless: the version
// check at start, the e-mail, "MOSTRAR EMPRESAS", the Download button, the
// folder dialog answered by the test, and the summary window with its report.

#include <QApplication>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <utility>

#include "app/UnMain.hpp"
#include "app/UnResumo.hpp"
#include "app/empresa_list.hpp"
#include "app/pasta_download.hpp"
#include "app/start_up.hpp"
#include "app/update/UnAtualizarSistema.hpp"
#include "app/widgets.hpp"
#include "kqz_version.hpp"
#include "tests/app/fake_ui.hpp"
#include "tests/e2e/server_process.hpp"
#include "tests/e2e/test_data.hpp"

using kqz::app::AppContext;
using kqz::app::testing::FakeUi;
namespace fs = std::filesystem;

namespace {

// Waits that ran out: the test that started them fails in cleanup().
QStringList& EsperasVencidas() {
    static QStringList vencidas;
    return vencidas;
}

// Runs `action` as soon as `ready` holds, from inside whatever modal loop is
// running then. After 30 s without it, the wait is recorded as failed and every
// modal window is closed, so the test ends instead of hanging.
void Quando(std::function<bool()> ready, std::function<void()> action, const char* what = "janela esperada") {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QElapsedTimer since;
    since.start();
    QObject::connect(timer, &QTimer::timeout,
                     [timer, since, what, ready = std::move(ready), action = std::move(action)] {
                         if (since.elapsed() > 30000) {
                             if (QWidget* modal = QApplication::activeModalWidget()) {
                                 modal->close();  // one per tick: each ends its own loop
                                 return;
                             }
                             EsperasVencidas() << QString::fromUtf8(what);
                             timer->stop();
                             timer->deleteLater();
                             return;
                         }
                         if (ready()) {
                             timer->stop();
                             timer->deleteLater();
                             action();
                         }
                     });
    timer->start();
}

}  // namespace

class WindowEndToEnd : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void versionCheck_data();
    void versionCheck();
    void fromEmailToSummary();
    void sessionGoneWhileIdle_data();
    void sessionGoneWhileIdle();
    void noSecondJobWhileOneRuns();

  private:
    fs::path dir_;
    std::string db_;
    std::unique_ptr<kqz::testing::ServerProcess> server_;
};

void WindowEndToEnd::initTestCase() {
    dir_ = fs::temp_directory_path() / ("kqz-e2e-window-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // The remembered download folder goes to a settings file of this run.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(dir_.string()));
    QStandardPaths::setTestModeEnabled(true);
    db_ = kqz::testing::CriarBanco(KQZ_SERVER_BINARY, dir_);
    server_ = std::make_unique<kqz::testing::ServerProcess>(KQZ_SERVER_BINARY, db_, dir_);
}

void WindowEndToEnd::cleanupTestCase() {
    server_.reset();
    fs::remove_all(dir_);
}

void WindowEndToEnd::cleanup() {
    const QStringList vencidas = std::exchange(EsperasVencidas(), {});
    QVERIFY2(vencidas.isEmpty(), qPrintable("esperou em vão: " + vencidas.join(", ")));
}

void WindowEndToEnd::versionCheck_data() {
    QTest::addColumn<QString>("build");  // empty: the server cannot be reached
    QTest::addColumn<bool>("notice");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("older build on the server") << "3" << false << QStringList{};
    QTest::newRow("same build") << "4" << false << QStringList{};
    QTest::newRow("newer build: the notice, its message, the link, the end")
        << "5" << true
        << QStringList{
               "information: O sistema será fechado e o download será iniciado.\rQuando terminar o "
               "download, descompacte o arquivo baixado e execute o KQZ_TREVON.exe",
               "open: https://downloads.exemplo.com.br/kqz-5.zip", "terminate"};
    QTest::newRow("unreachable server")
        << "" << false << QStringList{"message: Não consegui acessar o servidor na nuvem !"};
}

void WindowEndToEnd::versionCheck() {
    QFETCH(QString, build);
    QFETCH(bool, notice);
    QFETCH(QStringList, calls);
    if (!build.isEmpty()) {
        kqz::testing::Admin(KQZ_SERVER_BINARY, db_,
                            {"version", "set", build.toStdString(),
                             "https://downloads.exemplo.com.br/kqz-" + build.toStdString() + ".zip",
                             "VERSÃO:  1.0." + build.toStdString()},
                            dir_);
    }
    FakeUi ui;
    AppContext context(ui);
    context.servidor = build.isEmpty() ? "http://127.0.0.1:1" : server_->Url();
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    bool shown = false;
    QStringList labels;
    bool saved = false;
    if (notice) {
        // Read inside the notice's modal loop, compared once it has closed.
        Quando([&] { return janelas.FmAtualizarSistema->isVisible(); },
               [&] {
                   shown = true;
                   labels << janelas.FmAtualizarSistema->Label_Link->text()
                          << janelas.FmAtualizarSistema->Label_VersaoDisponivel->text()
                          << janelas.FmAtualizarSistema->Label_VersaoATual->text();
                   const QString shots = QStringLiteral(KQZ_BINARY_DIR "/screenshots");
                   QDir().mkpath(shots);
                   saved = janelas.FmAtualizarSistema->grab().save(shots + "/update_notice.png");
                   janelas.FmAtualizarSistema->Button1Click();
               },
               "aviso de atualização");
    }

    janelas.FmMain->show();
    QTRY_VERIFY_WITH_TIMEOUT(janelas.FmMain->Iniciada(), 10000);

    QCOMPARE(shown, notice);
    QCOMPARE(ui.calls, calls);
    if (notice) {
        QCOMPARE(labels, (QStringList{"https://downloads.exemplo.com.br/kqz-5.zip", "VERSÃO:  1.0.5",
                                      QString::fromUtf8(kqz::kVersionLabel)}));
        QVERIFY(saved);
    }
    // The month is preset whatever the check found.
    QCOMPARE(janelas.FmMain->DateEdit1->date(), QDate(2021, 3, 10));
}

void WindowEndToEnd::fromEmailToSummary() {
    kqz::testing::Admin(KQZ_SERVER_BINARY, db_,
                        {"version", "set", "4", "https://downloads.exemplo.com.br/kqz.zip", "VERSÃO:  1.0.4"},
                        dir_);
    FakeUi ui;
    AppContext context(ui);
    context.servidor = server_->Url();
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    kqz::app::TFmMain& main = *janelas.FmMain;
    main.show();
    QTRY_VERIFY_WITH_TIMEOUT(main.Iniciada(), 10000);
    QVERIFY(ui.Boxes().isEmpty());

    // Type the e-mail (upper case becomes lower case) and leave the field.
    QTest::keyClicks(main.Edit_Email, "Contador@Exemplo.com.br");
    QCOMPARE(main.Edit_Email->text(), QString("contador@exemplo.com.br"));
    main.Edit_EmailExit();
    QCOMPARE(main.Memo_ListaDeCNPJ->toPlainText().split('\n').size(), 2);
    QVERIFY(main.memo3->isHidden());

    main.Button1Click();
    auto& items = main.ListView_empresa->Items();
    QCOMPARE(items.rowCount(), 2);
    int padaria = -1;
    for (int i = 0; i < items.rowCount(); ++i) {
        if (items.Item(i).Text2 == kqz::testing::kCnpjPadaria) {
            padaria = i;
        }
    }
    QVERIFY(padaria >= 0);
    QCOMPARE(items.Item(padaria).Text1, QString("PADARIA SãO JOãO"));
    QCOMPARE(items.Item(padaria).Text6, QString("4 XMLs"));
    QCOMPARE(main.memo3->toPlainText(), QString("Quantidade de empresas: 2"));
    QVERIFY(main.Panel_Aviso->isHidden());

    // Download: the dialog returns a folder whose parents do not exist yet.
    const fs::path pasta = dir_ / "janela" / "marco";
    ui.saveAnswers.push_back(QString::fromStdString(pasta.string()));
    std::vector<std::string> report;
    QString label;
    Quando(
        [&] {
            return janelas.FmResumo->isVisible() && ui.calls.contains("information: Processo concluido !");
        },
        [&] {
            report = janelas.FmResumo->Linhas();
            label = janelas.FmResumo->Label1->text();
            janelas.FmResumo->Button1Click();
        });
    main.ListView_empresa->Click(padaria, "TextButton5");

    std::vector<std::string> expected{"Empresa: 11222333000181 - PADARIA SãO JOãO", ""};
    const auto worked = kqz::testing::RelatorioEsperado();
    expected.insert(expected.end(), worked.begin(), worked.end());
    QCOMPARE(report, expected);
    QCOMPARE(label, QString(kqz::testing::kCnpjPadaria));
    QCOMPARE(static_cast<int>(std::distance(fs::directory_iterator(pasta), fs::directory_iterator())), 4);
    QCOMPARE(main.memo3->toPlainText(),
             QString("Primeiro CFe...: 000001\nFalta CFe....: 4 <<<****\nUltimo CFe.....: 000005"));
    QCOMPARE(ui.calls.filter(QRegularExpression("^save")),
             QStringList{"save:  | " + QString(kqz::testing::kCnpjPadaria)});
    // The next download's dialog starts where this one went.
    QCOMPARE(kqz::app::PastaInicialDeDownload(), QString::fromStdString((dir_ / "janela").string()));
    QVERIFY(main.Panel_Aviso->isHidden());

    // "Salvar" proposes the month's name and writes the report.
    const fs::path arquivo = dir_ / "Resumo.txt";
    ui.saveAnswers.push_back(QString::fromStdString(arquivo.string()));
    janelas.FmResumo->Button2Click();
    QCOMPARE(ui.calls.filter(QRegularExpression("^save")).last(),
             QString("save: Salvar resumo | Resumo_mar21_11222333000181.txt"));
    // ... in the download's folder.
    QCOMPARE(ui.folders.last(), QString::fromStdString(pasta.string()));
    QVERIFY(fs::file_size(arquivo) > 1000);

    const QString shot = QStringLiteral(KQZ_BINARY_DIR "/screenshots");
    QDir().mkpath(shot);
    janelas.FmResumo->show();
    janelas.FmResumo->Memo2->setPlainText(QString::fromStdString([&] {
        std::string text;
        for (const auto& line : report) {
            text += line + "\n";
        }
        return text;
    }()));
    QVERIFY(janelas.FmResumo->grab().save(shot + "/summary_window.png"));
    QVERIFY(main.grab().save(shot + "/main_window_after_download.png"));
}

void WindowEndToEnd::sessionGoneWhileIdle_data() {
    QTest::addColumn<bool>("unknown");
    QTest::newRow("the server forgot the session (idle time-out)") << true;
    QTest::newRow("a new session (server restarted, nothing released)") << false;
}

void WindowEndToEnd::sessionGoneWhileIdle() {
    QFETCH(bool, unknown);
    FakeUi ui;
    AppContext context(ui);
    context.servidor = server_->Url();
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    kqz::app::TFmMain& main = *janelas.FmMain;
    main.show();
    QTRY_VERIFY_WITH_TIMEOUT(main.Iniciada(), 10000);
    main.Edit_Email->setText(kqz::testing::kEmail);
    main.Edit_EmailExit();
    auto perder = [&] {
        if (unknown) {
            main.DSRestConnection1.SetSessionId("424242.4242");
        } else {
            main.DSRestConnection1.ClearSession();
        }
    };

    perder();
    main.Button1Click();
    auto& items = main.ListView_empresa->Items();
    QCOMPARE(items.rowCount(), 2);
    QCOMPARE(main.memo3->toPlainText(), QString("Quantidade de empresas: 2"));

    perder();
    int padaria = items.Item(0).Text2 == kqz::testing::kCnpjPadaria ? 0 : 1;
    ui.saveAnswers.push_back(QString::fromStdString((dir_ / "sessao").string()));
    Quando(
        [&] {
            return janelas.FmResumo->isVisible() && ui.calls.contains("information: Processo concluido !");
        },
        [&] { janelas.FmResumo->Button1Click(); });
    main.ListView_empresa->Click(padaria, "TextButton5");
    QCOMPARE(ui.Boxes(), QStringList{"information: Processo concluido !"});
    QCOMPARE(
        static_cast<int>(std::distance(fs::directory_iterator(dir_ / "sessao"), fs::directory_iterator())),
        4);
}

void WindowEndToEnd::noSecondJobWhileOneRuns() {
    FakeUi ui;
    AppContext context(ui);
    context.servidor = server_->Url();
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    kqz::app::TFmMain& main = *janelas.FmMain;
    main.show();
    QTRY_VERIFY_WITH_TIMEOUT(main.Iniciada(), 10000);
    main.Edit_Email->setText(kqz::testing::kEmail);
    main.Edit_EmailExit();
    main.Button1Click();
    auto& items = main.ListView_empresa->Items();
    QCOMPARE(items.rowCount(), 2);
    const int padaria = items.Item(0).Text2 == kqz::testing::kCnpjPadaria ? 0 : 1;
    const int mercado = 1 - padaria;

    // While the download runs, the user clicks everything that starts a job.
    int tries = 0;
    ui.onProcessMessages = [&] {
        if (main.Ocupada() && main.Panel_Aviso->isVisible() && tries++ == 0) {
            QVERIFY(!main.Button1->isEnabled());
            QVERIFY(!main.ListView_empresa->isEnabled());
            main.Button1Click();
            main.ListView_empresa->Click(mercado, "TextButton5");
            main.Edit_EmailExit();
            // The title bar's close waits for the job: it works on the tables.
            QVERIFY(!main.close());
            // The job's panel stays up.
            QVERIFY(main.Panel_Aviso->isVisible());
        }
    };
    ui.saveAnswers.push_back(QString::fromStdString((dir_ / "reentrada").string()));
    ui.saveAnswers.push_back(QString::fromStdString((dir_ / "reentrada-2").string()));
    std::vector<std::string> report;
    Quando(
        [&] {
            return janelas.FmResumo->isVisible() && ui.calls.contains("information: Processo concluido !");
        },
        [&] {
            report = janelas.FmResumo->Linhas();
            janelas.FmResumo->Button1Click();
        });
    main.ListView_empresa->Click(padaria, "TextButton5");

    QVERIFY(tries > 0);
    // One folder dialog, no failure, and the summary of the company downloaded.
    QCOMPARE(ui.calls.filter(QRegularExpression("^save")),
             QStringList{"save:  | " + QString(kqz::testing::kCnpjPadaria)});
    QCOMPARE(ui.Boxes(), QStringList{"information: Processo concluido !"});
    QVERIFY(!report.empty());
    QCOMPARE(report.front(), std::string("Empresa: 11222333000181 - PADARIA SãO JOãO"));
    QCOMPARE(items.rowCount(), 2);
    // Afterwards the controls work again, and the close asked for meanwhile
    // ends the program.
    QVERIFY(main.Button1->isEnabled() && main.ListView_empresa->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(ui.calls.contains("terminate"), 10000);
    QVERIFY(main.isHidden());
}

QTEST_MAIN(WindowEndToEnd)
#include "test_e2e_window.moc"
