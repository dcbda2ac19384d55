// InputHeldBack: while the system opens the port, the window keeps painting and hears its close (× or
// Alt+F4, which Qt counts as user input): only the keys and clicks meant for the controls are held
// back, from construction, and handed over in order by handOver() once the open has ended, as
// typed-ahead input is. Destroyed without handOver() (the open abandoned or failed), it drops them.
#pragma once

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <memory>
#include <utility>
#include <vector>

class InputHeldBack : public QObject {
public:
    InputHeldBack();
    ~InputHeldBack() override;

    void handOver();

protected:
    bool eventFilter(QObject *target, QEvent *event) override;

private:
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> m_held;
};
