// The technician's guide: one HTML page installed with the console, which F1 opens in the system's
// browser. It lies beside the program on Windows (and in the build tree), and in the package's
// documentation folder on Linux; both places are looked for from the program's own folder, so a console
// installed under any prefix finds its own guide.
#pragma once

#include <QString>
#include <QStringList>

// Where the guide may lie for a program in programDir, in the order they are looked in.
QStringList guidePlaces(const QString &programDir);

// The first of those places that holds the guide, or an empty string when none does.
QString findGuide(const QString &programDir);
