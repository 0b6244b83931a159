#include "app/UnMain.hpp"

#include <QCloseEvent>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QStyleOptionButton>
#include <QSvgRenderer>
#include <QTimer>
#include <QWindow>

#include <exception>
#include <set>
#include <thread>

#include "app/UnResumo.hpp"
#include "app/UnTodas.hpp"
#include "app/app_locale.hpp"
#include "app/empresa_list.hpp"
#include "app/pasta_download.hpp"
#include "app/reference_month.hpp"
#include "app/ui_services.hpp"
#include "app/update/UnAtualizarSistema.hpp"
#include "app/update/version_check.hpp"
#include "app/widgets.hpp"
#include "cloud/server_address.hpp"
#include "download/document_file.hpp"
#include "download/empresas.hpp"
#include "download/identificacao.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"
#include "kqz_version.hpp"
#include "summary/resumo.hpp"
#include "summary/sequencia.hpp"

namespace kqz::app {
namespace {

constexpr int kAlturaCabecalho = 65;
constexpr int kAlturaEntrada = 64;
constexpr int kAlturaRodape = 93;
constexpr int kAlturaCorpo = TFmMain::kAltura - kAlturaCabecalho - kAlturaEntrada - kAlturaRodape;

QPixmap Logo(QSize size) {
    QSvgRenderer renderer(QStringLiteral(":/resources/logo.svg"));
    QSize drawn = renderer.defaultSize().scaled(size, Qt::KeepAspectRatio);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter,
                    QRectF(0, (size.height() - drawn.height()) / 2.0, drawn.width(), drawn.height()));
    return pixmap;
}

QLabel* Rotulo(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The server's address; a text that is no address leaves the default, and
// the window tells the user and answers every remote step as unreachable.
cloud::ServerAddress EnderecoDoServidor(const std::string& option) {
    try {
        return cloud::ResolveServerAddress(option);
    } catch (const std::exception&) {
        return {};
    }
}

// Shows the progress panel over the company list with `text`.
void MostrarPainel(TFmMain& main, const std::string& text) {
    main.Panel_Aviso->Label_Aviso->setText(Q(text));
    main.Panel_Aviso->show();
    main.Panel_Aviso->raise();
}

// The company list as the listing fills it.
class VistaDaLista final : public download::VistaDaListagem {
  public:
    VistaDaLista(TFmMain& main, UiServices& ui) : main_(main), ui_(ui) {}
    void MostrarAviso(const std::string& text) override {
        MostrarPainel(main_, text);
        ui_.ProcessMessages();
    }
    void EsconderAviso() override {
        main_.Panel_Aviso->hide();
        ui_.ProcessMessages();
    }
    void IniciarLista() override {
        main_.ListView_empresa->Items().Clear();
        main_.empresasListadas.clear();
        main_.mesDaLista = main_.DateEdit1->date();
        main_.ButtonTodas->setEnabled(false);
        main_.ListView_empresa->setUpdatesEnabled(false);
    }
    void AdicionarEmpresa(const download::EmpresaListada& empresa) override {
        auto& items = main_.ListView_empresa->Items();
        const int index = items.ItemAdd();
        items.Item(index) = {Q(empresa.Text1), Q(empresa.Text2), Q(empresa.Text3),
                             Q(empresa.Text4), Q(empresa.Text6), Q(empresa.Text7)};
        items.Changed(index);
        main_.empresasListadas.push_back(
            {empresa.Text2, std::string(download::Trim(empresa.Text1)), empresa.quantidade});
        main_.ListView_empresa->Select(index);
        ui_.ProcessMessages();
    }
    void ConcluirLista() override {
        main_.ListView_empresa->setUpdatesEnabled(true);
        main_.ListView_empresa->Select(0);
    }
    void DefinirLog(const std::string& text) override { main_.memo3->setPlainText(Q(text)); }
    void AdicionarLog(const std::string& line) override { main_.memo3->appendPlainText(Q(line)); }

  private:
    TFmMain& main_;
    UiServices& ui_;
};

// The per-document text of the download ("Baixando 12/345").
bool TextoPorDocumento(const std::string& text) {
    constexpr std::string_view prefixo = "Baixando ";
    return text.size() > prefixo.size() && text.compare(0, prefixo.size(), prefixo) == 0 &&
           text[prefixo.size()] >= '0' && text[prefixo.size()] <= '9';
}

// The progress panel and log memo as the download reports to them. Each step
// of the job ("Aguarde...", "Filtrando arquivos - Aguarde...") is painted at
// once; the count that moves with each document reaches the panel and lets
// window events run at most every few milliseconds, so that a month of a busy
// store is not slowed down by repainting.
class VistaDoBaixar final : public download::VistaDoDownload, public ProgressSink {
  public:
    VistaDoBaixar(TFmMain& main, UiServices& ui) : main_(main), painel_(*main.Panel_Aviso, ui) {}
    void MostrarAviso(const std::string& text) override {
        if (TextoPorDocumento(text)) {
            painel_.SetText(text);
            painel_.Pump();
            return;
        }
        main_.Panel_Aviso->show();
        main_.Panel_Aviso->raise();
        painel_.SetText(text);
        painel_.Mostrar();
    }
    void EsconderAviso() override { main_.Panel_Aviso->hide(); }
    void LimparLog() override { main_.memo3->clear(); }
    void AdicionarLog(const std::string& line) override { main_.memo3->appendPlainText(Q(line)); }
    void SetText(const std::string& text) override { painel_.SetText(text); }
    void SetMax(double max) override { painel_.SetMax(max); }
    void SetValue(double value) override { painel_.SetValue(value); }
    void Pump() override { painel_.Pump(); }

  private:
    TFmMain& main_;
    ProgressoNoPainel painel_;
};

// The progress panel during "BAIXAR TODAS": the company on the first line, its
// counts on the second; the texts that change per document are painted at
// most every few milliseconds.
class VistaDeTodasNoPainel final : public download::VistaDeTodas, public ProgressSink {
  public:
    VistaDeTodasNoPainel(TFmMain& main, UiServices& ui)
        : main_(main), painel_(*main.Panel_Aviso, ui), original_(main.Panel_Aviso->Label_Aviso->geometry()) {
        QLabel* label = main_.Panel_Aviso->Label_Aviso;
        label->setGeometry(original_.x(), original_.y(), original_.width(), 2 * original_.height() + 6);
        label->setWordWrap(true);
        main_.Panel_Aviso->show();
        main_.Panel_Aviso->raise();
    }
    ~VistaDeTodasNoPainel() override {
        main_.Panel_Aviso->hide();
        main_.Panel_Aviso->Label_Aviso->setWordWrap(false);
        main_.Panel_Aviso->Label_Aviso->setGeometry(original_);
    }
    VistaDeTodasNoPainel(const VistaDeTodasNoPainel&) = delete;
    VistaDeTodasNoPainel& operator=(const VistaDeTodasNoPainel&) = delete;
    void MostrarAviso(const std::string& text, bool porDocumento) override {
        painel_.SetText(text);
        if (porDocumento) {
            painel_.Pump();
        } else {
            painel_.Mostrar();
        }
    }
    void EmpresaConcluida(const summary::LinhaEmpresa& linha) override {
        main_.memo3->appendPlainText(Q(linha.cnpj + ": " + linha.situacao));
    }
    void SetText(const std::string& text) override { painel_.SetText(text); }
    void SetMax(double max) override { painel_.SetMax(max); }
    void SetValue(double value) override { painel_.SetValue(value); }
    void Pump() override { painel_.Pump(); }

  private:
    TFmMain& main_;
    ProgressoNoPainel painel_;
    QRect original_;
};

}  // namespace

// While a job runs, the controls that would start another one are disabled and
// their handlers do nothing.
class Ocupacao {
  public:
    // `desabilitar`: grey the controls out too (a job the user waits for,
    // not the short identification on leaving the e-mail field).
    explicit Ocupacao(TFmMain& main, bool desabilitar = true) : main_(main), desabilitar_(desabilitar) {
        main_.ocupada_ = true;
        for (QWidget* widget : Controles()) {
            widget->setEnabled(false);
        }
    }
    ~Ocupacao() { Liberar(); }
    Ocupacao(const Ocupacao&) = delete;
    Ocupacao& operator=(const Ocupacao&) = delete;
    void Liberar() {
        if (main_.ocupada_) {
            main_.ocupada_ = false;
            for (QWidget* widget : Controles()) {
                widget->setEnabled(true);
            }
            main_.AtualizarBaixarTodas();
            if (main_.fecharDepois_) {
                QTimer::singleShot(0, &main_, &QWidget::close);
            }
        }
    }

