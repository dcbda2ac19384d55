#include "simdevice.h"

#include "bytelist.h"
#include "failure.h"

QList<SimStep> SimulatedDevice::steps(const QList<DecodedItem> &items) const
{
    QList<SimStep> steps;
    for (const DecodedItem &item : items) {
        SimStep step{item.describe(), {}};
        if (item.kind == DecodedItem::Frame && m_answers.enabled) {
            if (m_answers.fixed) {
                step.answer = *m_answers.fixed;
            } else {
                step.answer.append(static_cast<char>(item.group));
                step.answer.append(static_cast<char>(item.member < 0 ? 0 : item.member));
                step.answer.append(static_cast<char>(0xff));
            }
        }
        steps.append(step);
    }
    return steps;
}

QByteArray SimulatedDevice::parseFixedAnswer(const QString &text)
{
    QByteArray answer;
    try {
        ByteListReader values(text);
        while (!values.atEnd())
            answer.append(static_cast<char>(values.next()));
    } catch (const Failure &failure) {
        throw Failure(QStringLiteral("--reply : %1").arg(failure.message()));
    }
    if (answer.size() != 3)
        throw Failure(
            QStringLiteral("--reply attend trois octets, par exemple \"1 2 255\" ; « %1 » en donne %2.")
                .arg(text)
                .arg(answer.size()));
    return answer;
}
