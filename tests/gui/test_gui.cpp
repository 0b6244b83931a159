// The desktop client on a real X display (an Xvfb this test starts on a free
// display number) against a real kqz-server on 127.0.0.1: the program's own
// start-up and event loop (Executar), the real message boxes and file dialogs,
// answered by timers as a person would, closing windows every way. What only
// the real window system and event loop show: which window keeps the program
// alive, when messages appear, what is painted while a job runs.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include "app/UnMain.hpp"
#include "app/UnResumo.hpp"
#include "app/UnTodas.hpp"
#include "app/app_locale.hpp"
#include "app/empresa_list.hpp"
#include "app/programa.hpp"
#include "app/ui_services.hpp"
#include "app/update/UnAtualizarSistema.hpp"
#include "app/widgets.hpp"
#include "server/documents.hpp"
#include "server/storage.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/e2e/server_process.hpp"
#include "tests/e2e/test_data.hpp"

extern char** environ;

namespace fs = std::filesystem;
using kqz::app::TFmAtualizarSistema;
using kqz::app::TFmMain;
using kqz::app::TFmResumo;
using kqz::app::TFmTodas;

namespace {

constexpr const char* kCnpjLoja = "33444555000190";
constexpr int kCuponsDaLoja = 1500;

// A virtual X display on the first free display number; stopped at the end.
class Xvfb {
  public:
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {"Xvfb",         "-displayfd", "3",   "-screen", "0",
                              "1280x1024x24", "-nolisten",  "tcp", nullptr};
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            throw std::runtime_error("cannot start Xvfb");
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        char c = 0;
        fd_set set;
        timeval timeout{30, 0};
        FD_ZERO(&set);
        FD_SET(fds[0], &set);
        if (select(fds[0] + 1, &set, nullptr, nullptr, &timeout) <= 0) {
            throw std::runtime_error("Xvfb did not start in time");
        }
        while (read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            throw std::runtime_error("Xvfb gave no display number");
        }
        display_ = ":" + number;
    }
    ~Xvfb() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& Display() const { return display_; }

  private:
    pid_t pid_ = 0;
    std::string display_;
};

// The test's database: the end-to-end companies, and a store with a month big
// enough for the window to be seen at work.
std::string CriarBanco(const fs::path& dir) {
    const std::string db = kqz::testing::CriarBanco(KQZ_SERVER_BINARY, dir);
    auto storage = kqz::server::Storage::Open(db);
    storage->AddCompany(kCnpjLoja, "Loja Grande");
    storage->AddUser(kqz::testing::kEmail, kCnpjLoja);
    kqz::summary::synth::MonthSpec spec;
    spec.emitter.cnpj = kCnpjLoja;
    spec.count = kCuponsDaLoja;
    spec.max_items = 2;
    std::vector<kqz::server::StoredDocument> docs;
    kqz::summary::synth::GenerateMonth(spec, [&](kqz::summary::synth::Document&& d) {
        std::string reason;
        auto doc = kqz::server::ReadCfe(std::move(d.xml), reason);
        if (!doc) {
            throw std::runtime_error(reason);
        }
        docs.push_back(std::move(*doc));
    });
    storage->Import(docs);
    return db;
}

template <typename T>
T* Janela(const char* name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String(name)) {
            return qobject_cast<T*>(widget);
        }
    }
    return nullptr;
}

template <typename T>
T* Modal() {
    return qobject_cast<T*>(QApplication::activeModalWidget());
}

// What a person does, step by step: each step waits for its condition, then
// acts, from inside whatever event loop runs then. Past the deadline the
// program is told to end with 99.
class Roteiro {
  public:
    using Condicao = std::function<bool()>;
    using Acao = std::function<void()>;

    Roteiro& Quando(const QString& what, Condicao ready, Acao action) {
        passos_.push_back({what, std::move(ready), std::move(action)});
        return *this;
    }
    // Runs on every tick, whatever step is next.
    void Sempre(Acao watch) { sempre_ = std::move(watch); }

