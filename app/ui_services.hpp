#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kqz::app {

// Everything a window asks of the desktop besides drawing: message boxes, the
// save dialog, the shell's "open", and ending the program. Windows receive one
// instance; tests pass a scripted fake that records every call.
class UiServices {
  public:
    virtual ~UiServices() = default;

    // The three kinds of box: a plain message, a warning and an information box,
    // each with one OK button. They return when the user closes the box.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
    virtual void Warning(QWidget* parent, const QString& text) = 0;
    virtual void Information(QWidget* parent, const QString& text) = 0;

    // A save-file dialog that starts in `folder` (the platform's choice when
    // empty) preset with `fileName`; the chosen path, or nothing when the user
    // cancels.
    virtual std::optional<QString> SaveFileName(QWidget* parent, const QString& title,
                                                const QString& fileName, const QString& folder) = 0;

    // The download's folder dialog: a save-file dialog with no title of its
    // own that starts in `folder` preset with `name`; a folder that exists is
    // accepted as the choice instead of being opened. The chosen path, or
    // nothing when the user cancels.
    virtual std::optional<QString> DownloadFolder(QWidget* parent, const QString& folder,
                                                  const QString& name) = 0;

    // A folder dialog titled `title` that starts in `folder`: the chosen
    // folder, or nothing when the user cancels.
    virtual std::optional<QString> ParentFolder(QWidget* parent, const QString& title,
                                                const QString& folder) = 0;

    // Hands `target` (a link or a path) to the desktop's "open"; the outcome is not
    // looked at.
    virtual void ShellOpen(const QString& target) = 0;

    // Lets pending window events run once.
    virtual void ProcessMessages() = 0;

    // Tells the application to end its event loop.
    virtual void Terminate() = 0;

    // Ends the process at once with `exitCode`.
    virtual void Halt(int exitCode) = 0;
};

// The real thing: QMessageBox, QFileDialog, QDesktopServices.
class QtUiServices final : public UiServices {
  public:
    void ShowMessage(QWidget* parent, const QString& text) override;
    void Warning(QWidget* parent, const QString& text) override;
    void Information(QWidget* parent, const QString& text) override;
    std::optional<QString> SaveFileName(QWidget* parent, const QString& title, const QString& fileName,
                                        const QString& folder) override;
    std::optional<QString> DownloadFolder(QWidget* parent, const QString& folder,
                                          const QString& name) override;
    std::optional<QString> ParentFolder(QWidget* parent, const QString& title,
                                        const QString& folder) override;
    void ShellOpen(const QString& target) override;
    void ProcessMessages() override;
    void Terminate() override;
    void Halt(int exitCode) override;
};

}  // namespace kqz::app
