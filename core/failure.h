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

// A port that cannot be opened. The cause tells the link when the message should also name the ports
// present on the computer, so that the user learns which number to type.
class OpenFailure : public Failure {
public:
    enum Cause {
        Other,
        Missing, // no such port on this computer
        Busy,    // another program holds it
    };
    OpenFailure(Cause cause, QString message) : Failure(std::move(message)), m_cause(cause) {}
    Cause cause() const noexcept { return m_cause; }

private:
    Cause m_cause;
};
