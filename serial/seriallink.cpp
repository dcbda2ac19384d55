#include "seriallink.h"

#include "failure.h"

#include <QElapsedTimer>
#include <QMetaObject>

namespace {

// Time the line needs to send `bytes` at 9600 baud with 10 bits a byte (start, 8 data, stop).
qint64 lineTimeMs(qsizetype bytes)
{
    return (static_cast<qint64>(bytes) * 10 * 1000 + SerialLink::BaudRate - 1) / SerialLink::BaudRate;
}

constexpr qint64 CloseMarginMs = 500;

} // namespace

QString openFailureMessage(const QString &name, const QString &what)
{
    return QStringLiteral("Impossible d'ouvrir le port %1 : %2.").arg(name, what);
}

SerialLink::SerialLink(QObject *parent) : QObject(parent) {}

SerialLink::~SerialLink()
{
    close();
}

QString SerialLink::devicePath() const
{
    return devicePathForPort(m_portNumber).value_or(QString());
}

QString SerialLink::portName() const
{
    return portDisplayName(m_portNumber);
}

void SerialLink::setPortNumber(PortNumber number)
{
    if (isOpen())
        throw Failure(
            QStringLiteral("Le numéro de port ne peut pas changer pendant que le port %1 est ouvert.")
                .arg(portName()));
    if (!devicePathForPort(number))
        throw Failure(QStringLiteral("Le port numéro %1 n'existe pas : les numéros valides sont %2.")
                          .arg(number)
                          .arg(validPortNumbers()));
    m_portNumber = number;
}

void SerialLink::open()
{
    if (isOpen())
        return;
    m_device = openSerialDevice(devicePath(), portName(), this, this);
    m_lost = false;
    m_deviceFull = false;
    m_unsentAtLoss = 0;
    m_event = NoEvent;
}

void SerialLink::close()
{
    if (!isOpen())
        return;
    const bool drained = m_lost || drainBeforeClose();
    m_device->stopWatching();
    m_device->release(drained);
    m_device.reset();
    m_output.clear();
    m_outputHead = 0;
    m_input.clear(); // nothing reads them now; a later open starts clean
    m_inputHead = 0;
}

bool SerialLink::drainBeforeClose()
{
    QElapsedTimer clock;
    clock.start();
    const qint64 budgetMs = lineTimeMs(outputQueued() + m_device->pendingOutput()) + CloseMarginMs;

    while (outputQueued() > 0 && clock.elapsed() < budgetMs) {
        if (!m_device->waitWritable(budgetMs - clock.elapsed()))
            break;
        try {
            flushOutput();
        } catch (const Failure &) {
            return true; // the line went away: nothing more can go out, nothing is left to drop
        }
    }
    if (outputQueued() > 0)
        return false;
    // Then wait until the device has shifted its own buffer out onto the wire.
    return m_device->waitSent(std::max<qint64>(0, budgetMs - clock.elapsed()));
}

void SerialLink::write(const PortWrite &bytes)
{
    if (!isOpen())
        throw Failure(
            QStringLiteral("Le port %1 n'est pas ouvert : appuyez sur « Connecter » avant d'envoyer.")
                .arg(portName()));
    if (m_lost)
        throw Failure(
            QStringLiteral("La liaison avec le port %1 a été perdue : rien ne peut plus être envoyé.")
                .arg(portName()));
    // Bytes still queued go first: append, and hand the queue to the device when the calling operation
    // returns to the event loop, or at once when a chunk has gathered. One system call then carries a
    // whole frame or a long list instead of one call per byte; on the line the bytes are the same,
    // back to back and in order. While the device is known to be full, it says when it can take more.
    m_output.append(bytes);
    if (m_deviceFull)
        return;
    if (outputQueued() >= FlushChunk) {
        flushToDevice();
        return;
    }
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushPosted = false;
            if (isOpen() && !m_lost && !m_deviceFull)
                flushToDeviceReportingLoss();
        },
        Qt::QueuedConnection);
}

void SerialLink::flushToDevice()
{
    if (!flushOutput()) {
        m_deviceFull = true;
        m_device->notifyWhenWritable();
    }
}

void SerialLink::flushToDeviceReportingLoss()
{
    try {
        flushToDevice();
    } catch (const Failure &) {
        // loseLine() has reported the loss; the next write names it to the user.
    }
}

bool SerialLink::flushOutput()
{
    while (m_outputHead < m_output.size()) {
        QString error;
        const qsizetype n =
            m_device->send(m_output.constData() + m_outputHead, m_output.size() - m_outputHead, &error);
        if (n < 0)
            failOnWrite(error);
        if (n == 0) {
            // Keep the queue from growing without end on a line that is always busy.
            if (m_outputHead > 65536 && m_outputHead * 2 > m_output.size()) {
                m_output.remove(0, m_outputHead);
                m_outputHead = 0;
            }
            return false;
        }
        m_outputHead += n;
    }
    m_output.clear();
    m_outputHead = 0;
    return true;
}

void SerialLink::failOnWrite(const QString &reason)
{
    const QString name = portName();
    loseLine();
    throw Failure(QStringLiteral("L'envoi sur le port %1 a échoué : %2.").arg(name, reason));
}

void SerialLink::writable()
{
    m_deviceFull = false;
    flushToDeviceReportingLoss();
}

void SerialLink::received(const char *bytes, qsizetype count)
{
    const qsizetype before = bytesWaiting();
    m_input.append(bytes, count);
    if (bytesWaiting() > before && bytesWaiting() >= ReceiveThreshold)
        raise(Received);
}

void SerialLink::lost(const QString &)
{
    loseLine();
}

void SerialLink::loseLine()
{
    if (m_lost)
        return;
    m_lost = true;
    // Stop watching the device: a hung-up device stays readable forever and would spin the loop.
    if (m_device)
        m_device->stopWatching();
    m_deviceFull = false;
    m_unsentAtLoss = outputQueued();
    m_output.clear();
    m_outputHead = 0;
    QMetaObject::invokeMethod(
        this, [this] { raise(LineLost); }, Qt::QueuedConnection);
}

void SerialLink::raise(Event event)
{
    m_event = event;
    emit notified();
}

QByteArray SerialLink::read()
{
    const qsizetype count =
        m_readLength > 0 ? std::min<qsizetype>(m_readLength, bytesWaiting()) : bytesWaiting();
    QByteArray bytes = m_input.mid(m_inputHead, count);
    m_inputHead += count;
    if (m_inputHead == m_input.size()) {
        m_input.clear();
        m_inputHead = 0;
    } else if (m_inputHead > 4096 && m_inputHead * 2 > m_input.size()) {
        m_input.remove(0, m_inputHead);
        m_inputHead = 0;
    }
    renotifyIfWaiting();
    return bytes;
}

void SerialLink::renotifyIfWaiting()
{
    if (m_renotifyQueued || bytesWaiting() < ReceiveThreshold)
        return;
    m_renotifyQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_renotifyQueued = false;
            if (bytesWaiting() >= ReceiveThreshold)
                raise(Received);
        },
        Qt::QueuedConnection);
}
