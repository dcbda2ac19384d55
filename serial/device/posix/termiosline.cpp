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
    // A break (a cable plugged in, a device powering down, a floating input) and a byte with a framing
    // or parity error are not data (see the header). Real 0x00 bytes still come.
    tio.c_iflag |= IGNBRK | INPCK | IGNPAR | PARMRK;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return LineSetupFailure{QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), errno};
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != B9600 ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8 ||
        (applied.c_iflag & (IGNBRK | INPCK | IGNPAR | PARMRK | IXON | IXOFF)) !=
            (IGNBRK | INPCK | IGNPAR | PARMRK))
        return LineSetupFailure{QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"),
                                0};
    return std::nullopt;
}

QByteArray MarkedInput::decode(const char *bytes, qsizetype count)
{
    QByteArray data;
    data.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const char c = bytes[i];
        switch (m_pending) {
        case 0:
            if (c == '\xff')
                m_pending = 1;
            else
                data.append(c);
            break;
        case 1:
            m_pending = 0;
            if (c == '\xff')
                data.append(c);
            else if (c == '\0')
                m_pending = 2;
            else // not a mark the line discipline makes: keep both bytes
                data.append('\xff').append(c);
            break;
        default:
            m_pending = 0;
            ++m_badBytes; // with IGNBRK, a break is never marked: 0xFF 0x00 0x00 is a bad 0x00
            break;
        }
    }
    return data;
}
