#include "app/ui_services.hpp"

#include <unistd.h>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>
#include <cstdio>

namespace kqz::app {
namespace {

void Box(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
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
                                                  const QString& fileName) {
    const QString chosen = QFileDialog::getSaveFileName(parent, title, fileName);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
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
