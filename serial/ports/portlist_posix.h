// The serial ports that a Linux sysfs tree shows: the kernel's tty devices that are real serial ports
// (a ttyS with a UART behind it, every ttyUSB and ttyACM), numbered as the Com box numbers them, with the
// product name of the USB device behind them where the kernel has one. Pseudo-terminals and virtual
// consoles are not serial ports. Only sysfs is read: no port is opened.
#pragma once

#include "portlist.h"

// `sysfsRoot` is "/sys" on a running system; tests lay out a tree of their own. Nothing when the tree
// has no class/tty to read.
PortListing serialPortsInSysfs(const QString &sysfsRoot);
