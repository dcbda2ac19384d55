// Fuzz target: the text of the Com box. Whatever it accepts must be a plain decimal number in range
// that reads back as itself; whatever it refuses must come with a message.
#include "failure.h"
#include "portmapping.h"

#include <QString>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    try {
        const PortNumber number = parsePortText(text);
        // Accepted: a sign and ASCII digits once trimmed, whose value is the number.
        QString digits = text.trimmed();
        bool negative = false;
        if (digits.startsWith(u'+') || digits.startsWith(u'-')) {
            negative = digits.front() == u'-';
            digits.remove(0, 1);
        }
        long long value = 0;
        for (QChar c : digits) {
            if (c < u'0' || c > u'9')
                std::abort();
            value = std::min(value * 10 + (c.unicode() - u'0'), 1LL << 40);
        }
        if ((negative ? -value : value) != number)
            std::abort();
        if (parsePortText(QString::number(number)) != number)
            std::abort();
        (void)devicePathForPort(number);
    } catch (const Failure &failure) {
        if (failure.message().isEmpty())
            std::abort();
    }
    return 0;
}
