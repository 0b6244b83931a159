#pragma once

#include <QDialog>
#include <vector>

#include "app/app_context.hpp"
#include "summary/planilha.hpp"

class QLabel;
class QPushButton;
class QTableWidget;

namespace kqz::app {

// The month's table after "BAIXAR TODAS": one row per company, the failures
// marked, "Planilha" and "Sair".
class TFmTodas : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kCaption = "Empresas do mês";

    TFmTodas(AppContext& context, QWidget* parent);
    ~TFmTodas() override;

    // Shows the rows of a run; `pasta` is where "Planilha" starts.
    void Mostrar(const std::vector<summary::LinhaEmpresa>& linhas, const QString& mmmaa,
                 const QString& pasta);

    // "Planilha": proposes "Empresas_" + mmmaa + ".xlsx" (or .csv) and writes the table there.
    void ButtonPlanilhaClick();

    QLabel* Label1;
    QPushButton* ButtonPlanilha;
    QPushButton* ButtonSair;
    QTableWidget* Grid;

  private:
    AppContext& context_;
    summary::Tabela tabela_;
    QString mmmaa_;
    QString pasta_;
};

}  // namespace kqz::app
