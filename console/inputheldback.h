// InputHeldBack: while the port opens, the console window keeps painting and hears its close (× or
// Alt+F4, which Qt counts as user input): only the input meant for its controls is held back, from
// construction, and handed over in order by handOver() once the open has ended, as typed-ahead input
// is. That is the keys and clicks that reach the window, and the presses that come as no event at all
// (a screen reader's press, animateClick()), which the window hands over with holdPress(). Destroyed
// without handOver() (the open abandoned or failed), it drops them. Another window's input (a message
// box) is never held.
#pragma once

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class InputHeldBack : public QObject {
public:
    explicit InputHeldBack(QWidget *window);
    ~InputHeldBack() override;
    Q_DISABLE_COPY_MOVE(InputHeldBack)

    // Runs `press` once the input is handed over, in its place among the held events.
    void holdPress(std::function<void()> press);
    void handOver();

protected:
    bool eventFilter(QObject *target, QEvent *event) override;

private:
    bool isTheWindows(QObject *target) const;

    struct Held {
        QPointer<QObject> target;
        std::unique_ptr<QEvent> event; // or, when null, a press
        std::function<void()> press;
    };
    QPointer<QWidget> m_window;
    std::vector<Held> m_held;
};
