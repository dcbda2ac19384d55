// ConsoleFixture: the real console window with a recording sink instead of boxes and the end of the
// program, fresh for each test function, and the controls found and pressed by their names as a
// technician would.
#pragma once

#include "consolewindow.h"
#include "messagesink.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

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

// Types `port` in the Com box and presses Connecter.
inline void typePortAndConnect(QWidget *window, const QString &port)
{
    findBox(window, QStringLiteral("Port"))->setText(port);
    click(window, QStringLiteral("Connecter"));
}

// CPU seconds this process has used so far: a loop spinning on a dead line shows up here.
inline double processCpuSeconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME &t) {
        return double((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
#endif
}

// Records every message and the end of the program instead of showing boxes and quitting.
class RecordingSink : public MessageSink {
public:
    void showFailure(const QString &message) override
    {
        failures.append(message);
        if (onFailure)
            onFailure(message);
    }
    void showAnswer(const QString &text) override
    {
        answers.append(text);
        boxes.append(QStringLiteral("answer: ") + text);
        if (onAnswer)
            onAnswer(text);
    }
    void showNotice(const QString &text) override
    {
        notices.append(text);
        boxes.append(QStringLiteral("notice: ") + text);
    }
    void showWarning(const QString &message) override
    {
        warnings.append(message);
        boxes.append(QStringLiteral("warning: ") + message);
    }
    void end(int status) override { endStatus = status; }

    QStringList failures;
    QStringList warnings;
    QStringList answers;
    QStringList notices;
    // Answers and notices in the order they were shown ("answer: 1 2 3", "notice: Réponse incomplète : 4").
    QStringList boxes;
    // Run while the box would be open: the event loop goes on meanwhile, as a real box's does.
    std::function<void(const QString &)> onAnswer;
    std::function<void(const QString &)> onFailure;
    int endStatus = -1;
};

// The boxes `shown`, in order, are those `expected`: an answer's text whole, a notice's by a piece of it.
inline void expectBoxes(const QStringList &shown, const QStringList &expected)
{
    bool same = shown.size() == expected.size();
    for (qsizetype i = 0; same && i < shown.size(); ++i)
        same = expected[i].startsWith(u"notice: ")
                   ? shown[i].startsWith(u"notice: ") && shown[i].contains(expected[i].mid(8))
                   : shown[i] == expected[i];
    QVERIFY2(same, qPrintable(QStringLiteral("shown:\n  %1\nexpected:\n  %2")
                                  .arg(shown.join(u"\n  "), expected.join(u"\n  "))));
}

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

// What a message box showed when it was dismissed.
struct SeenBox {
    bool visible = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool iconDrawn = false;
    QList<QMessageBox::StandardButton> buttons;
    QSize size;
};

// While it lives, records each modal message box shown, then presses its OK button. A box nobody could
// answer is closed after 5 s, so that no test hangs.
class BoxWatcher {
public:
    BoxWatcher()
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << SeenBox{box->isVisible(), box->windowTitle(),          box->text(),
                            box->icon(),      !box->iconPixmap().isNull(), {},
                            box->size()};
            for (QAbstractButton *b : box->buttons())
                seen.last().buttons << box->standardButton(b);
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        });
        m_poll.start(10);
        QObject::connect(&m_guard, &QTimer::timeout, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        m_guard.start(5000);
    }
    QList<SeenBox> seen;

private:
    QTimer m_poll;
    QTimer m_guard;
};

// Base of the window's test classes: before each test function a fresh window shown with a recording
// sink, after it none. A rig sets itself up in the hooks.
class ConsoleFixture : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        ConsoleWindow::setUpApplication();
        setUpRig();
    }
    void cleanupTestCase() { tearDownRig(); }
    void init()
    {
        beforeEach();
        m_sink = new RecordingSink;
        m_window = new ConsoleWindow(m_sink);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    void cleanup()
    {
        delete m_window;
        delete m_sink;
        m_window = nullptr;
        m_sink = nullptr;
        afterEach();
    }

protected:
    virtual void setUpRig() {}
    virtual void tearDownRig() {}
    virtual void beforeEach() {}
    virtual void afterEach() {}

    void typePortAndConnect(const QString &port) { ::typePortAndConnect(m_window, port); }
    // Types `list` in ListeCar and presses Envoyer.
    void sendList(const QString &list)
    {
        findBox(m_window, QStringLiteral("ListeCar"))->setText(list);
        click(m_window, QStringLiteral("Envoyer"));
    }

    RecordingSink *m_sink = nullptr;
    ConsoleWindow *m_window = nullptr;
};
