#pragma once

#include <QDialog>

#include "app/app_context.hpp"

class QLabel;
class QPushButton;

namespace kqz::app {

class TFmMain;

// The mandatory-update notice. Both of its buttons end the program; it has no
// close button.
class TFmAtualizarSistema : public QDialog {
    Q_OBJECT
  public:
    static constexpr const char* kCaption = "Aviso de atualização obrigatória";

    TFmAtualizarSistema(AppContext& context, TFmMain& main);

    // "CLIQUE AQUI PARA BAIXAR NOVA VERSÃO": tells the user, opens the link, ends.
    void Button1Click();
    // "Sair": ends the program.
    void Button2Click();

    QLabel* Label4;
    QLabel* Label_VersaoATual;
    QLabel* Label_VersaoDisponivel;
    QPushButton* Button1;
    QLabel* Label_Link;
    QPushButton* Button2;

    // Escape and the window manager's close end the program too: an outdated
    // build is not used while the server offers a newer one.
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Fechar();

    AppContext& context_;
    TFmMain& main_;
};

}  // namespace kqz::app
