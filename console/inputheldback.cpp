#include "inputheldback.h"

#include "eventloop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QWindow>

namespace {

bool isControlInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

} // namespace

InputHeldBack::InputHeldBack(QWidget *window) : m_window(window)
{
    QCoreApplication::instance()->installEventFilter(this);
}

InputHeldBack::~InputHeldBack()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

void InputHeldBack::holdPress(std::function<void()> press)
{
    m_held.push_back({m_window.data(), nullptr, std::move(press)});
}

void InputHeldBack::handOver()
{
    QCoreApplication::instance()->removeEventFilter(this);
    // Posted events and queued calls share one queue: they come back in the order they were held.
    for (Held &held : m_held) {
        if (!held.target)
            continue;
        if (held.event)
            QCoreApplication::postEvent(held.target, held.event.release());
        else
            postToEventLoop(held.target, std::move(held.press));
    }
    m_held.clear();
}

bool InputHeldBack::isTheWindows(QObject *target) const
{
    if (!m_window)
        return false;
    if (auto *widget = qobject_cast<QWidget *>(target))
        return widget->window() == m_window;
    if (auto *window = qobject_cast<QWindow *>(target))
        return window == m_window->windowHandle();
    return false;
}

bool InputHeldBack::eventFilter(QObject *target, QEvent *event)
{
    if (!isControlInput(event->type()) || !isTheWindows(target))
        return false;
    // Held where it was going: a window's input becomes its widgets' only once it is handed over.
    m_held.push_back({target, std::unique_ptr<QEvent>(event->clone()), {}});
    return true;
}