  private:
    std::vector<QWidget*> Controles() const {
        if (!desabilitar_) {
            return {};
        }
        return {main_.Button1, main_.ButtonTodas, main_.DateEdit1, main_.ListView_empresa};
    }
    TFmMain& main_;
    bool desabilitar_;
};

WrapButton::WrapButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

void WrapButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
    painter.setPen(palette().buttonText().color());
    painter.drawText(rect().adjusted(4, 2, -4, -2), Qt::AlignCenter | Qt::TextWordWrap, text());
}

TFmMain::TFmMain(AppContext& context)
    : QWidget(nullptr),
      DSRestConnection1(EnderecoDoServidor(context.servidor)),
      context_(context),
      remoto_(DSRestConnection1) {
    setObjectName("FmMain");
    try {
        (void)cloud::ResolveServerAddress(context.servidor);
    } catch (const std::exception& e) {
        QString motivo = Q(e.what());
        motivo[0] = motivo[0].toUpper();
        enderecoInvalido_ = motivo + QStringLiteral(
                                         ".\nUse a forma http://servidor:porta "
                                         "(por exemplo http://localhost:8080).");
    }
    setWindowTitle(QString::fromUtf8(kCaption));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(kLargura, kAltura);
    setLocale(AppLocale());
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    // Header: logo, title, support line, version.
    auto* header = new GradientRect(this);
    header->setObjectName("Rectangle_Cabecalho");
    header->setGeometry(0, 0, kLargura, kAlturaCabecalho);

    Label4 = Titulo(header, "Label4", QStringLiteral("DOWNLOAD DE ARQUIVOS XML"), 5, kLargura);

    Label1 = Rotulo(header, "Label1", QStringLiteral("Suporte: suporte@kqz.com.br"));
    Label1->setGeometry(0, 5 + 17 + 3, kLargura, 17);
    Label1->setFont(Fonte(this, 10));
    Label1->setAlignment(Qt::AlignCenter);

    Label_Versao = Rotulo(header, "Label_Versao", QString::fromUtf8(kVersionLabel));
    Label_Versao->setGeometry(0, 5 + 17 + 3 + 17 + 1, kLargura, 17);
    Label_Versao->setFont(Fonte(this, 10));
    Label_Versao->setAlignment(Qt::AlignCenter);

    // The logo lies over the left end of the header.
    Image_Logo = Rotulo(header, "Image_Logo", QString());
    Image_Logo->setGeometry(3, 3, 150, 62);
    Image_Logo->setPixmap(Logo(QSize(150, 62)));

    // Input band.
    auto* entrada = new QWidget(this);
    entrada->setObjectName("Panel_Entrada");
    entrada->setGeometry(0, kAlturaCabecalho, kLargura, kAlturaEntrada);

    Label2 = Rotulo(entrada, "Label2", QStringLiteral("Informe seu email"));
    Label2->move(4, 9);
    Label2->adjustSize();

    Edit_Email = new QLineEdit(entrada);
    Edit_Email->setObjectName("Edit_Email");
    Edit_Email->setGeometry(4, 28, 291, 22);
    // Every typed letter becomes lower case.
    connect(Edit_Email, &QLineEdit::textEdited, this, [this](const QString& text) {
        const QString lower = AsciiLower(text);
        if (lower != text) {
            const int cursor = Edit_Email->cursorPosition();
            Edit_Email->setText(lower);
            Edit_Email->setCursorPosition(cursor);
        }
    });
    Edit_Email->installEventFilter(this);

    Label3 = Rotulo(entrada, "Label3", QStringLiteral("Mes de referencia"));
    Label3->move(301, 9);
    Label3->adjustSize();

    DateEdit1 = new QDateEdit(entrada);
    DateEdit1->setObjectName("DateEdit1");
    DateEdit1->setGeometry(302, 28, 129, 22);
    DateEdit1->setLocale(AppLocale());
    DateEdit1->setDisplayFormat(QStringLiteral("MMMM/yyyy"));
    // The whole width goes to the text ("novembro/2026" in 14 px bold): the month
    // and the year change with the arrow keys or the mouse wheel on each part.
    DateEdit1->setButtonSymbols(QAbstractSpinBox::NoButtons);
    DateEdit1->setStyleSheet(QStringLiteral(
        "QDateEdit { border: 1px solid #9a9a9a; border-radius: 3px; padding: 0px; background: white; }"));
    DateEdit1->setFont(Fonte(this, 14, true));

    Button1 = new WrapButton(QStringLiteral("MOSTRAR EMPRESAS"), entrada);
    Button1->setObjectName("Button1");
    Button1->setGeometry(kLargura - 10 - 89, 10, 89, kAlturaEntrada - 20);
    Button1->setFont(Fonte(this, 10));
    connect(Button1, &QPushButton::clicked, this, &TFmMain::Button1Click);

    // "BAIXAR TODAS" beside it, the same size; usable once the list is filled.
    ButtonTodas = new WrapButton(QStringLiteral("BAIXAR TODAS"), entrada);
    ButtonTodas->setObjectName("ButtonTodas");
    ButtonTodas->setGeometry(Button1->x() - 6 - 89, 10, 89, kAlturaEntrada - 20);
    ButtonTodas->setFont(Fonte(this, 10));
    ButtonTodas->setEnabled(false);
    connect(ButtonTodas, &QPushButton::clicked, this, &TFmMain::ButtonTodasClick);
    // The counts of the list are of its month: another month needs a new listing.
    connect(DateEdit1, &QDateEdit::dateChanged, this, [this] {
        if (!ocupada_) {
            AtualizarBaixarTodas();
        }
    });

    // Body: the company group box, the list in it, the progress panel over it.
    body_ = new QWidget(this);
    body_->setObjectName("Panel_Corpo");
    body_->setGeometry(0, kAlturaCabecalho + kAlturaEntrada, kLargura, kAlturaCorpo);

    GroupBox_Empresas =
        new QGroupBox(QStringLiteral("Seus Clientes que utilizam o sistema KQZ para emissão do  SAT"), body_);
    GroupBox_Empresas->setObjectName("GroupBox_Empresas");
    GroupBox_Empresas->setGeometry(0, 0, kLargura, kAlturaCorpo);

    ListView_empresa = new TListViewEmpresa(GroupBox_Empresas);
    ListView_empresa->setGeometry(5, 20, kLargura - 10, kAlturaCorpo - 25);
    connect(ListView_empresa, &TListViewEmpresa::ItemClickEx, this,
            [this](int, const QString& itemObject) { ListView_EmpresaItemClickEx(itemObject); });

    Panel_Aviso = new PainelAviso(body_);
    Panel_Aviso->Centralizar(body_->rect());
    Panel_Aviso->hide();

    // Footer.
    auto* footer = new GradientRect(this);
    footer->setObjectName("Rectangle_Rodape");
    footer->setGeometry(0, kAltura - kAlturaRodape, kLargura, kAlturaRodape);

    Label_ID = Rotulo(footer, "Label_ID", QString::number(kBuildNumber));
    Label_ID->setGeometry(0, kAlturaRodape - 17, kLargura, 17);
    Label_ID->setFont(Fonte(this, 10));

    memo3 = new QPlainTextEdit(footer);
    memo3->setObjectName("memo3");
    memo3->setGeometry(5, 3, 446, kAlturaRodape - 17 - 3 - 6);
    QFont courier(QStringLiteral("Courier New"));
    courier.setStyleHint(QFont::TypeWriter);
    courier.setFixedPitch(true);
    courier.setPixelSize(8 * 4 / 3);
    memo3->setFont(courier);
    memo3->setReadOnly(true);
    memo3->setLineWrapMode(QPlainTextEdit::NoWrap);
    AplicarSombra(memo3, 3, 45, 0.5, 0.4);
    memo3->hide();

    CornerButton2 = new QPushButton(QStringLiteral("Sair"), footer);
    CornerButton2->setObjectName("CornerButton2");
    CornerButton2->setGeometry(541, 52, 80, 25);
    CornerButton2->setStyleSheet(
        QStringLiteral("QPushButton { border: 1px solid #8a8a8a; border-radius: 3px; background: #f4f4f4; }"
                       "QPushButton:pressed { background: #dcdcdc; }"));
    AplicarSombra(CornerButton2, 2, 45, 0.4, 0.4);
    connect(CornerButton2, &QPushButton::clicked, this, &TFmMain::CornerButton2Click);

    // Widgets the user never sees.
    Memo_ListaDeCNPJ = new QPlainTextEdit(this);
    Memo_ListaDeCNPJ->setObjectName("Memo_ListaDeCNPJ");
    Memo_ListaDeCNPJ->hide();

    CornerButton1 = new QPushButton(QStringLiteral("Arquivos"), this);
    CornerButton1->setObjectName("CornerButton1");
    CornerButton1->setGeometry(kLargura + 20, 200, 80, 25);
    CornerButton1->hide();
    connect(CornerButton1, &QPushButton::clicked, this, &TFmMain::CornerButton1Click);
}

