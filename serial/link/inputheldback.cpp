#include "inputheldback.h"

#include <QCoreApplication>

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

InputHeldBack::InputHeldBack()
{
    QCoreApplication::instance()->installEventFilter(this);
}

InputHeldBack::~InputHeldBack()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

void InputHeldBack::handOver()
{
    QCoreApplication::instance()->removeEventFilter(this);
    for (auto &[target, event] : m_held)
        if (target)
            QCoreApplication::postEvent(target, event.release());
    m_held.clear();
}

bool InputHeldBack::eventFilter(QObject *target, QEvent *event)
{
    if (!isControlInput(event->type()))
        return false;
    // Held where it was going: a window's input becomes its widgets' only once it is handed over.
    m_held.emplace_back(target, std::unique_ptr<QEvent>(event->clone()));
    return true;
}
