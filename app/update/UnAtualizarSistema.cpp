#include "app/update/UnAtualizarSistema.hpp"

#include <QLabel>
#include <QPushButton>

#include "app/UnMain.hpp"
#include "app/ui_services.hpp"
#include "app/widgets.hpp"

namespace kqz::app {
namespace {

// A centred 10 px line of the notice, the full width, 17 high.
QLabel* Faixa(QWidget* parent, const char* name, const QString& text, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(0, y, 401, 17);
    label->setFont(Fonte(parent, 10));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

}  // namespace

TFmAtualizarSistema::TFmAtualizarSistema(AppContext& context, TFmMain& main)
    : QDialog(nullptr), context_(context), main_(main) {
    setObjectName("FmAtualizarSistema");
    setWindowTitle(QString::fromUtf8(kCaption));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(401, 179);
    setModal(true);

    auto* fundo = new GradientRect(this);
    fundo->setObjectName("Rectangle1");
    fundo->setGeometry(0, 0, 401, 179);

    Label4 = Titulo(fundo, "Label4", QStringLiteral("NOVA VERSÃO DISPONIVEL"), 5, 401);
    Label_VersaoATual = Faixa(fundo, "Label_VersaoATual", QStringLiteral("VERSÃO:  1.0.0"), 5 + 17 + 1);
    Label_VersaoDisponivel =
        Faixa(fundo, "Label_VersaoDisponivel", QStringLiteral("VERSÃO:  1.0.0"), 5 + 17 + 1 + 17 + 1);

    Button1 = new QPushButton(QStringLiteral("CLIQUE AQUI PARA BAIXAR NOVA VERSÃO"), fundo);
    Button1->setObjectName("Button1");
    Button1->setGeometry(10, 5 + 17 + 1 + 17 + 1 + 17 + 20, 381, 22);
    Button1->setFont(Fonte(this, 10));
    AplicarSombra(Button1, 2, 45, 0.4, 0.4);
    connect(Button1, &QPushButton::clicked, this, &TFmAtualizarSistema::Button1Click);

    Label_Link = new QLabel(QStringLiteral("www"), this);
    Label_Link->setObjectName("Label_Link");
    Label_Link->setGeometry(0, 112, 393, 17);
    Label_Link->setAlignment(Qt::AlignCenter);
    QFont link = Label_Link->font();
    link.setUnderline(true);
    Label_Link->setFont(link);
    Label_Link->setStyleSheet(QStringLiteral("color: blue;"));

    Button2 = new QPushButton(QStringLiteral("Sair"), this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(160, 152, 80, 22);
    connect(Button2, &QPushButton::clicked, this, &TFmAtualizarSistema::Button2Click);
}

void TFmAtualizarSistema::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    move(main_.geometry().center() - rect().center());
}

void TFmAtualizarSistema::Button1Click() {
    context_.ui.Information(this,
                            QStringLiteral("O sistema será fechado e o download será iniciado.") + QChar(13) +
                                QStringLiteral("Quando terminar o download, descompacte o arquivo baixado "
                                               "e execute o KQZ_TREVON.exe"));
    context_.ui.ShellOpen(Label_Link->text());
    Fechar();
}

void TFmAtualizarSistema::Button2Click() {
    Fechar();
}

void TFmAtualizarSistema::reject() {
    Fechar();
}

void TFmAtualizarSistema::Fechar() {
    // Closing the main window ends the program, and with it this modal loop.
    main_.close();
    done(QDialog::Rejected);
}

}  // namespace kqz::app
