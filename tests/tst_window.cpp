#include "rig/consolefixture.h"

#include <QAccessible>
#include <QApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <memory>
#include <vector>

namespace {

// "Name" or "Name[index]" for a control, as the rows below spell them.
QString controlKey(const QWidget *w)
{
    const QVariant index = w->property("index");
    return index.isValid() ? QStringLiteral("%1[%2]").arg(w->objectName()).arg(index.toInt())
                           : w->objectName();
}

QWidget *findControl(QWidget *window, const QString &key)
{
    for (QWidget *w : window->findChildren<QWidget *>())
        if (controlKey(w) == key)
            return w;
    return nullptr;
}

// The display scale the tests run at: QT_SCALE_FACTOR stands for a desktop set to 150 % or 200 %
// (the tst_window_scale_* tests).
qreal displayScale()
{
    bool ok = false;
    const qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    return ok ? scale : 1.0;
}

// Where a control draws its text, in device pixels: the pixels that differ between the control
// drawn with its text and drawn without it.
template <typename Control> QRect textInk(Control *control)
{
    const QString text = control->text();
    control->setText(QString());
    const QImage bare = control->grab().toImage();
    control->setText(text);
    const QImage drawn = control->grab().toImage();
    QRect ink;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            if (drawn.pixel(x, y) != bare.pixel(x, y))
                ink |= QRect(x, y, 1, 1);
    return ink;
}

QRect toDevice(const QRect &logical, qreal scale)
{
    return QRectF(QPointF(logical.topLeft()) * scale, QSizeF(logical.size()) * scale).toAlignedRect();
}

// Stands for the system's browser: keeps the addresses it is asked to open.
class BrowserSink : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl &url) { opened.append(url); }

public:
    QList<QUrl> opened;
};

} // namespace

class TestWindow : public ConsoleFixture {
    Q_OBJECT
private slots:
    void windowItself();
    void controls_data();
    void controls();
    void focusAndTabCycle();
    void noDefaultButton();
    void keyboardPress_data();
    void keyboardPress();
    void textsFitTheirControls();
    void helpKeyOpensTheGuide_data();
    void helpKeyOpensTheGuide();
};

void TestWindow::windowItself()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Test liaison série"));
    // 6495 x 2895 twips at 15 twips a pixel; fixed.
    QCOMPARE(m_window->size(), QSize(433, 193));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    // On a scaled desktop the window grows as a whole, by the desktop's own factor: a 150 % desktop
    // is not rounded to 100 % or 200 %.
    const qreal scale = displayScale();
    QCOMPARE(m_window->devicePixelRatio(), scale);
    QCOMPARE(m_window->grab().size(), (QSizeF(433, 193) * scale).toSize());
    const QIcon icon = m_window->windowIcon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), (QList<QSize>{QSize(16, 16), QSize(32, 32)}));
    // The port stays closed until Connecter is pressed.
    QVERIFY(!m_window->link().isOpen());
}

void TestWindow::controls_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QRect>("twips");

    const struct {
        const char *key;
        const char16_t *text;
        const char16_t *tooltip;
        int left, top, width, height;
    } rows[] = {
        {"Prof", u"01", u"Professeur", 2640, 0, 1215, 495},
        {"Connecter", u"Connecter", u"", 0, 0, 1215, 495},
        {"Administration[0]", u"00 00", u"Proviseur", 1320, 0, 1215, 495},
        {"Administration[1]", u"00 01", u"Proviseur adjoint", 1320, 480, 1215, 495},
        {"Administration[2]", u"00 02", u"Secrétaire", 1320, 960, 1215, 495},
        {"Administration[3]", u"00 03", u"Comptabilité", 1320, 1440, 1215, 495},
        {"Eleves[0]", u"03 00", u"Seconde", 5280, 0, 1215, 495},
        {"Eleves[1]", u"03 01", u"Première", 5280, 480, 1215, 495},
        {"Eleves[2]", u"03 02", u"Terminale", 5280, 960, 1215, 495},
        {"Eleves[3]", u"03 03", u"BTS", 5280, 1440, 1215, 495},
        {"Eleves[4]", u"03 04", u"BEP", 5280, 1920, 1215, 495},
        {"Eleves[5]", u"03 05", u"Bac Pro", 5280, 2400, 1215, 495},
        {"Entretien[0]", u"02 00", u"Ménage", 3960, 0, 1215, 495},
        {"Entretien[1]", u"02 01", u"Maintenance", 3960, 480, 1215, 495},
        {"ListeCar", u"01 01 01 04", u"", 720, 2280, 1815, 495},
        {"Envoyer", u"Envoyer", u"", 2760, 2280, 1215, 495},
        {"Port", u"1", u"", 3360, 1920, 375, 285},
        {"Label1", u"Com", u"", 2880, 1920, 375, 255},
    };
    for (const auto &r : rows)
        QTest::newRow(r.key) << QString::fromLatin1(r.key) << QString::fromUtf16(r.text)
                             << QString::fromUtf16(r.tooltip) << QRect(r.left, r.top, r.width, r.height);
}