TFmMain::~TFmMain() = default;

void TFmMain::Ligar(TFmAtualizarSistema* atualizar, TFmResumo* resumo) {
    FmAtualizarSistema_ = atualizar;
    FmResumo_ = resumo;
}

void TFmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shown_) {
        shown_ = true;
        if (const QScreen* screen = this->screen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
        // Messages and the update notice come from the window the user sees:
        // wait until it is on the screen.
        QTimer::singleShot(0, this, [this] { IniciarQuandoExposta(0); });
    }
}

void TFmMain::IniciarQuandoExposta(int tentativas) {
    const QWindow* janela = windowHandle();
    if (isVisible() && janela != nullptr && !janela->isExposed() && tentativas < 250) {
        QTimer::singleShot(20, this, [this, tentativas] { IniciarQuandoExposta(tentativas + 1); });
        return;
    }
    FormShow();
    iniciada_ = true;
}

void TFmMain::FormShow() {
    DateEdit1->setDate(MesAnterior(context_.agora().date()));
    if (!enderecoInvalido_.isEmpty()) {
        context_.ui.ShowMessage(this, enderecoInvalido_);
    }
    try {
        Panel_Aviso->hide();
        VerificarVersao();
    } catch (...) {
        context_.ui.ShowMessage(this, QStringLiteral("Não consegui acessar o servidor na nuvem !"));
    }
}

