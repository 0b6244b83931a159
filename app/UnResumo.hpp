#pragma once

#include <QDialog>

#include "app/app_context.hpp"

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
    AppContext& context_;
    TFmMain& main_;
};

// The font of the report: Courier New, or the system's fixed-pitch font.
QFont FonteDoRelatorio(const QFont& base);

}  // namespace kqz::app