void TestWindow::controls()
{
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QString, tooltip);
    QFETCH(QRect, twips);

    QWidget *w = findControl(m_window, key);
    QVERIFY2(w, qPrintable(key));
    QVERIFY(w->isVisible() && w->isEnabled());
    QCOMPARE(w->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));

    // Drawn at the display scale, a caption lies inside the room its control gives it, at its full
    // size.
    const qreal scale = displayScale();
    QRect ink;
    QRect room;
    if (auto *b = qobject_cast<QPushButton *>(w)) {
        QCOMPARE(b->text(), text);
        QStyleOptionButton option;
        option.initFrom(b);
        option.text = b->text();
        room = toDevice(b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b), scale);
        ink = textInk(b);
    } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
        QCOMPARE(e->text(), text);
    } else if (auto *l = qobject_cast<QLabel *>(w)) {
        QCOMPARE(l->text(), text);
        room = toDevice(l->contentsRect(), scale);
        ink = textInk(l);
    } else {
        QFAIL("unexpected kind of control");
    }
    if (!room.isNull()) {
        const QString where = QStringLiteral("text drawn in %1, room %2 (device pixels)")
                                  .arg(QDebug::toString(ink), QDebug::toString(room));
        QVERIFY2(!ink.isEmpty() && room.contains(ink), qPrintable(where));
        // The ink is the advance less the side bearings, a pixel or so each side: a caption cut at the
        // room's edges, or drawn at the wrong scale, is narrower.
        const qreal advance = QFontMetricsF(w->font()).horizontalAdvance(text);
        QVERIFY2(ink.width() >= (advance - 3) * scale, qPrintable(where));
    }

    // Screen readers: a button reads its caption and its tooltip; a text box reads the name of its
    // label, or its own.
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(w);
    QVERIFY(accessible);
    const QString expectedName = key == QLatin1String("ListeCar")
                                     ? QStringLiteral("Liste des octets à envoyer")
                                 : key == QLatin1String("Port") ? QStringLiteral("Com")
                                                                : text;
    QCOMPARE(accessible->text(QAccessible::Name), expectedName);
    if (!tooltip.isEmpty())
        QCOMPARE(accessible->text(QAccessible::Description), tooltip);

    // Resting the pointer on the control shows its tooltip, or none.
    QHelpEvent help(QEvent::ToolTip, w->rect().center(), w->mapToGlobal(w->rect().center()));
    QApplication::sendEvent(w, &help);
    QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), tooltip);
    QToolTip::hideText();
}

void TestWindow::focusAndTabCycle()
{
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QCOMPARE(controlKey(QApplication::focusWidget()), QStringLiteral("Prof"));

    const QStringList expected = {
        "Connecter",
        "Administration[0]",
        "Administration[1]",
        "Administration[2]",
        "Administration[3]",
        "Eleves[0]",
        "Eleves[1]",
        "Eleves[2]",
        "Eleves[3]",
        "Eleves[4]",
        "Eleves[5]",
        "Entretien[0]",
        "Entretien[1]",
        "ListeCar",
        "Envoyer",
        "Port",
        "Prof",
    };
    QStringList walked;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        walked << controlKey(QApplication::focusWidget());
    }
    QCOMPARE(walked, expected);
}

