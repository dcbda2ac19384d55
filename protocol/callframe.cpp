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
