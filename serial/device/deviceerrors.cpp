#include "deviceerrors.h"

#include <algorithm>

const SystemErrorMeaning *systemErrorMeaning(int code)
{
    const std::span<const SystemErrorMeaning> table = systemErrorTable();
    const auto row = std::find_if(table.begin(), table.end(),
                                  [code](const SystemErrorMeaning &meaning) { return meaning.code == code; });
    return row == table.end() ? nullptr : &*row;
}

OpenFailure::Cause openErrorCause(int code)
{
    const SystemErrorMeaning *meaning = systemErrorMeaning(code);
    return meaning ? meaning->cause : OpenFailure::Other;
}

QString openErrorText(int code)
{
    const SystemErrorMeaning *meaning = systemErrorMeaning(code);
    return meaning && !meaning->openText.isEmpty() ? meaning->openText.toString() : systemErrorText(code);
}

DeviceError ioError(int code)
{
    const SystemErrorMeaning *meaning = systemErrorMeaning(code);
    if (meaning && meaning->gone)
        return {DeviceText::Gone.toString(), true};
    return {meaning && !meaning->ioText.isEmpty() ? meaning->ioText.toString() : systemErrorText(code),
            false};
}

QString openFailureMessage(const QString &name, const QString &what)
{
    return QStringLiteral("Impossible d'ouvrir le port %1 : %2.").arg(name, what);
}

OpenFailure openFailureFor(const QString &name, int code)
{
    return OpenFailure(openErrorCause(code), openFailureMessage(name, openErrorText(code)));
}