    // Runs the program with this script; returns its exit code.
    int Executar(kqz::app::AppContext& context, int prazoMs = 60000) {
        QTimer timer;
        QElapsedTimer relogio;
        relogio.start();
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (relogio.elapsed() > prazoMs) {
                if (!expirou_) {
                    expirou_ = true;
                    QWidget* modal = QApplication::activeModalWidget();
                    auto* box = qobject_cast<QMessageBox*>(modal);
                    qWarning() << "step not reached:" << Pendente()
                               << "modal:" << (modal ? modal->metaObject()->className() : "-")
                               << (box ? box->text() : QString());
                }
                // Also ends the modal loops the script left open.
                QCoreApplication::exit(99);
                return;
            }
            if (sempre_) {
                sempre_();
            }
            if (atual_ < passos_.size() && passos_[atual_].ready()) {
                // The action may open a modal loop: it runs from a timer of its
                // own, and the script goes on from inside that loop.
                QTimer::singleShot(0, passos_[atual_++].action);
            }
        });
        timer.start();
        return kqz::app::Executar(context);
    }

    // The step not reached, or empty when all ran.
    QString Pendente() const { return atual_ < passos_.size() ? passos_[atual_].what : QString(); }

  private:
    struct Passo {
        QString what;
        Condicao ready;
        Acao action;
    };
    std::vector<Passo> passos_;
    Acao sempre_;
    std::size_t atual_ = 0;
    bool expirou_ = false;
};

// Set while the test renders a widget itself (its children then get paint
// events that did not come from the window system).
bool capturando = false;

QImage Capturar(QWidget* widget) {
    capturando = true;
    QImage image = widget->grab().toImage();
    capturando = false;
    return image;
}

// Whether `widget` shows on the screen what it would paint now.
bool NaTela(QWidget* widget) {
    const QPoint origem = widget->mapToGlobal(QPoint(0, 0));
    const QImage tela = widget->screen()
                            ->grabWindow(0, origem.x(), origem.y(), widget->width(), widget->height())
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
    const QImage esperado = Capturar(widget).convertToFormat(QImage::Format_RGB32);
    if (tela.size() != esperado.size()) {
        return false;
    }
    int diferentes = 0;
    for (int y = 0; y < tela.height(); ++y) {
        for (int x = 0; x < tela.width(); ++x) {
            const QRgb a = tela.pixel(x, y);
            const QRgb b = esperado.pixel(x, y);
            if (std::abs(qRed(a) - qRed(b)) > 8 || std::abs(qGreen(a) - qGreen(b)) > 8 ||
                std::abs(qBlue(a) - qBlue(b)) > 8) {
                ++diferentes;
            }
        }
    }
    return diferentes == 0;
}

// Clicks the Download button of the list's row holding `cnpj`.
bool ClicarDownload(TFmMain& main, const QString& cnpj) {
    auto& items = main.ListView_empresa->Items();
    for (int i = 0; i < items.rowCount(); ++i) {
        if (items.Item(i).Text2 == cnpj) {
            QListView* view = main.ListView_empresa->View();
            const QRect rect = view->visualRect(view->model()->index(i, 0));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              QPoint(rect.right() - 30, rect.top() + 20));
            return true;
        }
    }
    return false;
}

// Records each text `label` is painted with.
class TextosPintados : public QObject {
  public:
    std::set<QString> textos;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !capturando) {
            textos.insert(static_cast<QLabel*>(watched)->text());
        }
        return false;
    }
};

}  // namespace

class RealDisplay : public QObject {
    Q_OBJECT

  public:
    RealDisplay(fs::path dir, std::string url) : dir_(std::move(dir)), url_(std::move(url)) {}

  private slots:
    void startUpMessageComesFromTheVisibleWindow();
    void badServerAddressWithTheRealProgram();
    void updateNoticeEndsTheProgram_data();
    void updateNoticeEndsTheProgram();
    void summaryWindowGoesBackToTheMainWindow_data();
    void summaryWindowGoesBackToTheMainWindow();
    void baixarTodasShowsTheMonthsTable();

  private:
    void Versao(const std::string& build) {
        kqz::testing::Admin(KQZ_SERVER_BINARY, (dir_ / "kqz.sqlite").string(),
                            {"version", "set", build, "", "VERSÃO:  1.0." + build}, dir_);
    }

    fs::path dir_;
    std::string url_;
};

