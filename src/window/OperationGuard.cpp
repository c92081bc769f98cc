#include "window/OperationGuard.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace window {

namespace {

// What the operator does with the keyboard, the mouse, a pen or a finger.
bool isInput(QEvent::Type type) {
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}

// Menus, drop-down lists and tool tips are windows of their own that belong to their owner.
bool isPopup(const QWidget* w) {
    return w->windowType() == Qt::Popup || w->windowType() == Qt::ToolTip;
}

} // namespace

BusyWindow::BusyWindow(QWidget* window) : m_window(window) {
    if (!m_window)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    qApp->installEventFilter(this);
}

BusyWindow::~BusyWindow() {
    if (!m_window)
        return;
    qApp->removeEventFilter(this);
    for (; m_arrowCursors > 0; --m_arrowCursors)
        QApplication::restoreOverrideCursor();
    QApplication::restoreOverrideCursor();
}

bool BusyWindow::partOfWindow(const QObject* object) const {
    for (const QObject* o = object; o; o = o->parent()) {
        if (o == m_window)
            return true;
        if (const auto* w = qobject_cast<const QWidget*>(o); w && w->isWindow() && !isPopup(w))
            return false; // a dialog over the window
    }
    return false;
}

bool BusyWindow::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::Show || type == QEvent::Hide) {
        // A dialog the operation opens is answered with the normal cursor.
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && w->isWindow() && !isPopup(w) && !partOfWindow(w)) {
            if (type == QEvent::Show && !m_dialogs.contains(w)) {
                m_dialogs << w;
                QApplication::setOverrideCursor(Qt::ArrowCursor);
                ++m_arrowCursors;
            } else if (type == QEvent::Hide && m_dialogs.removeOne(w)) {
                QApplication::restoreOverrideCursor();
                --m_arrowCursors;
            }
        }
        return false;
    }
    // The window's close box is input too; a close by the program goes through.
    const bool closeBox = type == QEvent::Close && event->spontaneous();
    if (!(isInput(type) || closeBox) || !(watched->isWidgetType() || qobject_cast<QAction*>(watched)) ||
        !partOfWindow(watched))
        return false;
    event->ignore(); // a close stays refused
    return true;
}

} // namespace window