bool TFmMain::SelectMemTable(const std::string& _Sintaxe, cloud::MemTable& Sender) {
    if (!enderecoInvalido_.isEmpty()) {
        return false;
    }
    // The answer is awaited off the window's thread: the window stays painted
    // while it comes. The user's clicks and keys wait until it is there, and
    // then find the controls of the running job disabled.
    bool loaded = false;
    QEventLoop espera;
    std::thread consulta([&] {
        loaded = consulta_.SelectMemTable(_Sintaxe, Sender);
        QMetaObject::invokeMethod(&espera, &QEventLoop::quit, Qt::QueuedConnection);
    });
    espera.exec(QEventLoop::ExcludeUserInputEvents);
    consulta.join();
    return loaded;
}

std::unique_ptr<download::RespostaGrande> TFmMain::SelectStream(const std::string& _Sintaxe) {
    if (!enderecoInvalido_.isEmpty()) {
        return nullptr;
    }
    // Received off the window's thread like any answer; its rows are then
    // read on this thread by the download, which paints its progress.
    std::unique_ptr<download::RespostaGrande> resposta;
    QEventLoop espera;
    std::thread consulta([&] {
        resposta = consulta_.SelectStream(_Sintaxe);
        QMetaObject::invokeMethod(&espera, &QEventLoop::quit, Qt::QueuedConnection);
    });
    espera.exec(QEventLoop::ExcludeUserInputEvents);
    consulta.join();
    return resposta;
}

