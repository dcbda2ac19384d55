#include "messagesink.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>

namespace {

// What the window manager puts beside the title in the title bar: up to three buttons (minimize,
// maximize, close), the window icon and the frame on both sides.
constexpr int TitleBarRoom = 120;

// The face the title bar is drawn in, as far as Qt knows it: the platform's title font where the theme
// names one, the one Qt uses for its own title bars otherwise, whichever is larger. Window managers tend to
// draw titles bold and a little larger than the text of the window, so this bound is bold and two points
// larger.
QFont titleBarFont()
{
    const QFont platform = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    const QFont subWindow = QApplication::font("QMdiSubWindowTitleBar");
    QFont font = QFontInfo(platform).pixelSize() >= QFontInfo(subWindow).pixelSize() ? platform : subWindow;
    font.setBold(true);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() + 2);
    else
        font.setPixelSize(font.pixelSize() + 3);
    return font;
}

// The width a box needs for the window manager to show its whole title, never wider than the screen.
int titleFittingWidth(const QWidget *box)
{
    const int wanted = QFontMetrics(titleBarFont()).horizontalAdvance(box->windowTitle()) + TitleBarRoom;
    const QScreen *screen = box->screen() ? box->screen() : QGuiApplication::primaryScreen();
    return screen ? qMin(wanted, screen->availableGeometry().width()) : wanted;
}

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    // Messages carry what came from outside word for word: the Com box and the list as typed, a USB
    // adapter's product name, the program named in a lock file. Shown as plain text, "<b>7</b>" reads
    // "<b>7</b>" and no text can make a link; the labels are also told never to open one.
    box.setTextFormat(Qt::PlainText);
    for (QLabel *label : box.findChildren<QLabel *>())
        label->setOpenExternalLinks(false);
    // QMessageBox sizes itself on show from its layout's minimum width and leaves only 50 pixels beside
    // the title, so a short answer such as "1 2 255" gave a box whose title bar cut the title short. A
    // setMinimumWidth on the box is overridden by that sizing; a spacer in a row of its own across the
    // grid widens the layout's minimum, which the sizing keeps. It only ever widens the box.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(titleFittingWidth(&box), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    box.exec();
}

} // namespace

void BoxMessageSink::showFailure(const QString &message)
{
    showBox(m_parent, QMessageBox::Critical, message);
}

void BoxMessageSink::showAnswer(const QString &text)
{
    showBox(m_parent, QMessageBox::NoIcon, text);
}

void BoxMessageSink::showNotice(const QString &text)
{
    showBox(m_parent, QMessageBox::Warning, text);
}

void BoxMessageSink::showWarning(const QString &message)
{
    showBox(m_parent, QMessageBox::Warning, message);
}

void BoxMessageSink::end(int status)
{
    QCoreApplication::exit(status);
}
