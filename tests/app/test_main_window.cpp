#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "app/UnMain.hpp"
#include "app/UnResumo.hpp"
#include "app/empresa_list.hpp"
#include "app/pasta_download.hpp"
#include "app/programa.hpp"
#include "app/start_up.hpp"
#include "app/update/UnAtualizarSistema.hpp"
#include "app/widgets.hpp"
#include "download/todas.hpp"
#include "summary/arquivos.hpp"
#include "summary/cupons_do_mes.hpp"
#include "summary/ler_xml.hpp"
#include "summary/resumo.hpp"
#include "summary/sequencia.hpp"
#include "tests/app/fake_ui.hpp"

using kqz::app::AppContext;
using kqz::app::EmpresaItem;
using kqz::app::TFmMain;
using kqz::app::testing::FakeUi;

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void monthPreset_data();
    void monthPreset();
    void searchBox_data();
    void searchBox();
    void clickReportsTheObjectHit_data();
    void clickReportsTheObjectHit();
    void leavingTheEmailField_data();
    void leavingTheEmailField();
    void sairEndsWithExitCodeZero();
    void titleBarCloseEndsAsSairDoes();
    void badServerAddress_data();
    void badServerAddress();
    void qtDialogsSpeakPortuguese();
    void downloadFolderStartsWhereTheLastOneWent();
    void startUpCreatesTheThreeWindowsHidden();
    void renderMainWindow();
    void summaryTabsSaveAndSpreadsheet();
};

void MainWindowTest::monthPreset_data() {
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QDate>("expected");
    QTest::addColumn<QString>("shown");
    QTest::newRow("january goes to december of the year before")
        << QDate(2021, 1, 15) << QDate(2020, 12, 15) << "dezembro/2020";
    QTest::newRow("31 march, non-leap year") << QDate(2021, 3, 31) << QDate(2021, 2, 28) << "fevereiro/2021";
    QTest::newRow("31 march, leap year") << QDate(2024, 3, 31) << QDate(2024, 2, 29) << "fevereiro/2024";
    QTest::newRow("31 may to 30 april") << QDate(2021, 5, 31) << QDate(2021, 4, 30) << "abril/2021";
    QTest::newRow("first day of a month") << QDate(2021, 12, 1) << QDate(2021, 11, 1) << "novembro/2021";
    QTest::newRow("century leap year") << QDate(2000, 3, 30) << QDate(2000, 2, 29) << "fevereiro/2000";
    QTest::newRow("the longest month name") << QDate(2026, 3, 11) << QDate(2026, 2, 11) << "fevereiro/2026";
}

void MainWindowTest::monthPreset() {
    QFETCH(QDate, today);
    QFETCH(QDate, expected);
    QFETCH(QString, shown);
    FakeUi ui;
    AppContext context(ui);
    context.agora = [today] { return QDateTime(today, QTime(23, 59, 59)); };
    TFmMain window(context);
    window.Panel_Aviso->show();

    window.FormShow();

    QCOMPARE(window.DateEdit1->date(), expected);
    QCOMPARE(window.DateEdit1->text(), shown);
    // The month's name fits the field: nothing of it is cut off.
    const auto* text = window.DateEdit1->findChild<QLineEdit*>();
    // (a line edit keeps 2 px of margin on each side of its text)
    QVERIFY(text->fontMetrics().horizontalAdvance(shown) + 4 <= text->contentsRect().width());
    QVERIFY(window.Panel_Aviso->isHidden());
}

void MainWindowTest::searchBox_data() {
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("visible");
    const QStringList all{"PADARIA SãO JOãO", "MERCADO CENTRAL", "FARMACIA BOA VIDA"};
    QTest::newRow("empty shows everything") << "" << all;
    QTest::newRow("lower case with blanks around it") << "  padaria " << QStringList{"PADARIA SãO JOãO"};
    QTest::newRow("the plural word of the count") << "xmls" << QStringList{"MERCADO CENTRAL"};
    QTest::newRow("singular matches singular and plural")
        << "xml" << QStringList{"PADARIA SãO JOãO", "MERCADO CENTRAL"};
    QTest::newRow("a CNPJ fragment") << "0001-90" << QStringList{"FARMACIA BOA VIDA"};
    QTest::newRow("a caption every item shows") << "empresa:" << all;
    QTest::newRow("nothing matches") << "sorveteria" << QStringList{};
}

