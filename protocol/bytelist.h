// Byte lists: the values typed in the console's ListeCar box, sent one byte per write.
//
// Values are separated by the space character alone; every space separates two values, so a list of
// n spaces holds n + 1 values and an empty text holds one empty value. Any other character, a comma or
// a tab included, belongs to the value text around it. A value is decimal (leading zeros allowed) or
// hexadecimal written 0x1F / 0X1f, and lies in 0 to 255.
//
// ByteListReader walks the list in one pass: next() converts the next value, or throws a Failure that
// names the value's position in the list and its text. The caller sends each value before asking for
// the next one, so the values before a bad one go out and those after it are not reached.
#pragma once

#include "portwrite.h"

#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

// The byte a value text stands for, or nothing when it is empty, not a number or out of range.
std::optional<std::uint8_t> parseByteValue(QStringView text);

// The one-byte write of a value; shared, so that a long list costs no allocation per value.
const PortWrite &singleByteWrite(std::uint8_t value);

class ByteListReader {
public:
    explicit ByteListReader(QStringView list) : m_list(list) {}

    bool atEnd() const { return m_done; }
    // Position (from 1) of the value that next() converts.
    qsizetype position() const { return m_position; }
    std::uint8_t next();

private:
    QStringView m_list;
    qsizetype m_from = 0;
    qsizetype m_position = 1;
    bool m_done = false;
};