void TestWindow::noDefaultButton()
{
    for (QPushButton *b : m_window->findChildren<QPushButton *>()) {
        QVERIFY2(!b->isDefault() && !b->autoDefault(), qPrintable(controlKey(b)));
    }
    // Enter in a text box presses nothing: nothing goes out and nothing fails.
    QTest::keyClick(m_window->findChild<QLineEdit *>("ListeCar"), Qt::Key_Return);
    QVERIFY(m_sink->failures.isEmpty());
}

void TestWindow::keyboardPress_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("qtKey");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("failure"); // part of what the pressed button's operation reports

    // With the port closed every button's operation fails, which shows that it ran: a call button and
    // Envoyer cannot write, and Connecter refuses a Com number that names no port.
    const QString closed = QStringLiteral("n'est pas ouvert");
    const QString noPort = QStringLiteral("Le port numéro 0 n'existe pas");
    const struct {
        const char *control;
        const char *port;
        QString failure;
    } controls[] = {
        {"Administration[2]", "1", closed},
        {"Eleves[5]", "1", closed},
        {"Prof", "1", closed},
        {"Connecter", "0", noPort},
        {"Envoyer", "1", closed},
        // A text box takes Enter as text editing: nothing is pressed, nothing runs.
        {"ListeCar", "1", QString()},
        {"Port", "1", QString()},
    };
    const struct {
        const char *name;
        int key;
        Qt::KeyboardModifiers modifiers;
    } keys[] = {
        {"Return", Qt::Key_Return, Qt::NoModifier},
        {"Enter", Qt::Key_Enter, Qt::KeypadModifier},
        {"Space", Qt::Key_Space, Qt::NoModifier},
    };
    for (const auto &c : controls) {
        const bool isBox = c.failure.isEmpty();
        for (const auto &k : keys) {
            if (isBox && k.key == Qt::Key_Space)
                continue; // a space typed in a box is text
            QTest::addRow("%s on %s", k.name, c.control)
                << QString::fromLatin1(c.control) << k.key << k.modifiers << QString::fromLatin1(c.port)
                << c.failure;
        }
    }
}

void TestWindow::keyboardPress()
{
    QFETCH(QString, key);
    QFETCH(int, qtKey);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, portText);
    QFETCH(QString, failure);

    m_window->findChild<QLineEdit *>("Port")->setText(portText);
    QWidget *target = findControl(m_window, key);
    QVERIFY2(target, qPrintable(key));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    target->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), target);

    std::vector<std::unique_ptr<QSignalSpy>> clicks;
    const QList<QPushButton *> buttons = m_window->findChildren<QPushButton *>();
    for (QPushButton *b : buttons)
        clicks.push_back(std::make_unique<QSignalSpy>(b, &QPushButton::clicked));
    const auto clickCounts = [&] {
        QMap<QString, int> counts;
        for (qsizetype i = 0; i < buttons.size(); ++i)
            if (const qsizetype n = clicks.at(size_t(i))->count(); n > 0)
                counts.insert(controlKey(buttons.at(i)), int(n));
        return counts;
    };
    auto *button = qobject_cast<QPushButton *>(target);

    // Press, hold (the key repeats: X11 sends a release and a press for each repeat, Windows presses
    // alone), release: the keys go to whichever widget has the focus, through the application's
    // event delivery.
    QTest::keyPress(QApplication::focusWidget(), Qt::Key(qtKey), modifiers);
    if (button)
        QVERIFY(button->isDown()); // shown pressed, not clicked yet
    QCOMPARE(clickCounts(), (QMap<QString, int>()));
    const QString keyText = qtKey == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r");
    for (QEvent::Type type :
         {QEvent::KeyRelease, QEvent::KeyPress, QEvent::KeyRelease, QEvent::KeyPress, QEvent::KeyPress}) {
        QKeyEvent repeat(type, qtKey, modifiers, keyText, true);
        QApplication::sendEvent(QApplication::focusWidget(), &repeat);
    }
    if (button)
        QVERIFY(button->isDown());
    QCOMPARE(clickCounts(), (QMap<QString, int>()));
    QVERIFY(m_sink->failures.isEmpty());
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key(qtKey), modifiers);

    const QMap<QString, int> expectedClicks = button ? QMap<QString, int>{{key, 1}} : QMap<QString, int>();
    QCOMPARE(clickCounts(), expectedClicks);
    if (failure.isEmpty()) {
        QCOMPARE(m_sink->failures, QStringList());
        QCOMPARE(m_sink->endStatus, -1);
    } else {
        QCOMPARE(m_sink->failures.size(), 1);
        QVERIFY2(m_sink->failures.first().contains(failure), qPrintable(m_sink->failures.first()));
        QCOMPARE(m_sink->endStatus, 1);
    }
    if (button)
        QVERIFY(!button->isDown());
}

