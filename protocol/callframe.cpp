#include "callframe.h"

namespace {

PortWrite bytes(std::initializer_list<std::uint8_t> values)
{
    PortWrite block;
    block.reserve(static_cast<qsizetype>(values.size()));
    for (std::uint8_t v : values)
        block.append(static_cast<char>(v));
    return block;
}

CallFrame frameAround(const PortWrite &body)
{
    return {bytes({0x01}), bytes({static_cast<std::uint8_t>(body.size())}), body, bytes({0x04, 0x00})};
}

} // namespace

CallFrame memberCallFrame(GroupCode group, qint16 memberIndex)
{
    // The arrays' indices (0 to 5) always fit a byte.
    return frameAround(bytes({static_cast<std::uint8_t>(group), static_cast<std::uint8_t>(memberIndex)}));
}

CallFrame profCallFrame()
{
    return frameAround(bytes({static_cast<std::uint8_t>(GroupCode::Prof)}));
}

namespace {

constexpr CallMember members[] = {
    {GroupCode::Administration, 0, u"00 00", u"Proviseur"},
    {GroupCode::Administration, 1, u"00 01", u"Proviseur adjoint"},
    {GroupCode::Administration, 2, u"00 02", u"Secrétaire"},
    {GroupCode::Administration, 3, u"00 03", u"Comptabilité"},
    {GroupCode::Prof, -1, u"01", u"Professeur"},
    {GroupCode::Entretien, 0, u"02 00", u"Ménage"},
    {GroupCode::Entretien, 1, u"02 01", u"Maintenance"},
    {GroupCode::Eleves, 0, u"03 00", u"Seconde"},
    {GroupCode::Eleves, 1, u"03 01", u"Première"},
    {GroupCode::Eleves, 2, u"03 02", u"Terminale"},
    {GroupCode::Eleves, 3, u"03 03", u"BTS"},
    {GroupCode::Eleves, 4, u"03 04", u"BEP"},
    {GroupCode::Eleves, 5, u"03 05", u"Bac Pro"},
};

} // namespace

std::span<const CallMember> callMembers()
{
    return members;
}

const CallMember *findCallMember(std::uint8_t group, int index)
{
    for (const CallMember &m : members)
        if (static_cast<std::uint8_t>(m.group) == group && m.index == index)
            return &m;
    return nullptr;
}

QString groupName(GroupCode group)
{
    switch (group) {
    case GroupCode::Administration:
        return QStringLiteral("Administration");
    case GroupCode::Prof:
        return QStringLiteral("Prof");
    case GroupCode::Entretien:
        return QStringLiteral("Entretien");
    case GroupCode::Eleves:
        return QStringLiteral("Elèves");
    }
    return QString();
}