void MainWindowTest::searchBox() {
    QFETCH(QString, search);
    QFETCH(QStringList, visible);
    FakeUi ui;
    AppContext context(ui);
    TFmMain window(context);
    auto& items = window.ListView_empresa->Items();
    const EmpresaItem rows[] = {
        {"PADARIA SãO JOãO", "11.222.333/0001-81", "Empresa: ", "CNPJ: ", "1 XML", "Ver detalhes"},
        {"MERCADO CENTRAL", "22.333.444/0001-55", "Empresa: ", "CNPJ: ", "12 XMLs", "Ver detalhes"},
        {"FARMACIA BOA VIDA", "33.444.555/0001-90", "Empresa: ", "CNPJ: ", "", "Ver detalhes"},
    };
    for (const auto& row : rows) {
        items.Item(items.ItemAdd()) = row;
    }

    window.ListView_empresa->SearchBox()->setText(search);

    QStringList shown;
    QAbstractItemModel* view = window.ListView_empresa->View()->model();
    for (int i = 0; i < view->rowCount(); ++i) {
        shown << view->index(i, 0).data().toString();
    }
    QCOMPARE(shown, visible);

    // Clearing the box shows every item again.
    window.ListView_empresa->SearchBox()->clear();
    QCOMPARE(window.ListView_empresa->VisibleCount(), 3);
}

void MainWindowTest::clickReportsTheObjectHit_data() {
    QTest::addColumn<QPoint>("offset");
    QTest::addColumn<QString>("object");
    QTest::newRow("trade name") << QPoint(120, 8) << "Text1";
    QTest::newRow("CNPJ") << QPoint(120, 28) << "Text2";
    QTest::newRow("count") << QPoint(300, 30) << "Text6";
    QTest::newRow("caption") << QPoint(40, 8) << "Text3";
    QTest::newRow("download button") << QPoint(-30, 20) << "TextButton5";
}

void MainWindowTest::clickReportsTheObjectHit() {
    QFETCH(QPoint, offset);
    QFETCH(QString, object);
    FakeUi ui;
    AppContext context(ui);
    context.servidor = "http://127.0.0.1:1";  // nothing listens there
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    TFmMain& window = *janelas.FmMain;
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.Iniciada(), 10000);
    // The start-up version check could not reach the server.
    QCOMPARE(ui.Boxes(), QStringList{"message: Não consegui acessar o servidor na nuvem !"});
    ui.calls.clear();
    auto& items = window.ListView_empresa->Items();
    for (const char* name : {"PRIMEIRA", "SEGUNDA"}) {
        items.Item(items.ItemAdd()) = {name, "1", "Empresa: ", "CNPJ: ", "2 XMLs", "Ver detalhes"};
    }
    QListView* view = window.ListView_empresa->View();
    const QRect second = view->visualRect(view->model()->index(1, 0));
    const QPoint at = offset.x() < 0 ? QPoint(second.right() + 1 + offset.x(), second.top() + offset.y())
                                     : second.topLeft() + offset;
    QSignalSpy spy(window.ListView_empresa, &kqz::app::TListViewEmpresa::ItemClickEx);

    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(1).toString(), object);
    // The item is selected before the event is reported.
    QCOMPARE(window.ListView_empresa->Selected(), 1);
    // Only the Download button starts anything: it asks for the folder (and the
    // fake cancels); a press elsewhere shows nothing.
    const QStringList expected = object == "TextButton5" ? QStringList{"save:  | 1"} : QStringList{};
    QCOMPARE(ui.calls.filter(QRegularExpression("^(save|message|warning|information)")), expected);
}

