// Failure: the one way an operation of the console reports that it cannot go on.
// It carries a French message for the user that names what failed and the value at fault.
// The console's guard catches it, shows the message and ends the program.
#pragma once

#include <QString>
#include <exception>

class Failure : public std::exception {
public:
    explicit Failure(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};
