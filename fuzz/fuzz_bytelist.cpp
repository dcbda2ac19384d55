// Fuzz target: the list typed in ListeCar. The reader's one-pass walk is checked against a plain
// reference that splits the text as the console always has (find a space, take what is before it,
// keep what is after it) and converts each value on its own.
#include "bytelist.h"
#include "failure.h"

#include <QString>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// Reference conversion, on the UTF-16 text: decimal digits, or 0x / 0X and hex digits, 0 to 255.
std::optional<int> referenceValue(std::u16string_view text)
{
    auto digit = [](char16_t c, int base) -> int {
        int d = c >= u'0' && c <= u'9'   ? c - u'0'
                : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                         : 99;
        return d < base ? d : -1;
    };
    std::size_t from = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        from = 2;
        base = 16;
    }
    if (from == text.size())
        return std::nullopt;
    long value = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const int d = digit(text[i], base);
        if (d < 0)
            return std::nullopt;
        value = value * base + d;
        if (value > 255)
            return std::nullopt;
    }
    return static_cast<int>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString list =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The reader: the bytes it yields, and where it stopped.
    std::vector<int> sent;
    qsizetype failedAt = 0;
    ByteListReader reader(list);
    try {
        while (!reader.atEnd())
            sent.push_back(reader.next());
    } catch (const Failure &failure) {
        failedAt = reader.position();
        if (failure.message().isEmpty())
            std::abort();
    }

    // The reference walk.
    std::u16string_view rest(reinterpret_cast<const char16_t *>(list.utf16()),
                             static_cast<std::size_t>(list.size()));
    std::vector<int> expected;
    qsizetype expectedFailure = 0;
    for (qsizetype position = 1;; ++position) {
        const std::size_t space = rest.find(u' ');
        const std::u16string_view value = rest.substr(0, space);
        const std::optional<int> byte = referenceValue(value);
        if (!byte) {
            expectedFailure = position;
            break;
        }
        expected.push_back(*byte);
        if (space == std::u16string_view::npos)
            break;
        rest = rest.substr(space + 1);
    }
    if (sent != expected || failedAt != expectedFailure)
        std::abort();
    return 0;
}
