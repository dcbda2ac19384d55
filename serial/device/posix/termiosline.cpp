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
    // or parity error are not data: dropped, each flag as the header says. Real 0x00 bytes still come,
    // and a real 0xFF comes doubled.
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
        if (!m_afterFF && c == '\xff') {
            m_afterFF = true;
            continue;
        }
        if (m_afterFF && c != '\xff')
            data.append('\xff');
        m_afterFF = false;
        data.append(c);
    }
    return data;
}
