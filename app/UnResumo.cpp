#include "app/UnResumo.hpp"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include <QDateEdit>
#include <exception>
#include <filesystem>

#include "app/UnMain.hpp"
#include "app/app_locale.hpp"
#include "app/ui_services.hpp"
#include "app/widgets.hpp"
#include "summary/cupons_do_mes.hpp"
#include "summary/numbers.hpp"
#include "summary/planilha.hpp"
#include "summary/resumo.hpp"
#include "summary/salvar.hpp"

namespace kqz::app {
namespace {

// The thread beside the report gives up when the window asks it to.
struct Cancelado {};

class ProgressoCancelavel final : public ProgressSink {
  public:
    explicit ProgressoCancelavel(const std::atomic<bool>& cancelar) : cancelar_(cancelar) {}
    void SetText(const std::string&) override {}
    void SetMax(double) override {}
    void SetValue(double) override {}
    void Pump() override {
        if (cancelar_) {
            throw Cancelado{};
        }
    }

  private:
    const std::atomic<bool>& cancelar_;
};

QString Juntar(const std::vector<std::string>& linhas) {
    QString text;
    for (std::size_t i = 0; i < linhas.size(); ++i) {
        if (i > 0) {
            text += QLatin1Char('\n');
        }
        text += QString::fromStdString(linhas[i]);
    }
    return text;
}

summary::NumberFormat FormatoDoUsuario() {
    const QLocale locale = AppLocale();
    return {locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString()};
}

QPlainTextEdit* Texto(QWidget* parent, const char* name, const QFont& font) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(name);
    memo->setReadOnly(true);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setFont(font);
    return memo;
}

}  // namespace

QFont FonteDoRelatorio(const QFont& base) {
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(base.pointSizeF());
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSizeF(base.pointSizeF());
    }
    return font;
}

TFmResumo::TFmResumo(AppContext& context, TFmMain& main) : QDialog(nullptr), context_(context), main_(main) {
    setObjectName("FmResumo");
    setWindowTitle(QString::fromUtf8(kCaption));
    resize(721, 482);
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(33);
    auto* barra = new QHBoxLayout(Panel1);
    barra->setContentsMargins(5, 0, 0, 0);
    barra->setSpacing(0);
    Label1 = new QLabel(Panel1);
    Label1->setObjectName("Label1");
    barra->addWidget(Label1);
    barra->addStretch();
    ButtonPlanilha = new QPushButton(QStringLiteral("Planilha"), Panel1);
    ButtonPlanilha->setObjectName("ButtonPlanilha");
    ButtonPlanilha->setEnabled(false);
    Button2 = new QPushButton(QStringLiteral("Salvar"), Panel1);
    Button2->setObjectName("Button2");
    Button1 = new QPushButton(QStringLiteral("Sair"), Panel1);
    Button1->setObjectName("Button1");
    for (QPushButton* button : {ButtonPlanilha, Button2, Button1}) {
        button->setFixedSize(72, 23);
        barra->addSpacing(5);
        barra->addWidget(button);
        barra->addSpacing(5);
    }
    layout->addWidget(Panel1);

    Tabs = new QTabWidget(this);
    Tabs->setObjectName("Tabs");
    Tabs->setDocumentMode(true);
    const QFont fonte = FonteDoRelatorio(font());
    Memo2 = Texto(Tabs, "Memo2", fonte);
    MemoSequencia = Texto(Tabs, "MemoSequencia", fonte);
    MemoVerificacao = Texto(Tabs, "MemoVerificacao", fonte);
    Tabs->addTab(Memo2, QStringLiteral("Resumo"));
    Tabs->addTab(MemoSequencia, QStringLiteral("Sequência por SAT"));
    Tabs->addTab(MemoVerificacao, QStringLiteral("Verificação"));
    layout->addWidget(Tabs);

    Panel_Aviso = new PainelAviso(this);
    Panel_Aviso->hide();

    connect(Button1, &QPushButton::clicked, this, &TFmResumo::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFmResumo::Button2Click);
    connect(ButtonPlanilha, &QPushButton::clicked, this, &TFmResumo::ButtonPlanilhaClick);
}

