#include "app/ui_services.hpp"

#include <unistd.h>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>
#include <cstdio>

namespace kqz::app {
namespace {

void Box(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

// A save dialog that takes a folder that exists as the choice: typing its name
// and confirming does not open it.
class DialogoDePasta final : public QFileDialog {
  public:
    using QFileDialog::QFileDialog;
    void accept() override {
        const QStringList chosen = selectedFiles();
        if (chosen.size() == 1 && QFileInfo(chosen.first()).isDir()) {
            // Past QFileDialog's own accept, which would open the folder.
            QDialog::accept();  // NOLINT(bugprone-parent-virtual-call)
            return;
        }
        QFileDialog::accept();
    }
};

QString Juntar(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : QDir(folder).filePath(name);
}

}  // namespace

void QtUiServices::ShowMessage(QWidget* parent, const QString& text) {
    Box(parent, QMessageBox::NoIcon, text);
}

void QtUiServices::Warning(QWidget* parent, const QString& text) {
    Box(parent, QMessageBox::Warning, text);
}

void QtUiServices::Information(QWidget* parent, const QString& text) {
    Box(parent, QMessageBox::Information, text);
}

std::optional<QString> QtUiServices::SaveFileName(QWidget* parent, const QString& title,
                                                  const QString& fileName, const QString& folder) {
    const QString chosen = QFileDialog::getSaveFileName(parent, title, Juntar(folder, fileName));
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
}

std::optional<QString> QtUiServices::DownloadFolder(QWidget* parent, const QString& folder,
                                                    const QString& name) {
    DialogoDePasta dialog(parent, QString(), folder);
    dialog.setObjectName("SaveDialog1");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first();
}

std::optional<QString> QtUiServices::ParentFolder(QWidget* parent, const QString& title,
                                                  const QString& folder) {
    QFileDialog dialog(parent, title, folder);
    dialog.setObjectName("PastaDasEmpresas");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first();
}

void QtUiServices::ShellOpen(const QString& target) {
    QDesktopServices::openUrl(QUrl::fromUserInput(target, QDir::currentPath(), QUrl::AssumeLocalFile));
}

void QtUiServices::ProcessMessages() {
    QCoreApplication::processEvents();
}

void QtUiServices::Terminate() {
    QCoreApplication::quit();
}

void QtUiServices::Halt(int exitCode) {
    std::fflush(nullptr);
    ::_exit(exitCode);
}

}  // namespace kqz::app
