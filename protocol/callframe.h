// Call frames: the fixed bytes that each call button of the console sends to the device.
//
// A group with members (Administration, Entretien, Eleves), for group g and member index i, sends four
// writes: 01 | 02 | g i | 04 00. Prof, a single button, sends 01 | 01 | 01 | 04 00. The byte of the
// second write is the length of the third. Nothing else is added: no checksum, no sequence number.
#pragma once

#include "portwrite.h"

#include <QString>
#include <array>
#include <cstdint>
#include <span>

enum class GroupCode : std::uint8_t {
    Administration = 0x00,
    Prof = 0x01,
    Entretien = 0x02,
    Eleves = 0x03,
};

// The four writes of one call, in the order they go out.
using CallFrame = std::array<PortWrite, 4>;

// The frame of a member of a group with members; the index is the button's place in its array, from 0.
CallFrame memberCallFrame(GroupCode group, qint16 memberIndex);

// The frame of the single Prof button.
CallFrame profCallFrame();

// One call button: its group, its place in the group's array (-1 for the single Prof button), its
// caption (group code and index as two-digit numbers) and the role its tooltip names.
struct CallMember {
    GroupCode group;
    qint16 index;
    const char16_t *caption;
    const char16_t *role;
};

// The thirteen call buttons, groups in code order and members in index order.
std::span<const CallMember> callMembers();
// The button that a group code and member index name, or null (index -1 for Prof).
const CallMember *findCallMember(std::uint8_t group, int index);
// The group's name as the window's controls spell it ("Elèves" with its accent).
QString groupName(GroupCode group);
