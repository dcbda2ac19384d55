#include "incoming_win.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace windevice {

namespace {

// The flags that tell of bytes spoiled or lost on their way in.
constexpr DWORD ReceiveErrors = CE_FRAME | CE_RXPARITY | CE_BREAK | CE_OVERRUN | CE_RXOVER;

} // namespace

void IncomingBytes::add(const char *bytes, qsizetype count)
{
    m_sinceLook += count;
    if (!m_runs.isEmpty() && m_runs.last().awaited > 0) {
        Run &spoiled = m_runs.last();
        const qsizetype taken = std::min(count, spoiled.awaited);
        spoiled.bytes.append(bytes, taken);
        spoiled.awaited -= taken;
        bytes += taken;
        count -= taken;
    }
    if (count == 0)
        return;
    if (m_runs.isEmpty() || m_runs.last().flags != 0)
        m_runs.append(Run{});
    m_runs.last().bytes.append(bytes, count);
}

void IncomingBytes::look(DWORD flags, qsizetype following, bool settled)
{
    const qsizetype since = std::exchange(m_sinceLook, 0);
    // Bytes an earlier look found queued that are no longer there nor on their way will not come.
    if (settled && !m_runs.isEmpty())
        m_runs.last().awaited = std::min(m_runs.last().awaited, following);
    flags &= ReceiveErrors;
    if (flags == 0)
        return;
    // The bytes added since the last look are spoiled, and with them a spoiled run that they reach or
    // that still awaits bytes: one run, one report.
    Run spoiled;
    for (qsizetype left = since; !m_runs.isEmpty();) {
        Run &last = m_runs.last();
        if (last.flags != 0) {
            if (left <= 0 && last.awaited == 0)
                break;
            spoiled.bytes.prepend(last.bytes);
            spoiled.flags |= last.flags;
            spoiled.overruns += last.overruns;
            spoiled.bufferOverruns += last.bufferOverruns;
            spoiled.awaited = std::max(spoiled.awaited, last.awaited);
            left -= last.bytes.size();
        } else {
            if (left <= 0)
                break;
            const qsizetype taken = std::min(left, last.bytes.size());
            spoiled.bytes.prepend(last.bytes.right(taken));
            last.bytes.chop(taken);
            left -= taken;
            if (!last.bytes.isEmpty())
                break;
        }
        m_runs.removeLast();
    }
    spoiled.flags |= flags;
    spoiled.overruns += (flags & CE_OVERRUN) ? 1 : 0;
    spoiled.bufferOverruns += (flags & CE_RXOVER) ? 1 : 0;
    spoiled.awaited = std::max(spoiled.awaited, following);
    m_runs.append(spoiled);
}

void IncomingBytes::stopAwaiting()
{
    if (!m_runs.isEmpty())
        m_runs.last().awaited = 0;
}

std::optional<IncomingBytes::Piece> IncomingBytes::takeNext()
{
    if (!hasNext())
        return std::nullopt;
    const Run run = m_runs.takeFirst();
    Piece piece{run.bytes, std::nullopt};
    if (run.flags != 0)
        piece.errors = errorsOf(run);
    return piece;
}

LineErrors IncomingBytes::errorsOf(const Run &run)
{
    const auto atLeastOne = [](qsizetype count) { return int(std::clamp<qsizetype>(count, 1, INT_MAX)); };
    LineErrors errors;
    if (run.flags & CE_FRAME)
        errors.frame = atLeastOne(run.bytes.size());
    if (run.flags & CE_RXPARITY)
        errors.parity = atLeastOne(run.bytes.size());
    if (run.flags & CE_BREAK)
        errors.breaks = atLeastOne(std::count(run.bytes.cbegin(), run.bytes.cend(), '\0'));
    errors.overrun = run.overruns;
    errors.bufferOverrun = run.bufferOverruns;
    return errors;
}

} // namespace windevice
