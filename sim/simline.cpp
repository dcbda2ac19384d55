#include "simline.h"

#include "failure.h"
#include "simdevice.h"
#include "termiosline.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::generic_category().message(error).c_str());
}

// The console's line settings; on a pseudo-terminal's master they set the side the console opens.
void setUp(const SimLine &line)
{
    if (const std::optional<LineSetupFailure> failed = setUpLine(line.fd)) {
        ::close(line.fd);
        throw Failure(
            QStringLiteral("%1 : %2%3.")
                .arg(line.path, failed->what,
                     failed->error ? QStringLiteral(" (%1)").arg(systemText(failed->error)) : QString()));
    }
}

} // namespace

SimLine openSimPseudoTerminal()
{
    SimLine line;
    line.pseudoTerminal = true;
    line.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0 || ::grantpt(line.fd) != 0 || ::unlockpt(line.fd) != 0)
        throw Failure(QStringLiteral("impossible de créer un pseudo-terminal (%1).").arg(systemText(errno)));
    char name[64] = {};
    if (const int error = ::ptsname_r(line.fd, name, sizeof name); error != 0)
        throw Failure(QStringLiteral("impossible de nommer le pseudo-terminal (%1).").arg(systemText(error)));
    line.path = QString::fromLocal8Bit(name);
    setUp(line);
    return line;
}

SimLine openSimPort(const QString &path)
{
    SimLine line;
    line.path = path;
    line.fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0)
        throw Failure(QStringLiteral("impossible d'ouvrir %1 (%2).").arg(path, systemText(errno)));
    setUp(line);
    return line;
}

void runSimLine(const SimLine &line, SimulatedDevice &device, const std::function<void(const QString &)> &say,
                const volatile std::sig_atomic_t &stop)
{
    bool consoleGone = false; // the console closed its side of the pseudo-terminal
    // A real port reads through the line discipline with the console's settings, which double each
    // 0xFF and mark a spoiled byte (termiosline.h): the device hears only the bytes that came whole.
    // The master of a pseudo-terminal has settings of its own, left raw.
    MarkedInput marks;
    auto received = [&](const char *bytes, qsizetype count) {
        return line.pseudoTerminal ? QByteArray(bytes, count) : marks.wholeBytes(bytes, count);
    };
    constexpr int IdleMs = 150; // bytes left undecided this long are reported as they are

    auto act = [&](const QList<SimStep> &steps) {
        for (const SimStep &step : steps) {
            say(step.line);
            if (!step.answer.isEmpty() &&
                ::write(line.fd, step.answer.constData(), size_t(step.answer.size())) != step.answer.size())
                say(QStringLiteral("(réponse non envoyée : %1)").arg(systemText(errno)));
        }
    };
    auto consoleBack = [&] {
        if (consoleGone)
            say(QStringLiteral("La console a rouvert le port."));
        consoleGone = false;
    };

    while (!stop) {
        pollfd pfd{line.fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, device.hasPending() ? IdleMs : -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw Failure(QStringLiteral("poll : %1").arg(systemText(errno)));
        }
        if (ready == 0) {
            act(device.flush());
            continue;
        }
        if (pfd.revents & POLLIN) {
            char buffer[4096];
            const ssize_t n = ::read(line.fd, buffer, sizeof buffer);
            if (n > 0) {
                consoleBack();
                act(device.feed(received(buffer, n)));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (!line.pseudoTerminal)
                throw Failure(QStringLiteral("lecture de %1 impossible : %2.")
                                  .arg(line.path, n < 0 ? systemText(errno) : QStringLiteral("fin")));
        }
        if (line.pseudoTerminal && (pfd.revents & (POLLHUP | POLLIN))) {
            // The console closed its side. The pseudo-terminal reports that until the console opens it
            // again, so wait in short sleeps rather than spinning on it.
            if (!consoleGone) {
                act(device.flush());
                say(QStringLiteral("La console a fermé le port."));
                consoleGone = true;
            }
            ::poll(nullptr, 0, 100);
            pollfd again{line.fd, POLLIN, 0};
            if (::poll(&again, 1, 0) == 0)
                consoleBack();
        }
    }
    act(device.flush());
}
