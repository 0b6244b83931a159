#pragma once

#include <QDialog>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_context.hpp"
#include "summary/cupom.hpp"
#include "summary/sequencia.hpp"
#include "summary/tables.hpp"
#include "summary/verificacao.hpp"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace kqz::app {

class PainelAviso;
class TFmMain;

// The summary of a download: the fixed-width report, the sequences per SAT
// unit and the checks of the coupons in tabs beside it, "Planilha", "Salvar"
// and "Sair". The sequences and the checks are worked out on a thread of
// their own while the report is composed, and shown when they are ready.
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
    // "Planilha": proposes "Planilha_" + month + year + "_" + Label1 + ".xlsx"
    // and writes the month's sheets there (.csv: the documents' sheet).
    void ButtonPlanilhaClick();

    // The files of the download and the company's name: what the tabs beside
    // the report are worked out from.
    void DefinirArquivos(std::vector<std::string> arquivos, std::string nome);
    // Whether the sequences and the checks of the last FormShow are shown.
    bool AnaliseConcluida() const { return analise_.has_value(); }

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
    QPushButton* ButtonPlanilha;
    QTabWidget* Tabs;
    QPlainTextEdit* Memo2;            // the report
    QPlainTextEdit* MemoSequencia;    // "Sequência por SAT"
    QPlainTextEdit* MemoVerificacao;  // "Verificação"
    PainelAviso* Panel_Aviso;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Closing the window stops the work beside the report (nobody will see it).
    void done(int result) override;

  private:
    // What the thread beside the report works out.
    struct Analise {
        std::vector<summary::Cupom> cupons;
        summary::Sequencias sequencias;
        std::vector<std::string> linhasSequencia;
        summary::Verificacao verificacao;
        std::vector<std::string> linhasVerificacao;
    };
    void MostrarLinhas();
    void IniciarAnalise();
    void PararAnalise();
    void MostrarAnalise(unsigned geracao, std::shared_ptr<Analise> analise, const QString& erro);

    AppContext& context_;
    TFmMain& main_;
    std::vector<std::string> linhas_;
    QString pasta_;
    std::vector<std::string> arquivos_;
    std::string nome_;
    std::thread analisador_;
    std::atomic<bool> cancelar_{false};
    unsigned geracao_ = 0;
    std::optional<Analise> analise_;
};

// The font of the report: Courier New, or the system's fixed-pitch font.
QFont FonteDoRelatorio(const QFont& base);

}  // namespace kqz::app