TFmResumo::~TFmResumo() {
    PararAnalise();
}

void TFmResumo::DefinirArquivos(std::vector<std::string> arquivos, std::string nome) {
    arquivos_ = std::move(arquivos);
    nome_ = std::move(nome);
}

void TFmResumo::PararAnalise() {
    if (analisador_.joinable()) {
        cancelar_ = true;
        analisador_.join();
    }
    cancelar_ = false;
}

void TFmResumo::IniciarAnalise() {
    PararAnalise();
    analise_.reset();
    ButtonPlanilha->setEnabled(false);
    MemoSequencia->setPlainText(QStringLiteral("Aguarde..."));
    MemoVerificacao->setPlainText(QStringLiteral("Aguarde..."));
    const unsigned geracao = ++geracao_;
    analisador_ = std::thread([this, geracao, arquivos = arquivos_, cnpj = Label1->text().toStdString(),
                               nome = nome_, formato = FormatoDoUsuario()] {
        auto analise = std::make_shared<Analise>();
        QString erro;
        try {
            ProgressoCancelavel progresso(cancelar_);
            analise->cupons = summary::LerCupons(arquivos, progresso);
            analise->sequencias = summary::CalcularSequencias(analise->cupons);
            analise->linhasSequencia = summary::LinhasSequencia(analise->sequencias, cnpj, nome, formato);
            summary::OpcoesVerificacao opcoes;
            opcoes.cnpj = cnpj;
            analise->verificacao = summary::VerificarArquivos(arquivos, opcoes, progresso);
            analise->linhasVerificacao = summary::LinhasVerificacao(analise->verificacao, cnpj, nome);
        } catch (const Cancelado&) {
            return;
        } catch (const std::exception& e) {
            erro = QString::fromStdString(e.what());
        }
        QMetaObject::invokeMethod(
            this, [this, geracao, analise, erro] { MostrarAnalise(geracao, analise, erro); },
            Qt::QueuedConnection);
    });
}

void TFmResumo::MostrarAnalise(unsigned geracao, std::shared_ptr<Analise> analise, const QString& erro) {
    if (geracao != geracao_) {
        return;
    }
    if (!erro.isEmpty()) {
        MemoSequencia->setPlainText(erro);
        MemoVerificacao->setPlainText(erro);
        return;
    }
    MemoSequencia->setPlainText(Juntar(analise->linhasSequencia));
    MemoVerificacao->setPlainText(Juntar(analise->linhasVerificacao));
    Tabs->setTabText(2, analise->verificacao.problemas.empty()
                            ? QStringLiteral("Verificação")
                            : QStringLiteral("Verificação (%1)").arg(analise->verificacao.problemas.size()));
    analise_ = std::move(*analise);
    ButtonPlanilha->setEnabled(true);
}

void TFmResumo::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    move(main_.geometry().center() - rect().center());
    if (!event->spontaneous()) {
        // Let the window appear before the report is composed under its eyes.
        QMetaObject::invokeMethod(this, &TFmResumo::FormShow, Qt::QueuedConnection);
    }
}

void TFmResumo::LimparRelatorio() {
    linhas_.clear();
    Memo2->clear();
}

void TFmResumo::AdicionarLinha(const std::string& line) {
    linhas_.push_back(line);
    Memo2->appendPlainText(QString::fromStdString(line));
}

void TFmResumo::MostrarLinhas() {
    QString text;
    for (std::size_t i = 0; i < linhas_.size(); ++i) {
        if (i > 0) {
            text += QLatin1Char('\n');
        }
        text += QString::fromStdString(linhas_[i]);
    }
    Memo2->setPlainText(text);
}