void RealDisplay::startUpMessageComesFromTheVisibleWindow() {
    kqz::app::QtUiServices ui;
    kqz::app::AppContext context(ui);
    context.servidor = "http://127.0.0.1:1";  // nothing listens there
    bool exposta = false;
    QString texto;
    Roteiro roteiro;
    roteiro
        .Quando(
            "the message box", [] { return Modal<QMessageBox>() != nullptr; },
            [&] {
                auto* main = Janela<TFmMain>("FmMain");
                exposta = main != nullptr && main->isVisible() && main->windowHandle()->isExposed();
                texto = Modal<QMessageBox>()->text();
                QTest::keyClick(Modal<QMessageBox>(), Qt::Key_Return);
            })
        .Quando(
            "the window ready", [] { return Janela<TFmMain>("FmMain")->Iniciada(); },
            [] { Janela<TFmMain>("FmMain")->close(); });

    QCOMPARE(roteiro.Executar(context), 0);
    QCOMPARE(roteiro.Pendente(), QString());
    QCOMPARE(texto, QString("Não consegui acessar o servidor na nuvem !"));
    QVERIFY2(exposta, "the message appeared before the main window was on the screen");
}

// The windows on the display, as `xwininfo -root -tree` lists them.
QString JanelasNaTela(const fs::path& dir) {
    const auto saida = kqz::testing::Executar({KQZ_XWININFO, "-root", "-tree"}, dir);
    return QString::fromStdString(saida.out);
}

void RealDisplay::badServerAddressWithTheRealProgram() {
    // kqz-basko itself, with an address that is none: it must not abort, but
    // show the main window and tell the user.
    setenv("KQZ_SERVER", "ftp://x", 1);
    const pid_t pid = kqz::testing::Iniciar({KQZ_BASKO_BINARY}, dir_ / "basko.out", dir_ / "basko.err");
    unsetenv("KQZ_SERVER");
    int status = 0;
    bool terminou = false;
    bool janelas = false;
    QElapsedTimer relogio;
    relogio.start();
    while (relogio.elapsed() < 20000 && !janelas) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            terminou = true;
            break;
        }
        const QString tela = JanelasNaTela(dir_);
        // The main window and, over it, the message box (titled with the
        // program's name).
        janelas = tela.contains("\"KQZ_BASKO - Download de XMLs SAT de seus Clientes\"") &&
                  tela.contains("\"KQZ_BASKO\"");
        QTest::qWait(100);
    }
    if (!terminou) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
    }
    QVERIFY2(!terminou, qPrintable(QString("kqz-basko ended by itself (status %1)").arg(status)));
    QVERIFY(janelas);
}

void RealDisplay::updateNoticeEndsTheProgram_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Sair") << "sair";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("the window manager's close") << "fechar";
}

void RealDisplay::updateNoticeEndsTheProgram() {
    QFETCH(QString, how);
    Versao("5");
    kqz::app::QtUiServices ui;
    kqz::app::AppContext context(ui);
    context.servidor = url_;
    bool mainExposta = false;
    Roteiro roteiro;
    roteiro.Quando(
        "the notice",
        [] {
            auto* notice = Janela<TFmAtualizarSistema>("FmAtualizarSistema");
            return notice && notice->isVisible() && notice->windowHandle()->isExposed();
        },
        [&] {
            auto* main = Janela<TFmMain>("FmMain");
            mainExposta = main->windowHandle()->isExposed();
            auto* notice = Janela<TFmAtualizarSistema>("FmAtualizarSistema");
            if (how == "sair") {
                QTest::mouseClick(notice->Button2, Qt::LeftButton);
            } else if (how == "escape") {
                QTest::keyClick(notice, Qt::Key_Escape);
            } else {
                notice->close();
            }
        });

    const int code = roteiro.Executar(context, 20000);
    Versao("4");
    QCOMPARE(roteiro.Pendente(), QString());
    QVERIFY(mainExposta);
    // The program ended (99: it went on, the outdated build usable).
    QCOMPARE(code, 0);
}

void RealDisplay::summaryWindowGoesBackToTheMainWindow_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Sair") << "sair";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("the window manager's close") << "fechar";
}