void MainWindowTest::leavingTheEmailField_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<QStringList>("boxes");
    const QStringList invalid{"message: Email inválido !"};
    QTest::newRow("tab to the next widget") << int(Qt::TabFocusReason) << invalid;
    QTest::newRow("click on another widget") << int(Qt::MouseFocusReason) << invalid;
    // A message box or another window taking the focus does not leave the field.
    QTest::newRow("another window") << int(Qt::ActiveWindowFocusReason) << QStringList{};
    QTest::newRow("a popup") << int(Qt::PopupFocusReason) << QStringList{};
}

void MainWindowTest::leavingTheEmailField() {
    QFETCH(int, reason);
    QFETCH(QStringList, boxes);
    FakeUi ui;
    AppContext context(ui);
    TFmMain window(context);
    window.Edit_Email->setText("x@a.b");

    QFocusEvent focusOut(QEvent::FocusOut, static_cast<Qt::FocusReason>(reason));
    QCoreApplication::sendEvent(window.Edit_Email, &focusOut);

    QCOMPARE(ui.Boxes(), boxes);
    // A rejected address empties the field.
    QCOMPARE(window.Edit_Email->text().isEmpty(), !boxes.isEmpty());
}

void MainWindowTest::sairEndsWithExitCodeZero() {
    FakeUi ui;
    AppContext context(ui);
    TFmMain window(context);
    window.Memo_ListaDeCNPJ->setPlainText("11222333000181\n22333444000155");
    window.documentos.ListView_ArquivosXML.push_back({"CFe1-VD", "10.00", "Arquivo: ", "Valor: "});

    window.CornerButton2Click();

    QVERIFY(window.Memo_ListaDeCNPJ->toPlainText().isEmpty());
    QVERIFY(window.documentos.ListView_ArquivosXML.empty());
    QVERIFY(ui.processMessages >= 1);
    QCOMPARE(ui.calls, (QStringList{"terminate", "halt: 0"}));
    QVERIFY(ui.Boxes().isEmpty());
}

void MainWindowTest::titleBarCloseEndsAsSairDoes() {
    FakeUi ui;
    AppContext context(ui);
    context.servidor = "http://127.0.0.1:1";  // nothing listens there
    TFmMain window(context);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.Iniciada(), 10000);
    ui.calls.clear();
    window.Memo_ListaDeCNPJ->setPlainText("11222333000181");
    window.documentos.ListView_ArquivosXML.push_back({"CFe1-VD", "10.00", "Arquivo: ", "Valor: "});

    QVERIFY(window.close());

    QVERIFY(window.Memo_ListaDeCNPJ->toPlainText().isEmpty());
    QVERIFY(window.documentos.ListView_ArquivosXML.empty());
    // The event loop ends and returns 0; nothing is asked.
    QCOMPARE(ui.calls, QStringList{"terminate"});
}

void MainWindowTest::badServerAddress_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("why");
    QTest::newRow("another protocol") << "ftp://x"
                                      << "o protocolo deve ser http ou https";
    QTest::newRow("port out of range") << "http://servidor:70000"
                                       << "a porta deve ser um número de 1 a 65535";
    QTest::newRow("no host") << "http://:8080"
                             << "falta o nome do servidor";
}

void MainWindowTest::badServerAddress() {
    QFETCH(QString, address);
    QFETCH(QString, why);
    FakeUi ui;
    AppContext context(ui);
    context.servidor = address.toStdString();
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    TFmMain& window = *janelas.FmMain;
    QVERIFY(window.DSRestConnection1.Host != "servidor");

    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.Iniciada(), 10000);

    // The address and the form expected, then the start-up check as for a
    // server that cannot be reached.
    QCOMPARE(ui.Boxes(),
             (QStringList{"message: Endereço do servidor inválido \"" + address + "\": " + why +
                              ".\nUse a forma http://servidor:porta (por exemplo http://localhost:8080).",
                          "message: Não consegui acessar o servidor na nuvem !"}));
    // The window is usable and every remote step reports the server as unreachable.
    QVERIFY(window.isVisible());
    ui.calls.clear();
    window.Edit_Email->setText("contador@exemplo.com.br");
    window.Edit_EmailExit();
    QCOMPARE(ui.Boxes(), QStringList{"message: Não consegui acessar o servidor na nuvem !"});
}

