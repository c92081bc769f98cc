#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

namespace window {

// While an operation runs, the window takes no input from the operator: keys, clicks, the wheel,
// pasting, the menus and their shortcuts, closing. Such input is dropped, not kept for later. The
// window keeps painting and shows the busy cursor; changes the program makes still run their
// reactions, and the dialogs the operation opens take the operator's answers as usual (with the
// normal cursor).
class BusyWindow final : public QObject {
public:
    // No window: nothing is held off.
    explicit BusyWindow(QWidget* window);
    ~BusyWindow() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether the object is part of the window: its widgets, menus, popups and actions, but not
    // the dialogs opened over it.
    bool partOfWindow(const QObject* object) const;
    QWidget* m_window;
    QList<QPointer<QWidget>> m_dialogs; // shown meanwhile, each with the normal cursor
    int m_arrowCursors = 0;
};

} // namespace window

// One operation at a time: while an action handler runs, its waits included, no other action
// handler starts, and the window takes no input from the operator (see BusyWindow).
class OperationGuard {
public:
    // The window whose input is held off while an action runs.
    void attach(QWidget* window) { m_window = window; }

    // Runs the action unless another one is running; false when it was refused.
    template <typename F> bool run(const char* name, F&& action) {
        if (m_current) {
            ++m_refused;
            return false;
        }
        m_current = name;
        struct Reset {
            const char*& current;
            ~Reset() { current = nullptr; }
        } reset{m_current};
        window::BusyWindow busy(m_window);
        action();
        return true;
    }
    const char* current() const { return m_current; }
    int refused() const { return m_refused; }

private:
    QWidget* m_window = nullptr;
    const char* m_current = nullptr;
    int m_refused = 0;
};
