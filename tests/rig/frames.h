// The thirteen call buttons and the frames they must put on the line, written out byte by byte: the
// one table that the frame, decoder and end-to-end tests all check against.
#pragma once

#include <QByteArray>
#include <QString>

struct ButtonFrame {
    const char *button; // the button's object name
    int index;          // its place in its group's array, -1 for Prof
    const char *writes; // the writes as hex blocks separated by '|', exactly as they reach the link
    const char *named;  // how the simulator names the frame

    QByteArray bytes() const { return QByteArray::fromHex(QByteArray(writes).replace('|', "")); }
    // The simulator's line for the frame.
    QString decoded() const { return QString::fromLatin1(bytes().toHex(' ').toUpper()) + "  " + named; }
};

// In the order of the console's list of call buttons: groups by code, members by index.
inline constexpr ButtonFrame buttonFrames[] = {
    {"Administration", 0, "01|02|0000|0400", "Administration 00 Proviseur"},
    {"Administration", 1, "01|02|0001|0400", "Administration 01 Proviseur adjoint"},
    {"Administration", 2, "01|02|0002|0400", "Administration 02 Secrétaire"},
    {"Administration", 3, "01|02|0003|0400", "Administration 03 Comptabilité"},
    {"Prof", -1, "01|01|01|0400", "Prof Professeur"},
    {"Entretien", 0, "01|02|0200|0400", "Entretien 00 Ménage"},
    {"Entretien", 1, "01|02|0201|0400", "Entretien 01 Maintenance"},
    {"Eleves", 0, "01|02|0300|0400", "Elèves 00 Seconde"},
    {"Eleves", 1, "01|02|0301|0400", "Elèves 01 Première"},
    {"Eleves", 2, "01|02|0302|0400", "Elèves 02 Terminale"},
    {"Eleves", 3, "01|02|0303|0400", "Elèves 03 BTS"},
    {"Eleves", 4, "01|02|0304|0400", "Elèves 04 BEP"},
    {"Eleves", 5, "01|02|0305|0400", "Elèves 05 Bac Pro"},
};

// "Prof" or "Eleves 3": the row name of a button's case.
inline QByteArray rowName(const ButtonFrame &f)
{
    return f.index < 0 ? QByteArray(f.button) : f.button + QByteArray(" ") + QByteArray::number(f.index);
}