void MainWindowTest::qtDialogsSpeakPortuguese() {
    QVERIFY(kqz::app::InstalarTraducoes());
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Cancelar"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), QString("Procurar em:"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Save As"), QString("Salvar como"));
}

void MainWindowTest::downloadFolderStartsWhereTheLastOneWent() {
    QTemporaryDir config;
    QTemporaryDir home;
    QVERIFY(config.isValid() && home.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QStandardPaths::setTestModeEnabled(true);
    const QString documentos = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QVERIFY(QDir().mkpath(documentos));

    // The first time: the user's Documents folder.
    QCOMPARE(kqz::app::PastaInicialDeDownload(), documentos);

    // Then the folder that holds the last download folder, also in a new run.
    const QString clientes = home.filePath("clientes");
    QVERIFY(QDir().mkpath(clientes));
    kqz::app::LembrarPastaDeDownload(clientes + "/11222333000181");
    QCOMPARE(kqz::app::PastaInicialDeDownload(), clientes);

    // A remembered folder that is gone gives Documents again.
    QVERIFY(QDir(clientes).removeRecursively());
    QCOMPARE(kqz::app::PastaInicialDeDownload(), documentos);
    QStandardPaths::setTestModeEnabled(false);
}

void MainWindowTest::startUpCreatesTheThreeWindowsHidden() {
    FakeUi ui;
    AppContext context(ui);
    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    QVERIFY(janelas.FmMain && janelas.FmAtualizarSistema && janelas.FmResumo);
    QVERIFY(janelas.FmMain->isHidden());
    QVERIFY(janelas.FmAtualizarSistema->isHidden());
    QVERIFY(janelas.FmResumo->isHidden());
    QCOMPARE(janelas.FmMain->windowTitle(), QString("KQZ_BASKO - Download de XMLs SAT de seus Clientes"));
    QCOMPARE(janelas.FmMain->size(), QSize(635, 546));
    QCOMPARE(janelas.FmAtualizarSistema->windowTitle(), QString("Aviso de atualização obrigatória"));
    QCOMPARE(janelas.FmAtualizarSistema->size(), QSize(401, 179));
    QCOMPARE(janelas.FmResumo->windowTitle(), QString("Resumo"));
    QCOMPARE(janelas.FmResumo->size(), QSize(721, 482));
    // The log memo is hidden at start.
    QVERIFY(janelas.FmMain->memo3->isHidden());
    // No title-bar buttons on the main window.
    const Qt::WindowFlags flags = janelas.FmMain->windowFlags();
    QVERIFY(
        !(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
}

void MainWindowTest::renderMainWindow() {
    FakeUi ui;
    AppContext context(ui);
    context.agora = [] { return QDateTime(QDate(2021, 4, 8), QTime(9, 0)); };
    context.servidor = "http://127.0.0.1:1";  // nothing listens there
    TFmMain window(context);
    auto& items = window.ListView_empresa->Items();
    const EmpresaItem rows[] = {
        {"PADARIA SãO JOãO", "11222333000181", "Empresa: ", "CNPJ: ", "1 XML", "Ver detalhes"},
        {"MERCADO CENTRAL", "22333444000155", "Empresa: ", "CNPJ: ", "1234 XMLs", "Ver detalhes"},
        {"FARMACIA BOA VIDA", "33444555000190", "Empresa: ", "CNPJ: ", "", "Ver detalhes"},
    };
    for (const auto& row : rows) {
        items.Item(items.ItemAdd()) = row;
    }
    window.show();
    window.Edit_Email->setText("contador@exemplo.com.br");
    window.ListView_empresa->Select(0);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY_WITH_TIMEOUT(window.Iniciada(), 10000);
    // The progress panel is hidden from the first paint on.
    QVERIFY(window.Panel_Aviso->isHidden());

    const QString dir = QStringLiteral(KQZ_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    // As after a listing: "BAIXAR TODAS" usable.
    window.ButtonTodas->setEnabled(true);
    QVERIFY(window.grab().save(dir + "/main_window.png"));
    window.Panel_Aviso->show();
    window.Panel_Aviso->Label_Aviso->setText("Aguarde...");
    window.Panel_Aviso->ProgressBar1->setValue(40);
    QVERIFY(window.grab().save(dir + "/main_window_progress.png"));
}

// The summary window of the worked example: the report tab as the summary of
// those files, the sequences and the checks beside it once worked out,
// "Salvar" writing the sequences next to the report and "Planilha" the
// workbook.
void MainWindowTest::summaryTabsSaveAndSpreadsheet() {
    FakeUi ui;
    AppContext context(ui);
    context.servidor = "http://127.0.0.1:1";
    TFmMain window(context);
    window.DateEdit1->setDate(QDate(2021, 3, 1));
    kqz::app::TFmResumo resumo(context, window);
    const std::string cnpj = "08723218000186";
    const std::string nome = "MERCADO EXEMPLO";
    const std::vector<std::string> files =
        kqz::summary::ListarArquivosXml({KQZ_TEST_DATA "/summary/exemplo"});
    resumo.LimparRelatorio();
    for (const std::string& linha : kqz::summary::LinhasDeCabecalho(cnpj, nome)) {
        resumo.AdicionarLinha(linha);
    }
    resumo.Label1->setText(QString::fromStdString(cnpj));
    for (const std::string& file : files) {
        kqz::summary::LerXml(resumo.tabelas, file);
    }
    resumo.DefinirArquivos(files, nome);

    resumo.FormShow();
    QTRY_VERIFY_WITH_TIMEOUT(resumo.AnaliseConcluida(), 30000);

    kqz::summary::Empresa empresa;
    empresa.cnpj = cnpj;
    empresa.nome = nome;
    const auto formato = kqz::summary::BrazilianNumberFormat();
    kqz::NoProgress semProgresso;
    QCOMPARE(resumo.Linhas(), kqz::summary::ResumirArquivos(files, empresa, formato, semProgresso));
    const auto sequencia = kqz::summary::LinhasSequencia(
        kqz::summary::CalcularSequencias(kqz::summary::LerCupons(files)), cnpj, nome, formato);
    QStringList esperada;
    for (const std::string& linha : sequencia) {
        esperada << QString::fromStdString(linha);
    }
    QCOMPARE(resumo.MemoSequencia->toPlainText(), esperada.join('\n'));
    QVERIFY(!resumo.MemoVerificacao->toPlainText().isEmpty());
    QCOMPARE(resumo.Tabs->tabText(1), QString::fromUtf8("Sequência por SAT"));
    QVERIFY(resumo.Tabs->tabText(2).startsWith(QString::fromUtf8("Verificação")));
    QVERIFY(resumo.ButtonPlanilha->isEnabled());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ui.saveAnswers = {dir.filePath("Resumo_mar21_08723218000186.txt"), dir.filePath("planilha.xlsx")};
    resumo.Button2Click();
    QFile salva(dir.filePath("Sequencia_mar21_08723218000186.txt"));
    QVERIFY(salva.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(salva.readAll()), esperada.join("\r\n"));
    QVERIFY(QFile::exists(dir.filePath("Resumo_mar21_08723218000186.txt")));
    resumo.ButtonPlanilhaClick();
    QFile planilha(dir.filePath("planilha.xlsx"));
    QVERIFY(planilha.open(QIODevice::ReadOnly));
    QCOMPARE(planilha.read(2), QByteArray("PK"));
    QVERIFY(ui.calls.contains("save: Salvar planilha | Planilha_mar21_08723218000186.xlsx"));
    QCOMPARE(ui.Boxes(), QStringList{"information: Processo concluido !"});

    // "BAIXAR TODAS" saves each summary under the name this window proposes, every month.
    for (int mes = 1; mes <= 12; ++mes) {
        const QDate data(2026, mes, 1);
        QCOMPARE(resumo.NomeProposto(data), QString::fromStdString(kqz::download::NomeArquivoResumo(
                                                kqz::summary::MesAbreviado(2026, mes), cnpj)));
    }
}

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
