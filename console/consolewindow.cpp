#include "consolewindow.h"

#include "bytelist.h"
#include "failure.h"
#include "guide.h"
#include "inputheldback.h"
#include "portnumber.h"
#include "replytext.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QUrl>

#include <limits>

namespace {

constexpr int px(int twips)
{
    return twips / ConsoleWindow::TwipsPerPixel;
}

// Client area: exactly the box around the controls.
constexpr int ClientWidthTwips = 5280 + 1215;
constexpr int ClientHeightTwips = 2400 + 495;
constexpr int ButtonWidthTwips = 1215;
constexpr int ButtonHeightTwips = 495;
constexpr int RowTwips = 480;

// Left edges of the five button columns.
constexpr int ConnecterColumn = 0;
constexpr int AdministrationColumn = 1320;
constexpr int ProfColumn = 2640;
constexpr int EntretienColumn = 3960;
constexpr int ElevesColumn = 5280;

QString unexpectedErrorMessage(const std::exception &error)
{
    return QStringLiteral("Erreur inattendue : %1").arg(QString::fromLocal8Bit(error.what()));
}

// A push button that Enter presses as Space does, as on Windows: shown down on the key press, clicked on
// the release, once however long the key is held. Only the focused button takes the key, so no button
// becomes the window's default and Enter in a text box presses nothing.
class ConsoleButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (isEnterKey(event)) {
            QKeyEvent space = asSpace(event);
            QPushButton::keyPressEvent(&space);
            // A held key repeats: the press already shown is not made again, and the repeats stop here
            // rather than reach the window.
            event->accept();
            return;
        }
        QPushButton::keyPressEvent(event);
    }

    void keyReleaseEvent(QKeyEvent *event) override
    {
        if (isEnterKey(event)) {
            QKeyEvent space = asSpace(event);
            QPushButton::keyReleaseEvent(&space);
            event->setAccepted(space.isAccepted());
            return;
        }
        QPushButton::keyReleaseEvent(event);
    }

private:
    static bool isEnterKey(const QKeyEvent *event)
    {
        return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    }

    static QKeyEvent asSpace(const QKeyEvent *event)
    {
        return QKeyEvent(event->type(), Qt::Key_Space, event->modifiers() & ~Qt::KeypadModifier,
                         QStringLiteral(" "), event->isAutoRepeat(), ushort(event->count()));
    }
};

} // namespace

ConsoleWindow::ConsoleWindow(MessageSink *sink, QWidget *parent, SerialDeviceFactory makeDevice)
    : QWidget(parent), m_link(nullptr, std::move(makeDevice)),
      m_ownSink(sink ? nullptr : std::make_unique<BoxMessageSink>(this)),
      m_sink(sink ? sink : m_ownSink.get())
{
    setWindowTitle(QStringLiteral("Test liaison série"));
    setWindowIcon(applicationIcon());
    // The layout was drawn for an 8-point face: at the desktop's usual 9 or 10 points "Com" no longer
    // fits its label.
    QFont windowFont = font();
    windowFont.setPointSize(8);
    setFont(windowFont);
    setFixedSize(px(ClientWidthTwips), px(ClientHeightTwips));
    buildControls();
    m_programFolder = QCoreApplication::applicationDirPath();
    // The desktop's help key; it adds nothing to the window itself.
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
            &ConsoleWindow::openGuide);
}

ConsoleWindow::~ConsoleWindow() = default;

void ConsoleWindow::setUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("liaison-serie"));
    QApplication::setApplicationDisplayName(QStringLiteral("Test liaison série"));
    QApplication::setWindowIcon(applicationIcon());
}

QIcon ConsoleWindow::applicationIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/liaison-serie-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/liaison-serie-32.png"), QSize(32, 32));
    return icon;
}

QPushButton *ConsoleWindow::addButton(const char *name, int index, const QString &caption,
                                      const QString &tooltip, int leftTwips, int topTwips)
{
    auto *button = new ConsoleButton(caption, this);
    button->setObjectName(QString::fromLatin1(name));
    if (index >= 0)
        button->setProperty("index", index);
    button->setToolTip(tooltip);
    button->setGeometry(px(leftTwips), px(topTwips), px(ButtonWidthTwips), px(ButtonHeightTwips));
    button->setAutoDefault(false);
    button->setDefault(false);
    m_tabOrder.append(button);
    return button;
}