void TFmResumo::FormShow() {
    // The sequences and the checks are worked out beside the report.
    Tabs->setCurrentIndex(0);
    Tabs->setTabText(2, QStringLiteral("Verificação"));
    IniciarAnalise();
    Panel_Aviso->Centralizar(Tabs->geometry());
    Panel_Aviso->show();
    Panel_Aviso->raise();
    const QLocale locale = AppLocale();
    const summary::NumberFormat format{locale.decimalPoint().toStdString(),
                                       locale.groupSeparator().toStdString()};
    ProgressoNoPainel progresso(*Panel_Aviso, context_.ui);
    try {
        summary::ComporResumo(tabelas, linhas_, format, progresso);
    } catch (const std::exception& e) {
        // What was composed stays; the panel stays up as the report stopped there.
        MostrarLinhas();
        context_.ui.ShowMessage(this, QString::fromStdString(e.what()));
        return;
    }
    MostrarLinhas();
    Memo2->setFocus();
    Panel_Aviso->hide();
    context_.ui.Information(this,
                            QString::fromUtf8(summary::kProcessoConcluido.data(),
                                              static_cast<qsizetype>(summary::kProcessoConcluido.size())));
}

QString TFmResumo::NomeProposto(QDate date) const {
    QString month = AppLocale().monthName(date.month(), QLocale::ShortFormat);
    while (month.endsWith(QLatin1Char('.'))) {
        month.chop(1);
    }
    return QStringLiteral("Resumo_") + month + date.toString(QStringLiteral("yy")) + QLatin1Char('_') +
           Label1->text() + QStringLiteral(".txt");
}

void TFmResumo::Button2Click() {
    const auto path = context_.ui.SaveFileName(this, QStringLiteral("Salvar resumo"),
                                               NomeProposto(main_.DateEdit1->date()), pasta_);
    if (!path) {
        return;
    }
    try {
        summary::SalvarResumo(path->toStdString(), linhas_);
        // The sequences per SAT unit beside it, under the name of the same month.
        std::vector<std::string> sequencia;
        if (analise_) {
            sequencia = analise_->linhasSequencia;
        } else {
            const auto cupons = summary::LerCupons(arquivos_);
            sequencia = summary::LinhasSequencia(summary::CalcularSequencias(cupons),
                                                 Label1->text().toStdString(), nome_, FormatoDoUsuario());
        }
        const QDate date = main_.DateEdit1->date();
        const std::string mmmaa = summary::MesAbreviado(date.year(), date.month());
        const std::filesystem::path pasta = std::filesystem::path(path->toStdString()).parent_path();
        summary::SalvarResumo(
            (pasta / summary::NomeArquivoSequencia(mmmaa, Label1->text().toStdString())).string(), sequencia);
    } catch (const std::exception& e) {
        context_.ui.ShowMessage(this, QString::fromStdString(e.what()));
    }
}

void TFmResumo::ButtonPlanilhaClick() {
    if (!analise_) {
        return;
    }
    const QDate date = main_.DateEdit1->date();
    const QString nome = QStringLiteral("Planilha_") +
                         QString::fromStdString(summary::MesAbreviado(date.year(), date.month())) +
                         QLatin1Char('_') + Label1->text() + QStringLiteral(".xlsx");
    const auto path = context_.ui.SaveFileName(this, QStringLiteral("Salvar planilha"), nome, pasta_);
    if (!path) {
        return;
    }
    try {
        const auto folhas =
            summary::TabelasDoMes(analise_->cupons, analise_->sequencias, &analise_->verificacao);
        if (path->endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
            summary::SalvarCsv(path->toStdString(), folhas.front());
        } else {
            summary::SalvarXlsx(path->toStdString(), folhas);
        }
    } catch (const std::exception& e) {
        context_.ui.ShowMessage(this, QString::fromStdString(e.what()));
    }
}

void TFmResumo::Button1Click() {
    accept();
}

void TFmResumo::done(int result) {
    PararAnalise();
    QDialog::done(result);
}

void TFmResumo::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Panel_Aviso->Centralizar(Tabs->geometry());
}

}  // namespace kqz::app
