// RecordingSink: records what the console would show, instead of opening boxes and quitting.
#pragma once

#include "messagesink.h"

#include <QByteArray>
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

// `count` different three-byte answers a device may send in a row, and the texts the console shows for
// them, in order.
struct NumberedAnswers {
    explicit NumberedAnswers(int count)
    {
        for (int i = 0; i < count; ++i) {
            const char answer[] = {char(i >> 8), char(i & 0xff), char(i % 7 + 2)};
            bytes.append(answer, 3);
            texts << QStringLiteral("%1 %2 %3").arg(i >> 8).arg(i & 0xff).arg(i % 7 + 2);
        }
    }
    QByteArray bytes;
    QStringList texts;
};
