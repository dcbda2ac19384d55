// The real message boxes of the console: what they show, and that they are wide enough for the window
// manager to show their whole title.
#include "rig/consolefixture.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QScreen>
#include <QTest>

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

} // namespace

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void boxShowsWholeTitle_data();
    void boxShowsWholeTitle();

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

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
