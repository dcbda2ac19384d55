// The serial ports present on Windows: SetupAPI's Ports class (the Device Manager's list, with its
// friendly names), then the registry's SERIALCOMM (every port a serial driver has made), then the DOS
// device names COMn. Each source is read as the system gives it; mergeComPortSources() takes every port
// once, named by the most trusted source that names it.
#include "portlist.h"

#include <QVarLengthArray>

// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

namespace {

QString fromWide(const wchar_t *text, qsizetype maxChars)
{
    qsizetype length = 0;
    while (length < maxChars && text[length] != L'\0')
        ++length;
    return QString::fromWCharArray(text, length);
}

// A string value of an open registry key; empty when it has none.
QString registryString(HKEY key, const wchar_t *name)
{
    wchar_t buffer[256];
    DWORD type = 0;
    DWORD bytes = sizeof buffer;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    // The stored string need not end with its terminator.
    return fromWide(buffer, bytes / sizeof(wchar_t));
}

QString deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA *device, DWORD property)
{
    wchar_t buffer[256];
    DWORD type = 0;
    DWORD bytes = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(devices, device, property, &type, reinterpret_cast<BYTE *>(buffer),
                                           sizeof buffer, &bytes) ||
        type != REG_SZ)
        return {};
    return fromWide(buffer, std::min<qsizetype>(bytes / sizeof(wchar_t), std::size(buffer)));
}

// The Ports class holds the present COM and LPT ports; the merge keeps the COM ones.
QList<ComPortRecord> setupApiPorts()
{
    QList<ComPortRecord> records;
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return records;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key =
            SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const QString portName = registryString(key, L"PortName");
        RegCloseKey(key);
        QString friendly = deviceProperty(devices, &device, SPDRP_FRIENDLYNAME);
        if (friendly.isEmpty())
            friendly = deviceProperty(devices, &device, SPDRP_DEVICEDESC);
        records.append({portName, friendly});
    }
    SetupDiDestroyDeviceInfoList(devices);
    return records;
}

// HARDWARE\DEVICEMAP\SERIALCOMM: one value a port, its data the port name.
QList<ComPortRecord> serialCommPorts()
{
    QList<ComPortRecord> records;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return records;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = std::size(name);
        wchar_t data[64];
        DWORD type = 0;
        DWORD bytes = sizeof data;
        const LONG status =
            RegEnumValueW(key, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE *>(data), &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ)
            records.append({fromWide(data, bytes / sizeof(wchar_t)), QString()});
        // A value too long for a port name (ERROR_MORE_DATA) names no port: the next one is read.
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            break;
    }
    RegCloseKey(key);
    return records;
}

// Every DOS device name, kept when it is a COMn.
QList<ComPortRecord> dosDevicePorts()
{
    QList<ComPortRecord> records;
    QVarLengthArray<wchar_t, 16384> names(16384);
    DWORD chars = 0;
    // The list of every device name can be long: grow until it fits, within reason.
    while ((chars = QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()))) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1 << 22))
            return records;
        names.resize(names.size() * 4);
    }
    for (const wchar_t *name = names.data(); name < names.data() + chars && *name != L'\0';) {
        const QString text = fromWide(name, names.data() + chars - name);
        if (comPortNumber(text))
            records.append({text, QString()});
        name += text.size() + 1;
    }
    return records;
}

} // namespace

PortListing listSerialPorts()
{
    return mergeComPortSources({setupApiPorts(), serialCommPorts(), dosDevicePorts()});
}
