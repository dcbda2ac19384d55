// MessageSink: where the console shows its messages and how it ends. The window calls it for every
// message it shows, so tests observe failures, answers and the end of the program through this one seam
// instead of answering real message boxes.
#pragma once

#include <QString>

class QWidget;

class MessageSink {
public:
    MessageSink() = default;
    Q_DISABLE_COPY_MOVE(MessageSink)
    virtual ~MessageSink() = default;
    // A failure: shown before the program ends.
    virtual void showFailure(const QString &message) = 0;
    // A device answer; returns when the user has dismissed it.
    virtual void showAnswer(const QString &text) = 0;
    // What the line brought that is no whole answer (an answer cut short, bytes the line spoiled); returns
    // when the user has dismissed it.
    virtual void showNotice(const QString &text) = 0;
    // A problem that ends nothing (the guide cannot be opened); returns when the user has dismissed it.
    virtual void showWarning(const QString &message) = 0;
    // Ends the program with this exit status.
    virtual void end(int status) = 0;
};

// The real sink: modal message boxes titled with the application's name that show their text as plain
// text (never read as markup, never a link), and the end of the event loop. An answer's box has no icon,
// a notice's and a warning's the warning sign, a failure's the critical one.
class BoxMessageSink : public MessageSink {
public:
    explicit BoxMessageSink(QWidget *parent) : m_parent(parent) {}
    void showFailure(const QString &message) override;
    void showAnswer(const QString &text) override;
    void showNotice(const QString &text) override;
    void showWarning(const QString &message) override;
    void end(int status) override;

private:
    QWidget *m_parent;
};
