#include "termiosline.h"

#include <cerrno>
#include <termios.h>

std::optional<LineSetupFailure> setUpLine(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return LineSetupFailure{QStringLiteral("ce n'est pas un port série"), 0};
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // A break (a cable plugged in, a device powering down, a floating input) is dropped; a byte with a
    // framing or parity error is marked in place (0xFF 0x00 x), so that its error is known where it came.
    // Real 0x00 bytes still come, and a real 0xFF comes doubled.
    tio.c_iflag &= ~IGNPAR;
    tio.c_iflag |= IGNBRK | INPCK | PARMRK;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return LineSetupFailure{QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), errno};
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != B9600 ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8 ||
        (applied.c_iflag & (IGNBRK | INPCK | IGNPAR | PARMRK | IXON | IXOFF)) != (IGNBRK | INPCK | PARMRK))
        return LineSetupFailure{QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"),
                                0};
    return std::nullopt;
}

QList<MarkedInput::Piece> MarkedInput::decode(const char *bytes, qsizetype count)
{
    QList<Piece> pieces;
    const auto whole = [&pieces](char c) {
        if (pieces.isEmpty() || pieces.last().spoiled)
            pieces.append(Piece{});
        pieces.last().bytes.append(c);
    };
    for (qsizetype i = 0; i < count; ++i) {
        const char c = bytes[i];
        switch (m_marked) {
        case 0:
            if (c == '\xff')
                m_marked = 1;
            else
                whole(c);
            break;
        case 1:
            m_marked = c == '\0' ? 2 : 0;
            if (c == '\xff')
                whole(c);
            else if (c != '\0') {
                whole('\xff');
                whole(c);
            }
            break;
        default:
            m_marked = 0;
            pieces.append(Piece{QByteArray(1, c), true});
            break;
        }
    }
    return pieces;
}

QByteArray MarkedInput::wholeBytes(const char *bytes, qsizetype count)
{
    QByteArray data;
    for (const Piece &piece : decode(bytes, count))
        if (!piece.spoiled)
            data += piece.bytes;
    return data;
}
