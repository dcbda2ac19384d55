// SimLine: the simulator's end of the line, a fresh pseudo-terminal or a real serial port, set up as
// the console sets its own line (termiosline.h), and the loop that feeds what the console sends to the
// simulated device, read from a real port as the console reads its own, and writes its answers back. A
// pseudo-terminal outlives the console: the loop says when the console closes its side and when it opens it
// again.
#pragma once

#include <QString>
#include <csignal>
#include <functional>

class SimulatedDevice;

struct SimLine {
    int fd = -1;
    QString path;
    bool pseudoTerminal = false;
};

// Both throw Failure with a French message when the line cannot be had.
SimLine openSimPseudoTerminal();
SimLine openSimPort(const QString &path);

// Runs until `stop` is set: each line that the device or the loop has to say goes to `say`. Throws
// Failure when the line fails (a real port that cannot be read).
void runSimLine(const SimLine &line, SimulatedDevice &device, const std::function<void(const QString &)> &say,
                const volatile std::sig_atomic_t &stop);
