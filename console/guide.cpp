#include "guide.h"

#include <QDir>
#include <QFileInfo>

QStringList guidePlaces(const QString &programDir)
{
    const QDir dir(programDir);
    return {QDir::cleanPath(dir.filePath(QStringLiteral("guide.html"))),
            QDir::cleanPath(dir.filePath(QStringLiteral("../share/doc/liaison-serie/guide.html")))};
}

QString findGuide(const QString &programDir)
{
    for (const QString &place : guidePlaces(programDir))
        if (QFileInfo(place).isFile())
            return place;
    return {};
}
