#include "app/UnResumo.hpp"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/UnMain.hpp"
#include "app/ui_services.hpp"
#include "app/widgets.hpp"

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

    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

TFmResumo::~TFmResumo() = default;

void TFmResumo::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    move(main_.geometry().center() - rect().center());
}

void TFmResumo::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Panel_Aviso->Centralizar(Memo2->geometry());
}

}  // namespace kqz::app
