// SimulatedDevice: what the simulated device does with the bytes the console sends, apart from its line
// and its command line. It decodes call frames (FrameDecoder), says one line for each frame and for each
// run of bytes that form no frame, and chooses the answer to each frame: the fixed answer if one was
// given, else the group code, the member index (0 for Prof) and 255; none when answers are off.
#pragma once

#include "framedecoder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

struct SimAnswers {
    bool enabled = true;
    std::optional<QByteArray> fixed; // three bytes
};

// One decided item: the line to say, and the bytes to answer (empty: none).
struct SimStep {
    QString line;
    QByteArray answer;
};

class SimulatedDevice {
public:
    explicit SimulatedDevice(SimAnswers answers) : m_answers(std::move(answers)) {}

    QList<SimStep> feed(QByteArrayView bytes) { return steps(m_decoder.feed(bytes)); }
    // The line fell idle or closed: what waits is decided now.
    QList<SimStep> flush() { return steps(m_decoder.flush()); }
    bool hasPending() const { return m_decoder.hasPending(); }

    // The three bytes of a --reply text ("1 2 255", "0x1F 0 7"); throws Failure with a French message
    // that names the option.
    static QByteArray parseFixedAnswer(const QString &text);

private:
    QList<SimStep> steps(const QList<DecodedItem> &items) const;

    SimAnswers m_answers;
    FrameDecoder m_decoder;
};
