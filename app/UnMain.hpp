#pragma once

#include <QPushButton>
#include <QWidget>
#include <string>
#include <vector>

#include "app/app_context.hpp"

class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace kqz::app {

class GradientRect;
class PainelAviso;
class TFmAtualizarSistema;
class TFmResumo;
class TListViewEmpresa;

// A push button whose caption wraps onto several lines.
class WrapButton : public QPushButton {
    Q_OBJECT
public:
    WrapButton(const QString& text, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One entry of the hidden document list.
struct ItemArquivoXml {
    std::string Text1;  // AD_NUMERO
    std::string Text2;  // AD_VALOR
    std::string Text3;  // "Arquivo: "
    std::string Text4;  // "Valor: "
};

// The main window: e-mail, reference month, company list, download and exit.
class TFmMain : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "KQZ_BASKO - Download de XMLs SAT de seus Clientes";
    static constexpr int kLargura = 635;
    static constexpr int kAltura = 546;

    explicit TFmMain(AppContext& context);
    ~TFmMain() override;

    // The other two windows, created right after this one.
    void Ligar(TFmAtualizarSistema* atualizar, TFmResumo* resumo);

    // Event handlers.
    void FormShow();
    void FormClose();
    void CornerButton2Click();

    // Header
    QLabel* Image_Logo;
    QLabel* Label4;
    QLabel* Label1;
    QLabel* Label_Versao;
    // Input band
    QLabel* Label2;
    QLineEdit* Edit_Email;
    QLabel* Label3;
    QDateEdit* DateEdit1;
    QPushButton* Button1;
    // Body
    QGroupBox* GroupBox_Empresas;
    TListViewEmpresa* ListView_empresa;
    PainelAviso* Panel_Aviso;
    // Footer
    QPlainTextEdit* memo3;
    QPushButton* CornerButton2;
    QLabel* Label_ID;
    // Never shown
    QPlainTextEdit* Memo_ListaDeCNPJ;
    QPushButton* CornerButton1;
    std::vector<ItemArquivoXml> ListView_ArquivosXML;
    std::string Memo1;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The start-up version check; a failure is reported by FormShow.
    void VerificarVersao();

    AppContext& context_;
    TFmAtualizarSistema* FmAtualizarSistema_ = nullptr;
    TFmResumo* FmResumo_ = nullptr;
    QWidget* body_ = nullptr;
    bool shown_ = false;
};

}  // namespace kqz::app
