// liaison-sim: plays the device at the other end of the console's serial line.
//
// It opens a fresh pseudo-terminal (or, with --port, a real serial port at 9600 8N1), prints the
// number to type in the console's "Com" box, then one line for each call frame it receives and for
// each run of bytes that form no frame. It answers every call frame with three bytes. It keeps running
// while the console closes and reopens the port, and ends on Ctrl+C.
#include "failure.h"
#include "portmapping.h"
#include "simdevice.h"
#include "simline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <unistd.h>

namespace {

// Written by the signal handler, so a global of this very type.
volatile std::sig_atomic_t stopRequested = 0; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

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
    std::exit(2); // NOLINT(concurrency-mt-unsafe): the simulator runs on one thread
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

    SimAnswers answers;
    answers.enabled = !parser.isSet(noReplyOption);
    if (parser.isSet(replyOption)) {
        try {
            answers.fixed = SimulatedDevice::parseFixedAnswer(parser.value(replyOption));
        } catch (const Failure &failure) {
            die(failure.message());
        }
    }
    SimLine line;
    try {
        line = parser.isSet(portOption) ? openSimPort(parser.value(portOption)) : openSimPseudoTerminal();
    } catch (const Failure &failure) {
        die(failure.message());
    }

    const std::optional<PortNumber> number = portNumberForDevice(line.path);
    say(number ? QStringLiteral("Port %1 (%2) : tapez %1 dans la case Com de la console.")
                     .arg(*number)
                     .arg(line.path)
               : QStringLiteral("Port %1 : aucun numéro de la console ne le désigne.").arg(line.path));

    struct sigaction action {};
    action.sa_handler = requestStop;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    SimulatedDevice device(answers);
    try {
        runSimLine(line, device, say, stopRequested);
    } catch (const Failure &failure) {
        die(failure.message());
    }
    say(QStringLiteral("Simulateur arrêté."));
    ::close(line.fd);
    return 0;
}
