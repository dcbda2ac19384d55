// The real message boxes of the console: what they show, and that they are wide enough for the window
// manager to show their whole title.
#include "rig/consolefixture.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

namespace {

// The size of a plain QMessageBox with the same content, as Qt sizes it on show.
QSize plainBoxSize(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox plain(icon, title, text, QMessageBox::Ok);
    plain.show();
    if (!QTest::qWaitForWindowExposed(&plain))
        return {};
    return plain.size();
}

// The label of the modal box that holds `text` word for word; its OK is then pressed.
struct SeenLabel {
    bool found = false;
    Qt::TextFormat format = Qt::AutoText;
    bool opensLinks = false;
    QString shown; // the text as the label draws it
};

class LabelWatcher {
public:
    explicit LabelWatcher(const QString &text)
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this, text] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            for (const QLabel *label : box->findChildren<QLabel *>()) {
                if (label->text() != text)
                    continue;
                seen.found = true;
                seen.format = label->textFormat();
                seen.opensLinks = label->openExternalLinks();
                // What the label draws: its text document where it keeps one (rich text, or plain text
                // that can be selected), else its text as it is.
                label->sizeHint(); // lays the text out
                const auto *document = label->findChild<QTextDocument *>();
                seen.shown = document ? document->toPlainText() : label->text();
            }
            box->button(QMessageBox::Ok)->click();
        });
        m_poll.start(10);
        QObject::connect(&m_guard, &QTimer::timeout, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        m_guard.start(5000);
    }
    SeenLabel seen;

private:
    QTimer m_poll;
    QTimer m_guard;
};

} // namespace

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void boxShowsWholeTitle_data();
    void boxShowsWholeTitle();
    void boxShowsTextAsBuilt_data();
    void boxShowsTextAsBuilt();

private:
    QWidget *m_parent = nullptr;
};

void TestMessageBox::initTestCase()
{
    ConsoleWindow::setUpApplication();
}

void TestMessageBox::cleanup()
{
    delete m_parent;
    m_parent = nullptr;
    ConsoleWindow::setUpApplication();
}

void TestMessageBox::boxShowsWholeTitle_data()
{
    QTest::addColumn<bool>("failure");
    QTest::addColumn<QString>("title"); // empty: the console's own
    QTest::addColumn<QString>("text");

    QTest::newRow("answer") << false << QString() << QStringLiteral("1 2 255");
    QTest::newRow("answer of one-digit numbers") << false << QString() << QStringLiteral("0 0 0");
    QTest::newRow("answer, longer title")
        << false << QStringLiteral("Test liaison série, poste de la loge") << QStringLiteral("7 8 10");
    QTest::newRow("failure") << true << QString() << QStringLiteral("Le port n'est pas ouvert.");
    QTest::newRow("failure, long message")
        << true << QString()
        << QStringLiteral("Impossible d'ouvrir le port COM1 (/dev/ttyS0) : accès refusé. Vérifiez que "
                          "l'utilisateur appartient au groupe dialout et qu'aucun autre programme ne "
                          "tient le port.\nLe programme va s'arrêter.");
}

void TestMessageBox::boxShowsWholeTitle()
{
    QFETCH(bool, failure);
    QFETCH(QString, title);
    QFETCH(QString, text);
    if (!title.isEmpty())
        QApplication::setApplicationDisplayName(title);
    const QString shownTitle = title.isEmpty() ? QStringLiteral("Test liaison série") : title;

    m_parent = new QWidget;
    m_parent->resize(433, 193);
    m_parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_parent));
    BoxMessageSink sink(m_parent);
    const SeenBox box = [&] {
        BoxWatcher boxes; // gone before the plain box below is shown: it would press that one's OK too
        if (failure)
            sink.showFailure(text);
        else
            sink.showAnswer(text);
        return boxes.seen.value(0);
    }();
    QVERIFY2(box.visible, "no message box was shown, or not visibly");
    QCOMPARE(box.title, shownTitle);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, failure ? QMessageBox::Critical : QMessageBox::NoIcon);
    QCOMPARE(box.iconDrawn, failure);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});

    // The title in the platform's title font, bold as window managers draw it, plus 120 pixels for the
    // title bar's buttons and the frame; a screen narrower than that bounds it.
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(shownTitle);
    const int screenWidth = m_parent->screen()->availableGeometry().width();
    const int wanted = qMin(titleWidth + 120, screenWidth);
    QVERIFY2(
        box.size.width() >= wanted,
        qPrintable(QStringLiteral("%1 px wide, the title needs %2 px").arg(box.size.width()).arg(wanted)));
    QVERIFY2(box.size.width() <= screenWidth, qPrintable(QString::number(box.size.width())));

    // Never narrower than Qt makes the same box by itself; the widening adds no height.
    const QMessageBox::Icon icon = failure ? QMessageBox::Critical : QMessageBox::NoIcon;
    const QSize plain = plainBoxSize(icon, shownTitle, text);
    QVERIFY(plain.isValid());
    const QString sizes = QStringLiteral("%1x%2, Qt alone gives %3x%4")
                              .arg(box.size.width())
                              .arg(box.size.height())
                              .arg(plain.width())
                              .arg(plain.height());
    QVERIFY2(box.size.width() >= plain.width(), qPrintable(sizes));
    QVERIFY2(box.size.height() <= plain.height(), qPrintable(sizes));
}

void TestMessageBox::boxShowsTextAsBuilt_data()
{
    QTest::addColumn<bool>("failure");
    QTest::addColumn<QString>("text");

    // What reaches the messages from outside: the Com box, the list's values, a USB adapter's product
    // name, the program named in a lock file.
    QTest::newRow("Com box") << true
                             << QStringLiteral("Le numéro de port « <b>7</b> » n'est pas valide.\n"
                                               "Le programme va s'arrêter.");
    QTest::newRow("list value") << true << QStringLiteral("La valeur « <i>12</i>&amp; » n'est pas un octet.");
    QTest::newRow("USB product name")
        << true << QStringLiteral("Ports présents : COM33 (<a href=\"https://example.org\">FT232R</a>).");
    QTest::newRow("lock holder's program")
        << true << QStringLiteral("Le port est occupé (<u>minicom</u>, processus 4242).");
    QTest::newRow("answer") << false << QStringLiteral("1 2 255");
}

void TestMessageBox::boxShowsTextAsBuilt()
{
    QFETCH(bool, failure);
    QFETCH(QString, text);

    m_parent = new QWidget;
    m_parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_parent));
    BoxMessageSink sink(m_parent);
    LabelWatcher watcher(text);
    if (failure)
        sink.showFailure(text);
    else
        sink.showAnswer(text);

    QVERIFY2(watcher.seen.found, "no label of the box holds the text as built");
    QCOMPARE(watcher.seen.format, Qt::PlainText);
    QVERIFY(!watcher.seen.opensLinks);
    // Drawn as typed, not read as markup: tags, entities and links show as they were built.
    QCOMPARE(watcher.seen.shown, text);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
