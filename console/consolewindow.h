// ConsoleWindow: the console's one window, "Test liaison série".
//
// It owns the serial link for the program's whole life and runs one operation per control event, each
// inside the failure guard: a Failure stops the operation at the failing step, lets what was written go
// out, shows the message, closes the port and ends the program with status 1. Nothing on that path lets
// an exception out: a lost line that the close finds is shown after the message, and so is what the line
// brought that no box has told yet (an answer cut short, a line error); the program still ends with
// status 1.
// Each answer of the device is shown in a box, and so is each notice of what is no whole answer, in the
// order the line brought them, one box at a time: what comes while a box is open waits for it to close.
// While Connecter waits for the port to open, the window holds its own input (keys, clicks, and the
// presses that come as no event, such as a screen reader's) and hands it over once the port is open;
// its close request is heard at once and abandons the open.
// Controls carry their names as objectName ("Connecter", "Prof", "Administration", ...); the buttons of
// an array share their name and carry their place in it as the property "index". Enter or Space presses
// the focused button; no button is the window's default. F1 opens the technician's guide in the system's
// browser; a guide that cannot be opened is told in a box and ends nothing.
#pragma once

#include "callframe.h"
#include "messagesink.h"
#include "seriallink.h"

#include <QIcon>
#include <QList>
#include <QWidget>
#include <functional>
#include <memory>

class InputHeldBack;
class QLabel;
class QLineEdit;
class QPushButton;

class ConsoleWindow : public QWidget {
    Q_OBJECT
public:
    // Twips a pixel at 96 dots per inch: every place and size below is in twips divided by this.
    static constexpr int TwipsPerPixel = 15;

    // sink: where messages go; null means real message boxes and the end of the event loop.
    // makeDevice: what the link opens; tests may give a scripted device.
    explicit ConsoleWindow(MessageSink *sink = nullptr, QWidget *parent = nullptr,
                           SerialDeviceFactory makeDevice = makeSerialDevice);
    ~ConsoleWindow() override;
    Q_DISABLE_COPY_MOVE(ConsoleWindow)

    // The application icon, in its 16 x 16 and 32 x 32 images.
    static QIcon applicationIcon();
    // Names the application (the title of its message boxes) and sets its icon; called once after the
    // QApplication is made.
    static void setUpApplication();

    SerialLink &link() { return m_link; }
    bool hasEnded() const { return m_ended; }

    // The operations bound to the controls' events.
    void Connecter_Click();
    void Prof_Click();
    void Administration_Click(qint16 index);
    void Entretien_Click(qint16 index);
    void Eleves_Click(qint16 index);
    void Form_QueryUnload();
    void Envoyer_Click();
    void Comm_OnComm();
    // F1: the guide, found from the program's folder.
    void openGuide();

    // The folder the guide is looked for from: the program's own, unless a test points elsewhere.
    void setProgramFolder(const QString &folder) { m_programFolder = folder; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    template <typename Operation> void guarded(Operation &&operation);
    // A control's press: run guarded, or held while the port opens.
    void pressed(const std::function<void()> &operation);
    void fail(const QString &message);
    void sendCall(const CallFrame &frame);
    // Shows one box (an answer, a notice, a warning): what the line brings meanwhile waits in the link,
    // and is raised again once the box has closed.
    void showHoldingTheLine(const std::function<void()> &show);
    void buildControls();
    QPushButton *addButton(const char *name, int index, const QString &caption, const QString &tooltip,
                           int leftTwips, int topTwips);

    SerialLink m_link;
    std::unique_ptr<MessageSink> m_ownSink;
    MessageSink *m_sink;
    bool m_ended = false;
    QString m_programFolder;
    bool m_boxShown = false;              // a box of showHoldingTheLine is open: the next waits
    InputHeldBack *m_heldInput = nullptr; // while Connecter waits for the port to open

    QPushButton *m_prof = nullptr;
    QPushButton *m_connecter = nullptr;
    QPushButton *m_envoyer = nullptr;
    QLineEdit *m_listeCar = nullptr;
    QLineEdit *m_port = nullptr;
    QLabel *m_label1 = nullptr;
    QList<QWidget *> m_tabOrder;
};