void ConsoleWindow::buildControls()
{
    // Created in tab order.
    const CallMember *prof = findCallMember(static_cast<std::uint8_t>(GroupCode::Prof), -1);
    m_prof = addButton("Prof", -1, QString::fromUtf16(prof->caption), QString::fromUtf16(prof->role),
                       ProfColumn, 0);
    connect(m_prof, &QPushButton::clicked, this, [this] { pressed([this] { Prof_Click(); }); });

    m_connecter = addButton("Connecter", -1, QStringLiteral("Connecter"), QString(), ConnecterColumn, 0);
    connect(m_connecter, &QPushButton::clicked, this, [this] { pressed([this] { Connecter_Click(); }); });

    // A button array: the group's members from index 0 at the top of its column downwards.
    auto addArray = [this](const char *name, GroupCode group, int column, void (ConsoleWindow::*op)(qint16)) {
        for (const CallMember &m : callMembers()) {
            if (m.group != group)
                continue;
            QPushButton *b = addButton(name, m.index, QString::fromUtf16(m.caption),
                                       QString::fromUtf16(m.role), column, m.index * RowTwips);
            connect(b, &QPushButton::clicked, this,
                    [this, op, index = m.index] { pressed([=, this] { (this->*op)(index); }); });
        }
    };
    addArray("Administration", GroupCode::Administration, AdministrationColumn,
             &ConsoleWindow::Administration_Click);
    addArray("Eleves", GroupCode::Eleves, ElevesColumn, &ConsoleWindow::Eleves_Click);
    addArray("Entretien", GroupCode::Entretien, EntretienColumn, &ConsoleWindow::Entretien_Click);

    m_listeCar = new QLineEdit(QStringLiteral("01 01 01 04"), this);
    m_listeCar->setObjectName(QStringLiteral("ListeCar"));
    // A list has no length limit: the line edit's own limit (32767 characters) would cut a long pasted
    // list and silently send only its start.
    m_listeCar->setMaxLength(std::numeric_limits<int>::max());
    m_listeCar->setGeometry(px(720), px(2280), px(1815), px(495));
    QFont listFont = font();
    // The console was drawn with "MS Sans Serif"; where it is missing, a plain sans-serif face stands in.
    listFont.setFamilies(
        {QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans")});
    listFont.setStyleHint(QFont::SansSerif);
    listFont.setPointSize(12);
    listFont.setWeight(QFont::Normal);
    m_listeCar->setFont(listFont);
    // No label names this box on screen: name it for screen readers.
    m_listeCar->setAccessibleName(QStringLiteral("Liste des octets à envoyer"));
    m_listeCar->setAccessibleDescription(QStringLiteral("Valeurs de 0 à 255 séparées par une espace"));
    m_tabOrder.append(m_listeCar);

    m_envoyer = addButton("Envoyer", -1, QStringLiteral("Envoyer"), QString(), 2760, 2280);
    connect(m_envoyer, &QPushButton::clicked, this, [this] { pressed([this] { Envoyer_Click(); }); });

    m_port = new QLineEdit(QStringLiteral("1"), this);
    m_port->setObjectName(QStringLiteral("Port"));
    m_port->setGeometry(px(3360), px(1920), px(375), px(285));
    m_tabOrder.append(m_port);

    m_label1 = new QLabel(QStringLiteral("Com"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(px(2880), px(1920), px(375), px(255));
    m_label1->setBuddy(m_port); // screen readers name the Port box "Com" after its label
    m_port->setAccessibleDescription(QStringLiteral("Numéro du port série"));

    for (qsizetype i = 1; i < m_tabOrder.size(); ++i)
        QWidget::setTabOrder(m_tabOrder.at(i - 1), m_tabOrder.at(i));
    m_prof->setFocus();

    connect(&m_link, &SerialLink::notified, this, [this] { guarded([this] { Comm_OnComm(); }); });
}

template <typename Operation> void ConsoleWindow::guarded(Operation &&operation)
{
    if (m_ended)
        return;
    try {
        operation();
    } catch (const Failure &failure) {
        fail(failure.message());
    } catch (const std::exception &error) {
        fail(unexpectedErrorMessage(error));
    }
}

void ConsoleWindow::pressed(const std::function<void()> &operation)
{
    // A click or a key waits in the held input; a press that comes as no event (a screen reader's,
    // animateClick()) would run now, on a port not open yet: it waits among them.
    if (m_heldInput) {
        m_heldInput->holdPress([this, operation] { pressed(operation); });
        return;
    }
    guarded(operation);
}

void ConsoleWindow::fail(const QString &message)
{
    m_ended = true;
    QStringList shown{message};
    const auto show = [&](const QString &more) {
        if (more.isEmpty() || shown.contains(more))
            return;
        shown << more;
        m_sink->showFailure(more);
    };
    // While the box is shown the event loop keeps draining what was written before the failure: the
    // line can be lost or bring bytes meanwhile, which the guard no longer reports (the program has
    // ended); they are said below.
    m_sink->showFailure(message);
    // Closing lets the rest go out, which at 9600 baud can take a while: out of sight, not frozen.
    hide();
    try {
        m_link.close();
    } catch (const Failure &failure) {
        show(failure.message());
    } catch (const std::exception &error) {
        show(unexpectedErrorMessage(error));
    }
    if (m_link.unsentAtLoss() > 0)
        show(m_link.lostLineMessage());
    // What the line brought that no box has told: a stray byte or a line error is never dropped in silence.
    try {
        while (m_link.noticeWaiting())
            m_sink->showNotice(noticeText(m_link.takeNotice()));
    } catch (const std::exception &) {
        // Nothing on the way to the end lets an exception out.
    }
    m_sink->end(1);
}

void ConsoleWindow::closeEvent(QCloseEvent *event)
{
    // The port lets every byte already written go out before it closes, which at 9600 baud can take
    // a while after a long list: the window goes at once rather than stand frozen meanwhile.
    hide();
    guarded([this] { Form_QueryUnload(); });
    event->accept();
}

void ConsoleWindow::Connecter_Click()
{
    // A port still opening counts as open: a second press meanwhile changes nothing.
    if (m_link.isOpen() || m_link.isOpening())
        return;
    const PortNumber number = parsePortText(m_port->text());
    m_link.setPortNumber(number);
    m_link.setBinaryInput();
    // The open keeps the event loop going, for painting and the close request: what the user meant for
    // the controls meanwhile comes once the port is open, and goes when it is not.
    InputHeldBack held(this);
    m_heldInput = &held;
    const auto stopHolding = qScopeGuard([this] { m_heldInput = nullptr; });
    m_link.open();
    if (m_link.isOpen())
        held.handOver();
}

void ConsoleWindow::sendCall(const CallFrame &frame)
{
    for (const PortWrite &write : frame)
        m_link.write(write);
}

void ConsoleWindow::Prof_Click()
{
    sendCall(profCallFrame());
}

void ConsoleWindow::Administration_Click(qint16 index)
{
    sendCall(memberCallFrame(GroupCode::Administration, index));
}

void ConsoleWindow::Entretien_Click(qint16 index)
{
    sendCall(memberCallFrame(GroupCode::Entretien, index));
}

void ConsoleWindow::Eleves_Click(qint16 index)
{
    sendCall(memberCallFrame(GroupCode::Eleves, index));
}

void ConsoleWindow::Form_QueryUnload()
{
    if (m_link.isOpen() || m_link.isOpening())
        m_link.close();
    // Written bytes that never went out, which no notification has said yet (a shown one has ended the
    // program).
    if (m_link.unsentAtLoss() > 0)
        throw Failure(m_link.lostLineMessage());
}

void ConsoleWindow::Envoyer_Click()
{
    // One pass over the text: each value is converted, then written, before the next one is looked at.
    const QString list = m_listeCar->text();
    ByteListReader values(list);
    while (!values.atEnd())
        m_link.write(singleByteWrite(values.next()));
}

void ConsoleWindow::openGuide()
{
    if (m_ended)
        return;
    const QString guide = findGuide(m_programFolder);
    QString problem;
    if (guide.isEmpty()) {
        const QStringList places = guidePlaces(m_programFolder);
        problem = QStringLiteral("Le guide est introuvable : ni %1 ni %2 n'existe.")
                      .arg(QDir::toNativeSeparators(places[0]), QDir::toNativeSeparators(places[1]));
    } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(guide))) {
        problem = QStringLiteral("Impossible d'ouvrir le guide %1 : aucun navigateur ne l'a ouvert.")
                      .arg(QDir::toNativeSeparators(guide));
    }
    if (!problem.isEmpty())
        showHoldingTheLine([&] { m_sink->showWarning(problem); });
}

void ConsoleWindow::showHoldingTheLine(const std::function<void()> &show)
{
    m_boxShown = true;
    const auto boxClosed = qScopeGuard([this] { m_boxShown = false; });
    show();
    m_link.renotifyIfWaiting();
}

void ConsoleWindow::Comm_OnComm()
{
    // The line was lost while bytes that an operation had written were still waiting to go out: that
    // operation returned as if they were sent. Say so rather than lose them in silence.
    if (m_link.commEvent() == SerialLink::LineLost && m_link.unsentAtLoss() > 0)
        throw Failure(m_link.lostLineMessage());
    const int event = m_link.commEvent();
    if (event != SerialLink::Received && event != SerialLink::NoWholeAnswer)
        return;
    // Boxes never stack: what comes while one is open waits in the link and is shown after, in order.
    if (m_boxShown)
        return;
    showHoldingTheLine([&] {
        if (event == SerialLink::Received) {
            m_link.setReadLength(ReplyLength);
            m_sink->showAnswer(replyText(m_link.read()));
        } else {
            m_sink->showNotice(noticeText(m_link.takeNotice()));
        }
    });
}
