#pragma once

#include <QDate>
#include <QPushButton>
#include <QWidget>
#include <string>
#include <vector>

#include "app/app_context.hpp"
#include "cloud/mem_table.hpp"
#include "cloud/remote_query.hpp"
#include "cloud/rest_connection.hpp"
#include "download/documentos.hpp"
#include "download/remote.hpp"
#include "download/sessao.hpp"
#include "download/todas.hpp"

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
class TFmTodas;
class TListViewEmpresa;

// A push button whose caption wraps onto several lines.
class WrapButton : public QPushButton {
    Q_OBJECT
  public:
    WrapButton(const QString& text, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The main window: e-mail, reference month, company list, download and exit.
class TFmMain : public QWidget, public download::ConsultaRemota {
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
    void Edit_EmailExit();
    void Button1Click();
    // "BAIXAR TODAS": every listed company of the month, each into its own
    // folder under one parent folder, then the month's table.
    void ButtonTodasClick();
    void ListView_EmpresaItemClickEx(const QString& itemObject);
    void CornerButton1Click();
    void CornerButton2Click();

    // The remote query helper: every remote access goes through these.
    // SelectMemTable reports no failure but its answer (false: `Sender` was
    // left as it was).
    bool SelectMemTable(const std::string& _Sintaxe, cloud::MemTable& Sender) override;
    // The same for the documents of a month, read row by row by the download.
    std::unique_ptr<download::RespostaGrande> SelectStream(const std::string& _Sintaxe) override;
    void ExecuteSQL(const std::string& _Sintaxe);
    cloud::RemoteQuery& RemoteQuery() { return remoto_; }

    // The reference month as the server stores it ("yyMM").
    std::string MesReferencia() const;

    // Whether the show event's work (month preset, version check) has run.
    bool Iniciada() const { return iniciada_; }
    // Whether a job (identification, listing, download) is under way; the
    // controls that start another one are disabled meanwhile.
    bool Ocupada() const { return ocupada_; }
    // Why the server address could not be used; empty when it is valid.
    const QString& EnderecoInvalido() const { return enderecoInvalido_; }

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
    QPushButton* ButtonTodas;
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
    download::ListaDeDocumentos documentos;                // ListView_ArquivosXML and Memo1
    std::vector<download::EmpresaDoMes> empresasListadas;  // what the list shows, for "BAIXAR TODAS"
    QDate mesDaLista;                                      // the month the list was made for
    // "BAIXAR TODAS" is usable when the list holds companies of the month shown.
    void AtualizarBaixarTodas();
    TFmTodas* FmTodas = nullptr;
    // Non-visual
    cloud::RestConnection DSRestConnection1;
    cloud::MemTable memTable_Empresas{"memTable_Empresas"};
    cloud::MemTable mem_ArquivosXML{"mem_ArquivosXML"};
    cloud::MemTable memTable_Usuarios{"memTable_Usuarios"};

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    friend class Ocupacao;
    // The start-up version check; a failure is reported by FormShow.
    void VerificarVersao();
    // Runs FormShow once the window is on the screen.
    void IniciarQuandoExposta(int tentativas);
    // Sair's clearing of the lists and tables.
    void Limpar();

    AppContext& context_;
    cloud::RemoteQuery remoto_;
    download::ConsultaComSessao consulta_{remoto_};
    QString enderecoInvalido_;
    TFmAtualizarSistema* FmAtualizarSistema_ = nullptr;
    TFmResumo* FmResumo_ = nullptr;
    QWidget* body_ = nullptr;
    bool shown_ = false;
    bool iniciada_ = false;
    bool ocupada_ = false;
    bool fecharDepois_ = false;  // the window was closed while a job ran
};

}  // namespace kqz::app
