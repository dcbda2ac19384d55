// RecordingSink: records what the console would show, instead of opening boxes and quitting.
#pragma once

#include "messagesink.h"

#include <QStringList>
#include <functional>

// Records every message and the end of the program instead of showing boxes and quitting.
class RecordingSink : public MessageSink {
public:
    void showFailure(const QString &message) override { failures.append(message); }
    void showAnswer(const QString &text) override
    {
        answers.append(text);
        if (onAnswer)
            onAnswer(text);
    }
    void end(int status) override { endStatus = status; }

    QStringList failures;
    QStringList answers;
    std::function<void(const QString &)> onAnswer;
    int endStatus = -1;
};