void TFmMain::ExecuteSQL(const std::string& _Sintaxe) {
    remoto_.ExecuteSQL(_Sintaxe);
}

std::string TFmMain::MesReferencia() const {
    const QDate date = DateEdit1->date();
    return download::MesAnoTexto(date.year(), date.month());
}

void TFmMain::VerificarVersao() {
    bool carregada = false;
    {
        // A close meanwhile waits until the table is loaded.
        Ocupacao ocupacao(*this, false);
        carregada = SelectMemTable(download::ConsultaVersao(), mem_ArquivosXML);
    }
    if (!carregada) {
        throw std::runtime_error(enderecoInvalido_.isEmpty() ? remoto_.LastError()
                                                             : enderecoInvalido_.toStdString());
    }
    const auto oferta = VersaoMaisNova(mem_ArquivosXML, Label_ID->text().toStdString());
    if (!oferta) {
        return;
    }
    FmAtualizarSistema_->Label_Link->setText(Q(oferta->link));
    FmAtualizarSistema_->Label_VersaoDisponivel->setText(Q(oferta->descricao));
    FmAtualizarSistema_->Label_VersaoATual->setText(Label_Versao->text());
    FmAtualizarSistema_->exec();
}

bool TFmMain::eventFilter(QObject* watched, QEvent* event) {
    // The field is left when the focus moves to another widget of this window;
    // a message box or another window taking the focus is no exit.
    if (watched == Edit_Email && event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            Edit_EmailExit();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFmMain::Edit_EmailExit() {
    if (ocupada_) {
        return;
    }
    Ocupacao ocupacao(*this, false);
    download::Identificacao resultado;
    try {
        resultado = download::Identificar(Edit_Email->text().toStdString(), *this, memTable_Usuarios);
    } catch (const std::exception& e) {
        context_.ui.ShowMessage(this, Q(e.what()));
        return;
    }
    ocupacao.Liberar();
    if (resultado.ignorada) {
        return;
    }
    if (resultado.mensagem) {
        context_.ui.ShowMessage(this, Q(*resultado.mensagem));
    }
    if (resultado.limparCampo) {
        Edit_Email->clear();
        Edit_Email->setFocus();
    }
    if (resultado.cnpjs) {
        QStringList linhas;
        for (const std::string& cnpj : *resultado.cnpjs) {
            linhas << Q(cnpj);
        }
        Memo_ListaDeCNPJ->setPlainText(linhas.join(QLatin1Char('\n')));
    }
    if (resultado.mostrarLog) {
        memo3->setVisible(*resultado.mostrarLog);
    }
}

void TFmMain::Button1Click() {
    if (ocupada_) {
        return;
    }
    Ocupacao ocupacao(*this);
    std::vector<std::string> cnpjs;
    const QString lista = Memo_ListaDeCNPJ->toPlainText();
    if (!lista.isEmpty()) {
        for (const QString& linha : lista.split(QLatin1Char('\n'))) {
            cnpjs.push_back(linha.toStdString());
        }
    }
    VistaDaLista vista(*this, context_.ui);
    ProgressoNoPainel progresso(*Panel_Aviso, context_.ui);
    try {
        const download::Listagem listagem =
            download::ListarEmpresas(Edit_Email->text().toStdString(), cnpjs, MesReferencia(), *this,
                                     memTable_Empresas, mem_ArquivosXML, vista, progresso);
        if (!listagem.ok()) {
            context_.ui.ShowMessage(this, Q(listagem.mensagem));
        }
    } catch (const std::exception& e) {
        Panel_Aviso->hide();
        context_.ui.ShowMessage(this, Q(e.what()));
    }
}

void TFmMain::AtualizarBaixarTodas() {
    const QDate mes = DateEdit1->date();
    ButtonTodas->setEnabled(!empresasListadas.empty() && mes.year() == mesDaLista.year() &&
                            mes.month() == mesDaLista.month());
}

void TFmMain::ButtonTodasClick() {
    if (ocupada_ || empresasListadas.empty()) {
        return;
    }
    Ocupacao ocupacao(*this);
    const auto pasta =
        context_.ui.ParentFolder(this, QStringLiteral("Pasta das empresas"), PastaInicialDeDownload());
    if (!pasta) {
        return;
    }
    LembrarPastaDeDownload(*pasta);

    const QDate referencia = DateEdit1->date();
    download::OpcoesDeTodas opcoes;
    opcoes.mes = MesReferencia();
    opcoes.mmmaa = summary::MesAbreviado(referencia.year(), referencia.month());
    const QLocale locale = AppLocale();
    opcoes.formato = {locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString()};
    opcoes.detalheDaFalha = [this] { return remoto_.LastError(); };
    const std::vector<download::EmpresaDoMes> empresas = empresasListadas;
    download::ResultadoDoMes resultado;
    {
        VistaDeTodasNoPainel vista(*this, context_.ui);
        resultado = download::BaixarTodas(empresas, pasta->toStdString(), opcoes, *this, vista, vista);
    }
    ocupacao.Liberar();
    if (FmTodas == nullptr) {
        FmTodas = new TFmTodas(context_, this);
    }
    FmTodas->Mostrar(resultado.linhas, Q(opcoes.mmmaa), *pasta);
    FmTodas->exec();
}

void TFmMain::CornerButton1Click() {
    const int selecionado = ListView_empresa->Selected();
    if (selecionado < 0) {
        return;
    }
    const std::string cnpj = ListView_empresa->Items().Item(selecionado).Text2.toStdString();
    download::ListarDocumentos(cnpj, MesReferencia(), *this, mem_ArquivosXML, documentos);
}

void TFmMain::ListView_EmpresaItemClickEx(const QString& itemObject) {
    // A click while a job runs starts nothing and leaves its panel alone.
    if (ocupada_) {
        return;
    }
    struct FimComum {
        TFmMain& main;
        ~FimComum() {
            main.Panel_Aviso->hide();
            main.context_.ui.ProcessMessages();
        }
    } fim{*this};

    if (itemObject != QLatin1String("TextButton5")) {
        return;
    }
    Ocupacao ocupacao(*this);
    Panel_Aviso->ProgressBar1->setValue(0);
    const int selecionado = ListView_empresa->Selected();
    if (selecionado < 0) {
        return;
    }
    const EmpresaItem item = ListView_empresa->Items().Item(selecionado);
    if (item.Text6.trimmed().isEmpty()) {
        context_.ui.Warning(this, QString::fromUtf8(download::kNaoExisteArquivo));
        return;
    }

    // The summary window, prepared for this company.
    TFmResumo& resumo = *FmResumo_;
    resumo.LimparRelatorio();
    resumo.AdicionarLinha("Empresa: " + item.Text2.toStdString() + " - " +
                          item.Text1.trimmed().toStdString());
    resumo.Label1->setText(item.Text2);
    resumo.AdicionarLinha("");
    resumo.tabelas.Empty();

    const auto pasta = context_.ui.DownloadFolder(this, PastaInicialDeDownload(), item.Text2);
    if (!pasta) {
        return;
    }
    LembrarPastaDeDownload(*pasta);
    resumo.DefinirPasta(*pasta);

    VistaDoBaixar vista(*this, context_.ui);
    download::Download download;
    try {
        download =
            download::BaixarDocumentos(item.Text2.toStdString(), MesReferencia(), pasta->toStdString(), *this,
                                       mem_ArquivosXML, documentos, resumo.tabelas, vista, vista);
    } catch (const std::exception& e) {
        Panel_Aviso->hide();
        context_.ui.ShowMessage(this, Q(e.what()));
        return;
    }
    if (!download.ok()) {
        if (download.mensagem == download::kFalhaNoServidor) {
            context_.ui.ShowMessage(this, Q(download.mensagem));
        } else {
            context_.ui.Warning(this, Q(download.mensagem));
        }
        return;
    }
    Panel_Aviso->hide();
    ocupacao.Liberar();
    {
        std::vector<std::string> arquivos;
        std::set<std::string> vistos;
        for (const download::ItemArquivoXml& documento : documentos.ListView_ArquivosXML) {
            std::string path = download::CaminhoDoDocumento(pasta->toStdString(), documento.Text1).string();
            if (vistos.insert(path).second) {
                arquivos.push_back(std::move(path));
            }
        }
        resumo.DefinirArquivos(std::move(arquivos), item.Text1.trimmed().toStdString());
    }
    resumo.exec();
}

void TFmMain::Limpar() {
    Memo_ListaDeCNPJ->clear();
    documentos.ListView_ArquivosXML.clear();
    memTable_Empresas.Close();
    mem_ArquivosXML.Close();
}

void TFmMain::CornerButton2Click() {
    try {
        Limpar();
        context_.ui.ProcessMessages();
        context_.ui.Terminate();
        context_.ui.Halt(0);
    } catch (...) {
        close();
    }
}

void TFmMain::closeEvent(QCloseEvent* event) {
    // A job under way works on the tables: the window closes when it is over.
    if (ocupada_) {
        fecharDepois_ = true;
        event->ignore();
        return;
    }
    // The title bar's close ends the program as "Sair" does.
    try {
        Limpar();
    } catch (...) {
    }
    FormClose();
    event->accept();
    context_.ui.Terminate();
}

void TFmMain::FormClose() {
    remoto_.LiberarClientREST();
}

}  // namespace kqz::app