void RealDisplay::summaryWindowGoesBackToTheMainWindow() {
    QFETCH(QString, how);
    kqz::app::QtUiServices ui;
    kqz::app::AppContext context(ui);
    context.servidor = url_;
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    const QString documentos = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir(documentos).removeRecursively();
    QSettings(QStringLiteral("KQZ"), QStringLiteral("kqz-basko")).clear();
    QVERIFY(QDir().mkpath(documentos));
    // A folder that exists already receives the files.
    const QString pasta = documentos + "/loja";
    QVERIFY(QDir().mkpath(pasta));

    const QString shots = QStringLiteral(KQZ_BINARY_DIR "/screenshots");
    QDir().mkpath(shots);
    TextosPintados pintados;
    QString inicioDoDialogo;
    QString botaoCancelar;
    QString procurarEm;
    QString inicioDoSalvar;
    int dialogos = 0;
    bool filtrandoNaTela = false;
    bool barraNaTela = false;
    bool cliquesDuranteOJob = false;
    QStringList mensagens;
    QString cabecalho;
    QStringList abas;
    QString sequencia;
    QString verificacao;
    bool planilhaHabilitada = false;
    Roteiro roteiro;

    roteiro.Sempre([&] {
        auto* main = Janela<TFmMain>("FmMain");
        if (main == nullptr || !main->Panel_Aviso->isVisible()) {
            return;
        }

        kqz::app::PainelAviso& painel = *main->Panel_Aviso;
        if (painel.Label_Aviso->text() == "Filtrando arquivos - Aguarde..." && !filtrandoNaTela &&
            NaTela(&painel)) {
            filtrandoNaTela = true;
        }
        const int valor = painel.ProgressBar1->value();
        if (valor > 0 && valor < painel.ProgressBar1->maximum() && !barraNaTela && NaTela(&painel)) {
            barraNaTela = true;
            Capturar(painel.window()).save(shots + "/gui_download_progress.png");
        }
        if (barraNaTela && !cliquesDuranteOJob && main->Ocupada()) {
            // Everything that starts a job, clicked while one runs.
            QTest::mouseClick(main->Button1, Qt::LeftButton);
            ClicarDownload(*main, kqz::testing::kCnpjMercado);
            cliquesDuranteOJob = true;
        }
    });
    roteiro
        .Quando(
            "the window ready",
            [] { return Janela<TFmMain>("FmMain") && Janela<TFmMain>("FmMain")->Iniciada(); },
            [&] {
                auto* main = Janela<TFmMain>("FmMain");
                main->Panel_Aviso->Label_Aviso->installEventFilter(&pintados);
                main->activateWindow();
            })
        .Quando(
            "the main window active", [] { return Janela<TFmMain>("FmMain")->isActiveWindow(); },
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                main->Edit_Email->setFocus();
                QTest::keyClicks(main->Edit_Email, kqz::testing::kEmail);
                QTest::keyClick(main->Edit_Email, Qt::Key_Tab);
                QTest::mouseClick(main->Button1, Qt::LeftButton);
            })
        .Quando(
            "the companies listed",
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                return !main->Ocupada() && main->ListView_empresa->Items().rowCount() == 3;
            },
            [] { QVERIFY(ClicarDownload(*Janela<TFmMain>("FmMain"), kCnpjLoja)); })
        .Quando(
            "the folder dialog", [] { return Modal<QFileDialog>() != nullptr; },
            [&] {
                ++dialogos;
                auto* dialog = Modal<QFileDialog>();
                inicioDoDialogo = dialog->directory().absolutePath();
                if (auto* box = dialog->findChild<QDialogButtonBox*>()) {
                    botaoCancelar = box->button(QDialogButtonBox::Cancel)->text().remove('&');
                }
                if (auto* label = dialog->findChild<QLabel*>("lookInLabel")) {
                    procurarEm = label->text().remove('&');
                }
                // The path of a folder that exists, typed, then Enter.
                auto* nome = dialog->findChild<QLineEdit*>("fileNameEdit");
                nome->setText(pasta);
                QTest::keyClick(nome, Qt::Key_Return);
            })
        .Quando(
            "the clicks during the download", [&] { return cliquesDuranteOJob; }, [] {})
        .Quando(
            "the end of the report",
            [] {
                auto* box = Modal<QMessageBox>();
                return box != nullptr || Modal<QFileDialog>() != nullptr;
            },
            [&] {
                if (Modal<QFileDialog>() != nullptr) {
                    ++dialogos;
                    Modal<QFileDialog>()->reject();
                    return;
                }
                auto* box = Modal<QMessageBox>();
                mensagens << box->text();
                auto* resumo = Janela<TFmResumo>("FmResumo");
                cabecalho = QString::fromStdString(resumo->Linhas().front());
                QTest::keyClick(box, Qt::Key_Return);
            })
        .Quando(
            "the sequences and the checks beside the report",
            [] { return Modal<TFmResumo>() != nullptr && Janela<TFmResumo>("FmResumo")->AnaliseConcluida(); },
            [&] {
                auto* resumo = Janela<TFmResumo>("FmResumo");
                abas << resumo->Tabs->tabText(0) << resumo->Tabs->tabText(1) << resumo->Tabs->tabText(2);
                sequencia = resumo->MemoSequencia->toPlainText();
                verificacao = resumo->MemoVerificacao->toPlainText();
                planilhaHabilitada = resumo->ButtonPlanilha->isEnabled();
                resumo->Tabs->setCurrentIndex(1);
                Capturar(resumo).save(shots + "/gui_summary_sat.png");
                resumo->Tabs->setCurrentIndex(0);
            })
        .Quando(
            "the summary's Salvar", [] { return Modal<TFmResumo>() != nullptr; },
            [&] {
                auto* resumo = Janela<TFmResumo>("FmResumo");
                Capturar(resumo).save(shots + "/gui_summary.png");
                QTimer::singleShot(100, [&] {
                    if (auto* dialog = Modal<QFileDialog>()) {
                        inicioDoSalvar = dialog->directory().absolutePath();
                        dialog->reject();
                    }
                });
                QTest::mouseClick(resumo->Button2, Qt::LeftButton);
            })
        .Quando(
            "the summary closed", [] { return Modal<TFmResumo>() != nullptr; },
            [&] {
                auto* resumo = Janela<TFmResumo>("FmResumo");
                if (how == "sair") {
                    QTest::mouseClick(resumo->Button1, Qt::LeftButton);
                } else if (how == "escape") {
                    QTest::keyClick(resumo, Qt::Key_Escape);
                } else {
                    resumo->close();
                }
            })
        .Quando(
            "back in the main window",
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                return !Janela<TFmResumo>("FmResumo")->isVisible() && main->isVisible();
            },
            [] {})
        .Quando(
            "the main window still usable",
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                return main->Button1->isEnabled() && main->ListView_empresa->isEnabled();
            },
            [] { Janela<TFmMain>("FmMain")->close(); });

    const int code = roteiro.Executar(context, 30000);
    QCOMPARE(roteiro.Pendente(), QString());
    QCOMPARE(code, 0);
    // The dialogs speak Portuguese and start in the user's Documents folder.
    QCOMPARE(botaoCancelar, QString("Cancelar"));
    QCOMPARE(procurarEm, QString("Procurar em:"));
    QCOMPARE(inicioDoDialogo, documentos);
    // The existing folder got the files; one folder dialog only.
    QCOMPARE(dialogos, 1);
    QVERIFY(cliquesDuranteOJob);
    QCOMPARE(static_cast<int>(QDir(pasta).entryList(QDir::Files).size()), kCuponsDaLoja);
    QCOMPARE(mensagens, QStringList{"Processo concluido !"});
    QCOMPARE(cabecalho, QString("Empresa: 33444555000190 - LOJA GRANDE"));
    QCOMPARE(inicioDoSalvar, pasta);
    // The tabs beside the report: the store's one SAT unit without a gap, and
    // its coupons, signed with the unit's test key, all verified.
    QCOMPARE(abas, (QStringList{"Resumo", QString::fromUtf8("Sequência por SAT"),
                                QString::fromUtf8("Verificação")}));
    QVERIFY2(sequencia.contains("Empresa: 33444555000190"), qPrintable(sequencia));
    QVERIFY2(sequencia.contains("900004019"), qPrintable(sequencia));
    QVERIFY2(verificacao.contains(QString::fromUtf8("Nenhum problema encontrado.")), qPrintable(verificacao));
    QVERIFY(planilhaHabilitada);
    // What the job showed reached the screen.
    QVERIFY2(pintados.textos.count("Aguarde...") == 1, "\"Aguarde...\" was never painted");
    QVERIFY2(pintados.textos.count("Filtrando arquivos - Aguarde...") == 1,
             "\"Filtrando arquivos - Aguarde...\" was never painted");
    QVERIFY2(filtrandoNaTela, "the window was not on the screen during the documents query");
    QVERIFY2(barraNaTela, "the progress bar's count never reached the screen");
}

