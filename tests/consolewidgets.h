// Finding and pressing the console's controls by their names, as a technician would.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>

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
