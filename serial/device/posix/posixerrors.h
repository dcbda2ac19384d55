// What Linux adds to the table of error codes: the group that a refused user lacks is the device
// node's own (dialout on Debian, uucp elsewhere).
#pragma once

#include <QString>

// "accès refusé (l'utilisateur doit appartenir au groupe dialout, celui de /dev/ttyUSB0)", or plain
// "accès refusé" when the node's group cannot be told.
QString accessRefusedText(const QString &devicePath);