// "BAIXAR TODAS": one folder dialog, every company into its own folder under
// it, one of them failing (its folder's name is taken by a file), and the
// month's table with the failure marked, saved as a spreadsheet.
void RealDisplay::baixarTodasShowsTheMonthsTable() {
    kqz::app::QtUiServices ui;
    kqz::app::AppContext context(ui);
    context.servidor = url_;
    context.agora = [] { return QDateTime(QDate(2021, 4, 10), QTime(8, 0)); };
    const QString documentos = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir(documentos).removeRecursively();
    QSettings(QStringLiteral("KQZ"), QStringLiteral("kqz-basko")).clear();
    const QString pai = documentos + "/clientes";
    QVERIFY(QDir().mkpath(pai));
    {
        QFile parede(pai + "/" + kqz::testing::kCnpjMercado);
        QVERIFY(parede.open(QIODevice::WriteOnly));
    }
    const QString planilha = pai + "/Empresas_mar21.xlsx";
    const QString shots = QStringLiteral(KQZ_BINARY_DIR "/screenshots");
    QDir().mkpath(shots);

    bool habilitadoAntes = true;
    bool habilitadoDepois = false;
    bool habilitadoNoOutroMes = true;
    bool desabilitadoNoJob = false;
    QString tituloDoDialogo;
    QString inicioDoDialogo;
    QString avisoDaEmpresa;
    QStringList situacoes;
    QStringList falhasMarcadas;
    QString propostaDaPlanilha;
    Roteiro roteiro;
    roteiro.Sempre([&] {
        auto* main = Janela<TFmMain>("FmMain");
        if (main == nullptr || !main->Ocupada() || !main->Panel_Aviso->isVisible()) {
            return;
        }
        const QString texto = main->Panel_Aviso->Label_Aviso->text();
        if (texto.startsWith("Empresa ") && texto.contains("Baixando ")) {
            avisoDaEmpresa = texto;
            desabilitadoNoJob = !main->ButtonTodas->isEnabled() && !main->Button1->isEnabled();
        }
    });
    roteiro
        .Quando(
            "the window ready",
            [] { return Janela<TFmMain>("FmMain") && Janela<TFmMain>("FmMain")->Iniciada(); },
            [] { Janela<TFmMain>("FmMain")->activateWindow(); })
        .Quando(
            "the main window active", [] { return Janela<TFmMain>("FmMain")->isActiveWindow(); },
            [&] {
                auto* main = Janela<TFmMain>("FmMain");
                habilitadoAntes = main->ButtonTodas->isEnabled();
                main->Edit_Email->setFocus();
                QTest::keyClicks(main->Edit_Email, kqz::testing::kEmail);
                QTest::keyClick(main->Edit_Email, Qt::Key_Tab);
                QTest::mouseClick(main->Button1, Qt::LeftButton);
            })
        .Quando(
            "the companies listed",
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                return !main->Ocupada() && main->ListView_empresa->Items().rowCount() == 3;
            },
            [&] {
                auto* main = Janela<TFmMain>("FmMain");
                // Another month needs its own listing first.
                const QDate listado = main->DateEdit1->date();
                main->DateEdit1->setDate(listado.addMonths(1));
                habilitadoNoOutroMes = main->ButtonTodas->isEnabled();
                main->DateEdit1->setDate(listado);
                habilitadoDepois = main->ButtonTodas->isEnabled();
                QTest::mouseClick(main->ButtonTodas, Qt::LeftButton);
            })
        .Quando(
            "the parent folder dialog", [] { return Modal<QFileDialog>() != nullptr; },
            [&] {
                auto* dialog = Modal<QFileDialog>();
                tituloDoDialogo = dialog->windowTitle();
                inicioDoDialogo = dialog->directory().absolutePath();
                auto* nome = dialog->findChild<QLineEdit*>("fileNameEdit");
                nome->setText(pai);
                QTest::keyClick(nome, Qt::Key_Return);
            })
        .Quando(
            "the month's table", [] { return Modal<TFmTodas>() != nullptr; },
            [&] {
                auto* todas = Modal<TFmTodas>();
                QTableWidget* grid = todas->Grid;
                const int ultima = grid->columnCount() - 1;
                for (int r = 0; r < grid->rowCount(); ++r) {
                    situacoes << grid->item(r, 0)->text() + " " + grid->item(r, ultima)->text();
                    if (grid->item(r, 0)->foreground().color() == QColor(0xB0, 0x00, 0x00)) {
                        falhasMarcadas << grid->item(r, 0)->text();
                    }
                }
                Capturar(todas).save(shots + "/gui_months_table.png");
                QTimer::singleShot(100, [&] {
                    if (auto* dialog = Modal<QFileDialog>()) {
                        propostaDaPlanilha = dialog->findChild<QLineEdit*>("fileNameEdit")->text();
                        auto* nome = dialog->findChild<QLineEdit*>("fileNameEdit");
                        nome->setText(planilha);
                        QTest::keyClick(nome, Qt::Key_Return);
                    }
                });
                QTest::mouseClick(todas->ButtonPlanilha, Qt::LeftButton);
            })
        .Quando(
            "the spreadsheet saved", [&] { return Modal<TFmTodas>() != nullptr && QFile::exists(planilha); },
            [] { QTest::mouseClick(Modal<TFmTodas>()->ButtonSair, Qt::LeftButton); })
        .Quando(
            "back in the main window",
            [] {
                auto* main = Janela<TFmMain>("FmMain");
                return Modal<TFmTodas>() == nullptr && main->isVisible() && main->ButtonTodas->isEnabled();
            },
            [] { Janela<TFmMain>("FmMain")->close(); });

    const int code = roteiro.Executar(context, 60000);
    QCOMPARE(roteiro.Pendente(), QString());
    QCOMPARE(code, 0);
    QVERIFY2(!habilitadoAntes, "BAIXAR TODAS was usable before the list was filled");
    QVERIFY(habilitadoDepois);
    QVERIFY2(!habilitadoNoOutroMes, "BAIXAR TODAS was usable for a month the list was not made for");
    QCOMPARE(tituloDoDialogo, QString("Pasta das empresas"));
    QCOMPARE(inicioDoDialogo, documentos);
    QVERIFY2(desabilitadoNoJob, qPrintable("the job controls stayed usable; panel: " + avisoDaEmpresa));
    QVERIFY2(avisoDaEmpresa.contains(": "), qPrintable(avisoDaEmpresa));
    situacoes.sort();
    QCOMPARE(situacoes.size(), 3);
    QCOMPARE(situacoes[0], QString("11222333000181 OK"));
    QVERIFY2(situacoes[1].startsWith("22333444000155 FALHA: "), qPrintable(situacoes[1]));
    QCOMPARE(situacoes[2], QString("33444555000190 OK"));
    QCOMPARE(falhasMarcadas, QStringList{"22333444000155"});
    QCOMPARE(propostaDaPlanilha, QString("Empresas_mar21.xlsx"));
    QVERIFY(QFile::exists(pai + "/11222333000181/Resumo_mar21_11222333000181.txt"));
    QVERIFY(QFile::exists(pai + "/33444555000190/Resumo_mar21_33444555000190.txt"));
    QCOMPARE(static_cast<int>(QDir(pai + "/33444555000190").entryList({"*.XML"}, QDir::Files).size()),
             kCuponsDaLoja);
}

int main(int argc, char** argv) {
    const fs::path dir = fs::temp_directory_path() / ("kqz-gui-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    int result = 1;
    try {
        Xvfb xvfb;
        setenv("DISPLAY", xvfb.Display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        unsetenv("WAYLAND_DISPLAY");
        // The user's Documents folder and settings of this run only.
        setenv("HOME", (dir / "home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        fs::create_directories(dir / "home");
        const std::string db = CriarBanco(dir);
        kqz::testing::ServerProcess server(KQZ_SERVER_BINARY, db, dir);

        QApplication application(argc, argv);
        QApplication::setApplicationName(QStringLiteral("KQZ_BASKO"));
        QLocale::setDefault(kqz::app::AppLocale());
        RealDisplay test(dir, server.Url());
        result = QTest::qExec(&test, argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "test_gui: %s\n", e.what());
    }
    fs::remove_all(dir);
    return result;
}

#include "test_gui.moc"
