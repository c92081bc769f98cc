#pragma once

#include "platform/Dialogs.h"
#include "platform/Shell.h"

#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace testing_support {

// A message box as the operator saw it.
struct ShownBox {
    QString prompt;
    int style;
    QString title; // as shown: the program's title when the call named none
};

// Message boxes answered from a script: each box takes the next scripted answer (OK when the
// script has run out) and is recorded; an answer may act first (start a service, say).
class ScriptedDialogs final : public platform::Dialogs {
public:
    void answer(int reply, std::function<void()> before = {}) {
        m_script.push_back({reply, std::move(before)});
    }
    int MsgBox(const QString& prompt, int style, const QString& title) override {
        shown.push_back({prompt, style, title.isEmpty() ? platform::ProgramTitle : title});
        if (m_script.empty())
            return (style & 0x7) == platform::msgbox::RetryCancel ? platform::msgbox::Cancel
                                                                  : platform::msgbox::OK;
        auto [reply, before] = std::move(m_script.front());
        m_script.pop_front();
        if (before)
            before();
        return reply;
    }
    // The folder browser: each call takes the next scripted folder ("" = cancelled, also when the
    // script has run out) and records the title it was shown with.
    void folder(QString path) { m_folders.push_back(std::move(path)); }
    QString BrowseFolder(const QString& title) override {
        browsed.push_back(title);
        if (m_folders.empty())
            return {};
        QString path = std::move(m_folders.front());
        m_folders.pop_front();
        return path;
    }
    std::vector<ShownBox> shown;
    std::vector<QString> browsed;

private:
    std::deque<QString> m_folders;
    std::deque<std::pair<int, std::function<void()>>> m_script;
};

// Records that the program ended instead of ending the test.
class RecordedEnd final : public platform::ProgramEnd {
public:
    void End() override { ++ends; }
    int ends = 0;
};

// Records what the program handed to the shell instead of opening it.
class RecordedShell final : public platform::Shell {
public:
    struct Call {
        QString operation, file, parameters, directory;
        int showCmd;
    };
    void ShellExecute(const QString& operation, const QString& file, const QString& parameters,
                      const QString& directory, int showCmd) override {
        calls.push_back({operation, file, parameters, directory, showCmd});
    }
    std::vector<Call> calls;
};

} // namespace testing_support
