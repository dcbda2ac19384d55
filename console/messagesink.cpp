#include "messagesink.h"

#include <QApplication>
#include <QMessageBox>

namespace {

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace

void BoxMessageSink::showFailure(const QString &message)
{
    showBox(m_parent, QMessageBox::Critical, message);
}

void BoxMessageSink::showAnswer(const QString &text)
{
    showBox(m_parent, QMessageBox::NoIcon, text);
}

void BoxMessageSink::end(int status)
{
    QCoreApplication::exit(status);
}
