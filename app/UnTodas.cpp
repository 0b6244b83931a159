#include "app/UnTodas.hpp"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

#include "app/app_locale.hpp"
#include "app/ui_services.hpp"
#include "download/todas.hpp"

namespace kqz::app {
namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QString TextoDaCelula(const summary::Celula& celula, const QLocale& locale) {
    using Tipo = summary::Celula::Tipo;
    switch (celula.tipo) {
        case Tipo::kVazia:
            return {};
        case Tipo::kTexto:
        case Tipo::kData:
            return Q(celula.texto);
        case Tipo::kValor:
            return locale.toString(celula.numero, 'f', 2);
        case Tipo::kNumeroCfe:
        case Tipo::kInteiro:
            return locale.toString(static_cast<qlonglong>(celula.numero));
    }
    return {};
}

}  // namespace

TFmTodas::TFmTodas(AppContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName("FmTodas");
    setWindowTitle(QString::fromUtf8(kCaption));
    resize(1000, 300);
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* barra = new QWidget(this);
    barra->setObjectName("Panel1");
    barra->setFixedHeight(33);
    auto* linha = new QHBoxLayout(barra);
    linha->setContentsMargins(5, 0, 0, 0);
    linha->setSpacing(0);
    Label1 = new QLabel(barra);
    Label1->setObjectName("Label1");
    linha->addWidget(Label1);
    linha->addStretch();
    ButtonPlanilha = new QPushButton(QStringLiteral("Planilha"), barra);
    ButtonPlanilha->setObjectName("ButtonPlanilha");
    ButtonSair = new QPushButton(QStringLiteral("Sair"), barra);
    ButtonSair->setObjectName("ButtonSair");
    for (QPushButton* button : {ButtonPlanilha, ButtonSair}) {
        button->setFixedSize(72, 23);
        linha->addSpacing(5);
        linha->addWidget(button);
        linha->addSpacing(5);
    }
    layout->addWidget(barra);

    Grid = new QTableWidget(this);
    Grid->setObjectName("Grid");
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid->verticalHeader()->hide();
    Grid->setWordWrap(false);
    Grid->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(Grid);

    connect(ButtonPlanilha, &QPushButton::clicked, this, &TFmTodas::ButtonPlanilhaClick);
    connect(ButtonSair, &QPushButton::clicked, this, &QDialog::accept);
}

TFmTodas::~TFmTodas() = default;

void TFmTodas::Mostrar(const std::vector<summary::LinhaEmpresa>& linhas, const QString& mmmaa,
                       const QString& pasta) {
    mmmaa_ = mmmaa;
    pasta_ = pasta;
    tabela_ = summary::TabelaEmpresas(linhas);
    std::size_t falhas = 0;
    for (const summary::LinhaEmpresa& linha : linhas) {
        falhas += download::Falhou(linha) ? 1U : 0U;
    }
    Label1->setText(falhas == 0
                        ? QStringLiteral("%1 empresa(s)").arg(linhas.size())
                        : QStringLiteral("%1 empresa(s), %2 com falha").arg(linhas.size()).arg(falhas));

    const QLocale locale = AppLocale();
    Grid->clear();
    Grid->setColumnCount(static_cast<int>(tabela_.cabecalho.size()));
    QStringList cabecalho;
    for (const std::string& titulo : tabela_.cabecalho) {
        cabecalho << Q(titulo);
    }
    Grid->setHorizontalHeaderLabels(cabecalho);
    Grid->setRowCount(static_cast<int>(tabela_.linhas.size()));
    for (std::size_t r = 0; r < tabela_.linhas.size(); ++r) {
        const bool falhou = r < linhas.size() && download::Falhou(linhas[r]);
        const auto& celulas = tabela_.linhas[r];
        for (std::size_t c = 0; c < celulas.size(); ++c) {
            auto* item = new QTableWidgetItem(TextoDaCelula(celulas[c], locale));
            using Tipo = summary::Celula::Tipo;
            if (celulas[c].tipo == Tipo::kValor || celulas[c].tipo == Tipo::kInteiro ||
                celulas[c].tipo == Tipo::kNumeroCfe) {
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            if (falhou) {
                item->setForeground(QColor(0xB0, 0x00, 0x00));
                item->setBackground(QColor(0xFF, 0xE4, 0xE1));
            }
            Grid->setItem(static_cast<int>(r), static_cast<int>(c), item);
        }
    }
    Grid->resizeColumnsToContents();
    // A long failure stays readable in its tooltip; the column keeps to a width that shows its start.
    const int situacao = Grid->columnCount() - 1;
    if (situacao >= 0) {
        for (int r = 0; r < Grid->rowCount(); ++r) {
            if (QTableWidgetItem* item = Grid->item(r, situacao)) {
                item->setToolTip(item->text());
            }
        }
        Grid->setColumnWidth(situacao, std::min(Grid->columnWidth(situacao), 220));
    }
}

void TFmTodas::ButtonPlanilhaClick() {
    const auto path =
        context_.ui.SaveFileName(this, QStringLiteral("Salvar planilha"),
                                 QStringLiteral("Empresas_") + mmmaa_ + QStringLiteral(".xlsx"), pasta_);
    if (!path) {
        return;
    }
    try {
        if (path->endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
            summary::SalvarCsv(path->toStdString(), tabela_);
        } else {
            summary::SalvarXlsx(path->toStdString(), {tabela_});
        }
    } catch (const std::exception& e) {
        context_.ui.ShowMessage(this, Q(e.what()));
    }
}

}  // namespace kqz::app
