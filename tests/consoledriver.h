// ConsoleFixture: a console window with a recording sink, connected to a real pseudo-terminal, as the
// end-to-end tests drive it.
#pragma once

#include "consolewindow.h"
#include "ptypair.h"
#include "recordingsink.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

inline QPushButton *findButton(QWidget *window, const QString &name, int index = -1)
{
    for (QPushButton *b : window->findChildren<QPushButton *>(name))
        if (index < 0 || b->property("index").toInt() == index)
            return b;
    return nullptr;
}

inline QLineEdit *findBox(QWidget *window, const QString &name)
{
    return window->findChild<QLineEdit *>(name);
}

inline void click(QWidget *window, const QString &name, int index = -1)
{
    QPushButton *b = findButton(window, name, index);
    QVERIFY2(b, qPrintable(name));
    QTest::mouseClick(b, Qt::LeftButton);
}

// Types the device's port number in the Com box and presses Connecter.
inline void connectTo(QWidget *window, const PtyPair &pty)
{
    findBox(window, QStringLiteral("Port"))->setText(pty.portText());
    click(window, QStringLiteral("Connecter"));
}