void TestWindow::textsFitTheirControls()
{
    for (QWidget *w : m_window->findChildren<QWidget *>()) {
        QString text;
        QRect room;
        if (auto *b = qobject_cast<QPushButton *>(w)) {
            QStyleOptionButton option;
            option.initFrom(b);
            option.text = b->text();
            text = b->text();
            room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
        } else if (auto *l = qobject_cast<QLabel *>(w)) {
            text = l->text();
            room = l->contentsRect();
        } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
            text = e->text();
            // The frame takes a couple of pixels each side.
            room = e->rect().adjusted(2, 2, -2, -2);
        } else {
            continue;
        }
        const QFontMetrics metrics(w->font());
        QVERIFY2(metrics.horizontalAdvance(text) <= room.width() && metrics.height() <= room.height(),
                 qPrintable(QStringLiteral("%1: \"%2\" needs %3x%4, has %5x%6")
                                .arg(controlKey(w), text)
                                .arg(metrics.horizontalAdvance(text))
                                .arg(metrics.height())
                                .arg(room.width())
                                .arg(room.height())));
    }
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

void TestWindow::helpKeyOpensTheGuide_data()
{
    QTest::addColumn<QStringList>("guides"); // made under a folder holding the program's folder, bin
    QTest::addColumn<bool>("browser");       // a browser takes file addresses
    QTest::addColumn<QString>("opened");     // the guide handed to it; empty: none
    QTest::addColumn<QString>("warning");    // the start of the box shown; empty: none
    const QString beside = QStringLiteral("bin/guide.html");
    const QString installed = QStringLiteral("share/doc/liaison-serie/guide.html");
    QTest::newRow("beside the program") << QStringList{beside} << true << beside << QString();
    QTest::newRow("installed under a prefix") << QStringList{installed} << true << installed << QString();
    QTest::newRow("both: the one beside") << QStringList{installed, beside} << true << beside << QString();
    QTest::newRow("missing") << QStringList() << true << QString()
                             << QStringLiteral("Le guide est introuvable");
    QTest::newRow("no browser") << QStringList{beside} << false << QString()
                                << QStringLiteral("Impossible d'ouvrir le guide");
}

void TestWindow::helpKeyOpensTheGuide()
{
    QFETCH(QStringList, guides);
    QFETCH(bool, browser);
    QFETCH(QString, opened);
    QFETCH(QString, warning);
    // Without a handler, only the offscreen platform is sure to have no browser to start.
    if (!browser && QGuiApplication::platformName() != u"offscreen")
        QSKIP("a real platform would start its browser");
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("bin")));
    for (const QString &guide : guides) {
        QVERIFY(QDir(root.path()).mkpath(QFileInfo(guide).path()));
        QFile file(root.filePath(guide));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    m_window->setProgramFolder(root.filePath(QStringLiteral("bin")));
    BrowserSink sink;
    if (browser)
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
    const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });

    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);

    const QList<QUrl> expected =
        opened.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl::fromLocalFile(root.filePath(opened))};
    QCOMPARE(sink.opened, expected);
    QCOMPARE(m_sink->warnings.size(), warning.isEmpty() ? 0 : 1);
    if (!warning.isEmpty())
        QVERIFY2(m_sink->warnings[0].startsWith(warning), qPrintable(m_sink->warnings[0]));
    // Nothing ends, nothing else is shown.
    QCOMPARE(m_sink->endStatus, -1);
    QVERIFY(m_sink->failures.isEmpty());
    QVERIFY(m_window->isVisible());
}
