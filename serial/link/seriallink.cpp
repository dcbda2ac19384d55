#include "seriallink.h"

#include "bounded.h"
#include "eventloop.h"
#include "failure.h"
#include "portlist.h"
#include "portmapping.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Time the line needs to send `bytes` at 9600 baud with 10 bits a byte (start, 8 data, stop).
qint64 lineTimeMs(qsizetype bytes)
{
    return (static_cast<qint64>(bytes) * 10 * 1000 + SerialLink::BaudRate - 1) / SerialLink::BaudRate;
}

qint64 lineTimeUs(qsizetype bytes)
{
    return static_cast<qint64>(bytes) * 10 * 1000 * 1000 / SerialLink::BaudRate;
}

// What the close allows beyond the line time of the bytes still to go: the device's own release and
// the scheduling of a loaded machine.
constexpr qint64 CloseMarginMs = 500;
// Once the driver says everything has left, the last bytes may still sit in the UART's FIFO or in a USB
// adapter's buffer, and the final close lowers DTR (some devices reset on it): wait for them to go, as
// long as their line time says, up to this.
constexpr qint64 LastBytesPauseMs = 50;

} // namespace

SerialLink::SerialLink(QObject *parent, SerialDeviceFactory makeDevice)
    : QObject(parent), m_makeDevice(std::move(makeDevice))
{
    m_clock.start();
    // Coarse: a second's silence needs no precision, and Windows may then coalesce it with other timers.
    m_silence.setSingleShot(true);
    m_silence.setTimerType(Qt::CoarseTimer);
    connect(&m_silence, &QTimer::timeout, this, [this] { onSilence(); });
}

SerialLink::~SerialLink()
{
    // Nobody is left to tell a loss to: the link only lets the bytes go and releases the port.
    try {
        close();
    } catch (...) {
        // A destructor lets nothing out.
    }
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
        throw Failure(
            withPresentPorts(QStringLiteral("Le port numéro %1 n'existe pas : les numéros valides sont %2.")
                                 .arg(number)
                                 .arg(validPortNumbers())));
    m_portNumber = number;
}

void SerialLink::open()
{
    if (m_state != State::Closed)
        return;
    std::unique_ptr<SerialDevice> device = m_makeDevice(devicePath(), portName(), this, this);
    m_state = State::Opening;
    // Whatever ends the open here (a failure, an abandon) leaves the link closed.
    auto stayClosed = qScopeGuard([this] { m_state = State::Closed; });
    try {
        if (!openBesideTheEventLoop(device))
            return;
    } catch (const OpenFailure &failure) {
        // The ports present tell the user which number to type instead.
        if (failure.cause() == OpenFailure::Other)
            throw;
        throw OpenFailure(failure.cause(), withPresentPorts(failure.message()));
    }
    m_lostReason.clear();
    m_deviceFull = false;
    m_unsentAtLoss = 0;
    m_lineFreeAtUs = 0;
    m_event = NoEvent;
    m_input.clear();
    m_inputHead = 0;
    m_inputRead = 0;
    m_notices.clear();
    m_stretch = {};
    // Watched only once the link holds it: no event can reach the link before open() returns.
    device->start();
    m_device = std::move(device);
    m_state = State::Open;
    stayClosed.dismiss();
}

