#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>

#include "app/ui_services.hpp"

namespace kqz::app::testing {

// A scripted UiServices: records every call as a line ("warning: texto",
// "save: proposto", "open: link", "halt: 0", ...) and answers save dialogs from
// a queue the test fills (an empty text, or an empty queue, is a cancel).
class FakeUi final : public UiServices {
  public:
    QStringList calls;
    std::deque<QString> saveAnswers;
    int processMessages = 0;
    // Runs where the real thing would let window events run (a click arriving then).
    std::function<void()> onProcessMessages;

    void ShowMessage(QWidget*, const QString& text) override { calls << "message: " + text; }
    void Warning(QWidget*, const QString& text) override { calls << "warning: " + text; }
    void Information(QWidget*, const QString& text) override { calls << "information: " + text; }
    QStringList folders;  // the folder each save or folder dialog started in

    std::optional<QString> SaveFileName(QWidget*, const QString& title, const QString& fileName,
                                        const QString& folder) override {
        folders << folder;
        return Answer("save: " + title + " | " + fileName);
    }
    std::optional<QString> DownloadFolder(QWidget*, const QString& folder, const QString& name) override {
        folders << folder;
        return Answer("save:  | " + name);
    }
    std::optional<QString> ParentFolder(QWidget*, const QString& title, const QString& folder) override {
        folders << folder;
        return Answer("folder: " + title);
    }
    std::optional<QString> Answer(const QString& call) {
        calls << call;
        if (saveAnswers.empty()) {
            return std::nullopt;
        }
        const QString answer = saveAnswers.front();
        saveAnswers.pop_front();
        if (answer.isEmpty()) {
            return std::nullopt;
        }
        return answer;
    }
    void ShellOpen(const QString& target) override { calls << "open: " + target; }
    void ProcessMessages() override {
        ++processMessages;
        if (onProcessMessages) {
            onProcessMessages();
        }
    }
    void Terminate() override { calls << QStringLiteral("terminate"); }
    void Halt(int exitCode) override { calls << QStringLiteral("halt: %1").arg(exitCode); }

    // The calls that are boxes (message, warning, information), in order.
    QStringList Boxes() const {
        QStringList boxes;
        for (const QString& call : calls) {
            if (call.startsWith("message: ") || call.startsWith("warning: ") ||
                call.startsWith("information: ")) {
                boxes << call;
            }
        }
        return boxes;
    }
};

}  // namespace kqz::app::testing
