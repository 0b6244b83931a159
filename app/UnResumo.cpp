#include "app/UnResumo.hpp"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <QDateEdit>
#include <exception>

#include "app/UnMain.hpp"
#include "app/app_locale.hpp"
#include "app/ui_services.hpp"
#include "app/widgets.hpp"
#include "summary/numbers.hpp"
#include "summary/resumo.hpp"
#include "summary/salvar.hpp"

namespace kqz::app {

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
    Button2 = new QPushButton(QStringLiteral("Salvar"), Panel1);
    Button2->setObjectName("Button2");
    Button1 = new QPushButton(QStringLiteral("Sair"), Panel1);
    Button1->setObjectName("Button1");
    for (QPushButton* button : {Button2, Button1}) {
        button->setFixedSize(72, 23);
        barra->addSpacing(5);
        barra->addWidget(button);
        barra->addSpacing(5);
    }
    layout->addWidget(Panel1);

    Memo2 = new QPlainTextEdit(this);
    Memo2->setObjectName("Memo2");
    Memo2->setReadOnly(true);
    Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo2->setFont(FonteDoRelatorio(font()));
    layout->addWidget(Memo2);

    Panel_Aviso = new PainelAviso(this);
    Panel_Aviso->hide();

    connect(Button1, &QPushButton::clicked, this, &TFmResumo::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFmResumo::Button2Click);
}

TFmResumo::~TFmResumo() = default;

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
    Panel_Aviso->Centralizar(Memo2->geometry());
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
    } catch (const std::exception& e) {
        context_.ui.ShowMessage(this, QString::fromStdString(e.what()));
    }
}

void TFmResumo::Button1Click() {
    accept();
}

void TFmResumo::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Panel_Aviso->Centralizar(Memo2->geometry());
}

}  // namespace kqz::app