bool SerialLink::openBesideTheEventLoop(std::unique_ptr<SerialDevice> &device)
{
    // Opening can take seconds (a Bluetooth port connects, a sleeping USB device wakes): it runs on a
    // thread of its own while this one goes on with the event loop, the window's close request included,
    // which abandons the open. What else the event loop hands out meanwhile is the caller's business.
    struct Job {
        std::mutex mutex;
        bool done = false;
        bool abandoned = false;
        std::exception_ptr error;
        std::unique_ptr<SerialDevice> device;
        QAbstractEventDispatcher *dispatcher = nullptr;
    };
    auto job = std::make_shared<Job>();
    job->dispatcher = QAbstractEventDispatcher::instance();
    if (!job->dispatcher) {
        device->open();
        return true;
    }
    job->device = std::move(device);
    try {
        runBeside([job] {
            std::exception_ptr error;
            try {
                job->device->open();
            } catch (...) {
                error = std::current_exception();
            }
            std::unique_ptr<SerialDevice> orphan;
            {
                const std::lock_guard lock(job->mutex);
                job->done = true;
                job->error = error;
                if (job->abandoned)
                    orphan = std::move(job->device); // nobody waits for it: closed again, here
                else
                    job->dispatcher->wakeUp();
            }
        });
    } catch (const std::system_error &) {
        device = std::move(job->device);
        device->open(); // no thread to spare: open here
        return true;
    }
    for (;;) {
        {
            const std::lock_guard lock(job->mutex);
            if (job->done)
                break;
            if (m_state != State::Opening) {
                job->abandoned = true;
                return false;
            }
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    device = std::move(job->device);
    // A close that came as the open ended wins, whatever became of the open: the user closed the window.
    if (m_state != State::Opening) {
        device.reset();
        return false;
    }
    if (job->error)
        std::rethrow_exception(job->error);
    return true;
}

void SerialLink::close()
{
    if (m_state == State::Opening) {
        m_state = State::Closed; // the open in progress is closed again once it ends
        return;
    }
    if (m_state != State::Open && m_state != State::Lost)
        return;
    // A lost line sends nothing more: what it still held is dropped (and was counted at the loss).
    bool drained = false;
    bool lostClosing = false;
    if (m_state == State::Open) {
        m_state = State::Closing;
        drained = drainBeforeClose();
        lostClosing = m_state == State::Lost;
    }
    m_device->stopWatching();
    m_device->release(drained);
    m_device.reset();
    // What the stretch under way left is told like any notice; the answers waiting go with the port.
    endStretch();
    m_state = State::Closed;
    m_output.clear();
    m_outputHead = 0;
    m_input.clear();
    m_inputHead = 0;
    // Lost while the close let the bytes go: those that never will are said, as at any other loss.
    if (lostClosing && m_unsentAtLoss > 0)
        throw Failure(lostLineMessage());
}

bool SerialLink::drainBeforeClose()
{
    QElapsedTimer clock;
    clock.start();
    // From the bytes the link itself handed over, not from what the driver reports: some drivers
    // over-report their queue, which would make the close wait for nothing.
    const qint64 budgetMs = lineTimeMs(outputQueued()) + lineBusyForMs() + CloseMarginMs;

    while (outputQueued() > 0 && clock.elapsed() < budgetMs) {
        if (!m_device->waitWritable(budgetMs - clock.elapsed())) {
            // Before its time: the device cannot take bytes any more (hung up).
            if (clock.elapsed() < budgetMs)
                loseLine({DeviceText::Gone.toString(), true});
            break;
        }
        try {
            flushOutput();
        } catch (const Failure &) {
            return false; // the line went away: nothing more can go out
        }
    }
    if (outputQueued() > 0 || m_state == State::Lost)
        return false;
    // Then wait until the device has shifted its own buffer out onto the wire.
    if (!m_device->waitSent(std::max<qint64>(0, budgetMs - clock.elapsed())))
        return false;
    const qint64 pauseMs =
        std::min({lineBusyForMs(), LastBytesPauseMs, std::max<qint64>(0, budgetMs - clock.elapsed())});
    if (pauseMs > 0) {
        QElapsedTimer pause;
        pause.start();
        for (qint64 left = pauseMs; left > 0; left = pauseMs - pause.elapsed())
            QThread::msleep(static_cast<unsigned long>(left));
    }
    return true;
}

void SerialLink::noteHandedToDevice(qsizetype bytes)
{
    const qint64 nowUs = m_clock.nsecsElapsed() / 1000;
    m_lineFreeAtUs = std::max(m_lineFreeAtUs, nowUs) + lineTimeUs(bytes);
}

qint64 SerialLink::lineBusyForMs() const
{
    const qint64 leftUs = m_lineFreeAtUs - m_clock.nsecsElapsed() / 1000;
    return leftUs > 0 ? (leftUs + 999) / 1000 : 0;
}

void SerialLink::write(const PortWrite &bytes)
{
    if (!isOpen())
        throw Failure(
            QStringLiteral("Le port %1 n'est pas ouvert : appuyez sur « Connecter » avant d'envoyer.")
                .arg(portName()));
    if (m_state == State::Lost)
        throw Failure(lostLineMessage());
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
    postToEventLoop(this, [this] {
        m_flushPosted = false;
        if (lineWorks() && !m_deviceFull)
            flushToDeviceReportingLoss();
    });
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
        DeviceError error;
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
        noteHandedToDevice(n);
    }
    m_output.clear();
    m_outputHead = 0;
    return true;
}

void SerialLink::failOnWrite(const DeviceError &error)
{
    loseLine(error);
    // A device that has gone is a lost line, whichever call noticed it first.
    if (error.gone)
        throw Failure(lostLineMessage());
    throw Failure(QStringLiteral("L'envoi sur le port %1 a échoué : %2.").arg(portName(), error.reason));
}

QString SerialLink::lostLineMessage() const
{
    if (m_unsentAtLoss > 0)
        return QStringLiteral("La liaison avec le port %1 a été perdue (%2) : au moins %3 octet(s) déjà "
                              "écrit(s) n'ont pas pu être envoyés.")
            .arg(portName(), m_lostReason)
            .arg(m_unsentAtLoss);
    return QStringLiteral("La liaison avec le port %1 a été perdue (%2) : rien ne peut plus être envoyé.")
        .arg(portName(), m_lostReason);
}

void SerialLink::writable()
{
    m_deviceFull = false;
    flushToDeviceReportingLoss();
}

void SerialLink::received(const char *bytes, qsizetype count)
{
    if (count <= 0)
        return;
    enterStretch(m_clock.elapsed());
    if (m_stretch.spoiled) {
        keepWhole(bytes, count);
    } else if (bytesWaiting() + count > MaxWaiting) {
        // Nobody reads (an answer box stays open) and the device sends without end: these bytes and the
        // rest of the stretch are lost, as in a full buffer, rather than memory growing.
        LineErrors full;
        full.bufferOverrun = int(std::min<qsizetype>(count, std::numeric_limits<int>::max()));
        spoilStretch(full);
        m_stretch.told.received += count;
    } else {
        m_input.append(bytes, count);
    }
    armSilence();
    // From the event loop: the device may still be delivering what it read with these bytes.
    renotifyIfWaiting();
}

void SerialLink::lost(const DeviceError &error)
{
    loseLine(error);
}

void SerialLink::lineErrors(const LineErrors &errors, const char * /*spoiled*/, qsizetype count)
{
    const qint64 now = m_clock.elapsed();
    if (count > 0) {
        // Spoiled bytes are the line's bytes all the same: they begin or go on a stretch, and spoil it.
        enterStretch(now);
        spoilStretch(errors);
        m_stretch.told.received += count;
    } else if (m_stretch.open && (m_stretch.ending || now - m_stretch.lastMs < SilenceMs)) {
        spoilStretch(errors);
    } else {
        // No stretch under way: these errors came while the line was silent, and are told on their own,
        // so that the answer read with them (a driver counts without flagging) starts clean.
        endStretch();
        if (!m_notices.empty() && m_notices.back().ofSilence && m_notices.back().at == receivedTotal()) {
            m_notices.back().notice.errors += errors; // one notice for one silence, however many errors
        } else {
            LineNotice notice;
            notice.errors = errors;
            addNotice(notice, true);
        }
    }
    armSilence();
    renotifyIfWaiting();
}

void SerialLink::enterStretch(qint64 nowMs)
{
    if (m_stretch.open && nowMs - m_stretch.lastMs >= SilenceMs)
        endStretch();
    if (!m_stretch.open) {
        const quint64 serial = m_stretch.serial + 1;
        m_stretch = {};
        m_stretch.open = true;
        m_stretch.serial = serial;
        m_stretch.begin = receivedTotal();
    }
    m_stretch.lastMs = nowMs;
}

void SerialLink::spoilStretch(const LineErrors &errors)
{
    m_stretch.told.errors += errors;
    if (m_stretch.spoiled)
        return;
    m_stretch.spoiled = true;
    // The answers completed before the error stay; the one under way leaves the queue with the error.
    const QByteArray cut = takeAnswerUnderWay();
    keepWhole(cut.constData(), cut.size());
}

qsizetype SerialLink::answerUnderWay() const
{
    return std::min<qsizetype>((receivedTotal() - m_stretch.begin) % ReceiveThreshold, bytesWaiting());
}

QByteArray SerialLink::takeAnswerUnderWay()
{
    const qsizetype length = answerUnderWay();
    QByteArray bytes = m_input.right(length);
    m_input.chop(length);
    return bytes;
}

void SerialLink::keepWhole(const char *bytes, qsizetype count)
{
    LineNotice &told = m_stretch.told;
    told.received += count;
    told.wholeCount += count;
    told.whole.append(bytes, std::min(count, LineNotice::MaxShown - told.whole.size()));
}

void SerialLink::endStretch()
{
    if (!m_stretch.open)
        return;
    m_stretch.open = false;
    m_stretch.ending = false;
    m_silence.stop();
    if (!m_stretch.spoiled) {
        // One or two bytes with no silence between them and the rest: an answer cut short, or bytes that
        // are no answer (a device's chatter as it starts, a glitch). They go, so that the next answer
        // starts clean.
        const QByteArray left = takeAnswerUnderWay();
        if (left.isEmpty())
            return;
        keepWhole(left.constData(), left.size());
    }
    addNotice(m_stretch.told);
}

void SerialLink::armSilence()
{
    // Only a stretch that has something to tell at its end needs its silence heard: an idle line, or one
    // whose answers came whole, runs no timer.
    const bool toTell = m_stretch.open && (m_stretch.spoiled || answerUnderWay() > 0);
    if (!toTell) {
        m_silence.stop();
        return;
    }
    const qint64 left = SilenceMs - (m_clock.elapsed() - m_stretch.lastMs);
    // Never under 20 ms: Windows runs shorter timers on a multimedia timer for the whole PC.
    m_silence.start(int(std::clamp<qint64>(left, 25, SilenceMs)));
}

void SerialLink::onSilence()
{
    if (!m_stretch.open)
        return;
    if (m_clock.elapsed() - m_stretch.lastMs < SilenceMs) {
        armSilence(); // a coarse timer may come a little early
        return;
    }
    // Errors a driver counted without a byte, up to now, are this stretch's: the device reports them
    // before what is posted next.
    m_stretch.ending = true;
    if (lineWorks())
        m_device->checkLineErrors();
    postToEventLoop(this, [this, serial = m_stretch.serial] {
        if (m_stretch.open && m_stretch.serial == serial && m_stretch.ending) {
            endStretch();
            raiseForHead();
        }
    });
}

void SerialLink::addNotice(const LineNotice &notice, bool ofSilence)
{
    m_notices.push_back({receivedTotal(), notice, ofSilence});
}

SerialLink::Event SerialLink::headEvent() const
{
    if (!m_notices.empty() && m_notices.front().at <= m_inputRead)
        return NoWholeAnswer;
    const qint64 upTo = m_notices.empty() ? receivedTotal() : m_notices.front().at;
    return upTo - m_inputRead >= ReceiveThreshold ? Received : NoEvent;
}

void SerialLink::raiseForHead()
{
    if (m_state == State::Closed || m_state == State::Opening)
        return;
    if (const Event event = headEvent(); event != NoEvent)
        raise(event);
}

bool SerialLink::noticeWaiting() const
{
    if (m_state == State::Closed)
        return !m_notices.empty();
    return headEvent() == NoWholeAnswer;
}

LineNotice SerialLink::takeNotice()
{
    if (!noticeWaiting())
        return {};
    LineNotice notice = m_notices.front().notice;
    m_notices.pop_front();
    renotifyIfWaiting();
    return notice;
}

void SerialLink::loseLine(const DeviceError &error)
{
    if (m_state == State::Lost || !m_device)
        return;
    m_state = State::Lost;
    m_lostReason = error.reason;
    m_deviceFull = false;
    m_unsentAtLoss = outputQueued();
    m_output.clear();
    m_outputHead = 0;
    // Stop watching the device: a hung-up device stays readable forever and would spin the loop.
    m_device->stopWatching();
    m_unsentAtLoss += m_device->pendingOutput();
    // Give the device back to the system at once, from the event loop (this may run inside one of its
    // own notifications): the system hands a USB adapter's number out again only after the last close,
    // so an adapter plugged back in meanwhile would come back under another number. The port stays open
    // as far as the console is concerned, with the loss kept for the messages.
    postToEventLoop(this, [this] {
        if (m_state == State::Closed)
            return; // the close has said what was lost
        if (m_state == State::Lost)
            m_device->release(false);
        raise(LineLost);
        // Nothing more comes: what the stretch under way left is told now.
        endStretch();
        raiseForHead();
    });
}

void SerialLink::raise(Event event)
{
    m_event = event;
    emit notified();
}

QByteArray SerialLink::read()
{
    // Never past a notice: the bytes after it are another stretch's.
    const qint64 upTo = m_notices.empty() ? receivedTotal() : std::max(m_notices.front().at, m_inputRead);
    const auto available = qsizetype(upTo - m_inputRead);
    const qsizetype count = m_readLength > 0 ? std::min<qsizetype>(m_readLength, available) : available;
    QByteArray bytes = m_input.mid(m_inputHead, count);
    m_inputHead += count;
    m_inputRead += count;
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
    if (m_renotifyQueued || headEvent() == NoEvent)
        return;
    m_renotifyQueued = true;
    postToEventLoop(this, [this] {
        m_renotifyQueued = false;
        raiseForHead();
    });
}
