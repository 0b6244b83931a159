#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "app/app_context.hpp"
#include "summary/tables.hpp"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kqz::app {

class PainelAviso;
class TFmMain;

// The summary of a download: the fixed-width report, "Salvar" and "Sair".
class TFmResumo : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kCaption = "Resumo";

    TFmResumo(AppContext& context, TFmMain& main);
    ~TFmResumo() override;

    // Composes the report below the lines Memo2 holds and tells the user when
    // it is done. Runs each time the window is shown.
    void FormShow();
    // "Salvar": proposes "Resumo_" + month + year + "_" + Label1 + ".txt" and
    // writes the report there.
    void Button2Click();
    // "Sair".
    void Button1Click();

    // The report's lines, as Memo2 shows them.
    const std::vector<std::string>& Linhas() const { return linhas_; }
    void LimparRelatorio();
    void AdicionarLinha(const std::string& line);

    // The proposed file name of the saved report for the month of `date`.
    QString NomeProposto(QDate date) const;

    // The folder of the download the report is about; "Salvar" starts there.
    void DefinirPasta(const QString& pasta) { pasta_ = pasta; }

    // The document and CFOP item tables the reader fills.
    summary::SummaryTables tabelas;

    QWidget* Panel1;
    QLabel* Label1;
    QPushButton* Button1;  // "Sair"
    QPushButton* Button2;  // "Salvar"
    QPlainTextEdit* Memo2;
    PainelAviso* Panel_Aviso;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void MostrarLinhas();

    AppContext& context_;
    TFmMain& main_;
    std::vector<std::string> linhas_;
    QString pasta_;
};

// The font of the report: Courier New, or the system's fixed-pitch font.
QFont FonteDoRelatorio(const QFont& base);

}  // namespace kqz::app
