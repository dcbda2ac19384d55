// liaison-sim: plays the device at the other end of the console's serial line.
//
// It opens a fresh pseudo-terminal (or, with --port, a real serial port at 9600 8N1), prints the
// number to type in the console's "Com" box, then one line for each call frame it receives and for
// each run of bytes that form no frame. It answers every call frame with three bytes. It keeps running
// while the console closes and reopens the port, and ends on Ctrl+C.
#include "bytelist.h"
#include "failure.h"
#include "framedecoder.h"
#include "portmapping.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void say(const QString &line)
{
    out() << line << Qt::endl; // flushed at once: the output is often a pipe
}

[[noreturn]] void die(const QString &message)
{
    QTextStream(stderr) << "liaison-sim : " << message << Qt::endl;
    std::exit(2);
}

// Raw 9600 8N1, no flow control: the console's line settings.
void setRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
}

struct Line {
    int fd = -1;
    QString path;
    bool pseudoTerminal = false;
};

Line openPseudoTerminal()
{
    Line line;
    line.pseudoTerminal = true;
    line.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0 || ::grantpt(line.fd) != 0 || ::unlockpt(line.fd) != 0)
        die(QStringLiteral("impossible de créer un pseudo-terminal (%1).")
                .arg(QString::fromLocal8Bit(strerror(errno))));
    line.path = QString::fromLocal8Bit(::ptsname(line.fd));
    setRaw(line.fd); // on the master, this sets the side the console opens
    return line;
}

Line openPort(const QString &path)
{
    Line line;
    line.path = path;
    line.fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0)
        die(QStringLiteral("impossible d'ouvrir %1 (%2).")
                .arg(path, QString::fromLocal8Bit(strerror(errno))));
    setRaw(line.fd);
    return line;
}

// The answer to a frame: the fixed reply if one was given, else group, member (0 for Prof), 255.
QByteArray answerFor(const DecodedItem &frame, const std::optional<QByteArray> &fixed)
{
    if (fixed)
        return *fixed;
    QByteArray answer;
    answer.append(static_cast<char>(frame.group));
    answer.append(static_cast<char>(frame.member < 0 ? 0 : frame.member));
    answer.append(static_cast<char>(0xff));
    return answer;
}

std::optional<QByteArray> parseReply(const QString &text)
{
    QByteArray reply;
    try {
        ByteListReader values(text);
        while (!values.atEnd())
            reply.append(static_cast<char>(values.next()));
    } catch (const Failure &failure) {
        die(QStringLiteral("--reply : %1").arg(failure.message()));
    }
    if (reply.size() != 3)
        die(QStringLiteral("--reply attend trois octets, par exemple \"1 2 255\" ; « %1 » en donne %2.")
                .arg(text)
                .arg(reply.size()));
    return reply;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("liaison-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simule l'appareil au bout de la liaison série de la console « Test liaison série ».\n\n"
        "Sans option, ouvre un nouveau pseudo-terminal et affiche le numéro à taper dans la case Com de la\n"
        "console (100 + k pour /dev/pts/k). Affiche ensuite une ligne par trame d'appel reçue (octets en\n"
        "hexadécimal, groupe, membre et rôle) et par suite d'octets hors trame, et répond à chaque trame "
        "par\n"
        "trois octets : code du groupe, index du membre (0 pour Prof), 255. Continue quand la console ferme\n"
        "puis rouvre le port ; s'arrête sur Ctrl+C."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Joue l'appareil sur un vrai port série (9600 bauds 8N1) "
                       "au lieu d'un pseudo-terminal."),
        QStringLiteral("périphérique"));
    const QCommandLineOption replyOption(
        QStringLiteral("reply"),
        QStringLiteral("Répond toujours ces trois octets, par exemple \"1 2 255\" "
                       "(décimal, ou hexadécimal 0x1F)."),
        QStringLiteral("octets"));
    const QCommandLineOption noReplyOption(QStringLiteral("no-reply"),
                                           QStringLiteral("Ne répond pas aux trames."));
    parser.addOptions({portOption, replyOption, noReplyOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        die(QStringLiteral("argument inattendu « %1 » (voir --help).")
                .arg(parser.positionalArguments().first()));
    if (parser.isSet(replyOption) && parser.isSet(noReplyOption))
        die(QStringLiteral("--reply et --no-reply s'excluent."));

    const bool reply = !parser.isSet(noReplyOption);
    const std::optional<QByteArray> fixedReply =
        parser.isSet(replyOption) ? parseReply(parser.value(replyOption)) : std::nullopt;
    const Line line = parser.isSet(portOption) ? openPort(parser.value(portOption)) : openPseudoTerminal();

    const std::optional<PortNumber> number = portNumberForDevice(line.path);
    say(number ? QStringLiteral("Port %1 (%2) : tapez %1 dans la case Com de la console.")
                     .arg(*number)
                     .arg(line.path)
               : QStringLiteral("Port %1 : aucun numéro de la console ne le désigne.").arg(line.path));

    struct sigaction action {};
    action.sa_handler = requestStop;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    FrameDecoder decoder;
    bool consoleGone = false;   // the console closed its side of the pseudo-terminal
    constexpr int IdleMs = 150; // bytes left undecided this long are reported as they are

    auto report = [&](const QList<DecodedItem> &items) {
        for (const DecodedItem &item : items) {
            say(item.describe());
            if (item.kind == DecodedItem::Frame && reply) {
                const QByteArray answer = answerFor(item, fixedReply);
                if (::write(line.fd, answer.constData(), static_cast<size_t>(answer.size())) != answer.size())
                    say(QStringLiteral("(réponse non envoyée : %1)")
                            .arg(QString::fromLocal8Bit(strerror(errno))));
            }
        }
    };

    while (!stopRequested) {
        pollfd pfd{line.fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, decoder.hasPending() ? IdleMs : -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            die(QStringLiteral("poll : %1").arg(QString::fromLocal8Bit(strerror(errno))));
        }
        if (ready == 0) {
            report(decoder.flush());
            continue;
        }
        if (pfd.revents & POLLIN) {
            char buffer[4096];
            const ssize_t n = ::read(line.fd, buffer, sizeof buffer);
            if (n > 0) {
                if (consoleGone) {
                    say(QStringLiteral("La console a rouvert le port."));
                    consoleGone = false;
                }
                report(decoder.feed(QByteArrayView(buffer, n)));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (!line.pseudoTerminal)
                die(QStringLiteral("lecture de %1 impossible : %2.")
                        .arg(line.path,
                             n < 0 ? QString::fromLocal8Bit(strerror(errno)) : QStringLiteral("fin")));
        }
        if (line.pseudoTerminal && (pfd.revents & (POLLHUP | POLLIN))) {
            // The console closed its side. The pseudo-terminal reports that until the console opens it
            // again, so wait in short sleeps rather than spinning on it.
            if (!consoleGone) {
                report(decoder.flush());
                say(QStringLiteral("La console a fermé le port."));
                consoleGone = true;
            }
            ::poll(nullptr, 0, 100);
            pollfd again{line.fd, POLLIN, 0};
            if (::poll(&again, 1, 0) == 0 && consoleGone) {
                say(QStringLiteral("La console a rouvert le port."));
                consoleGone = false;
            }
        }
    }
    report(decoder.flush());
    say(QStringLiteral("Simulateur arrêté."));
    ::close(line.fd);
    return 0;
}
