#pragma once
// Key codes as the screens know them (virtual-key numbers) and the shift state.
#include "zavhost_export.h"
#include <QKeyEvent>
#include <cstdint>

using TKey = std::uint16_t;

enum : TKey {
    VK_BACK = 8,
    VK_TAB = 9,
    VK_RETURN = 13,
    VK_ESCAPE = 27,
    VK_SPACE = 32,
    VK_PRIOR = 33,
    VK_NEXT = 34,
    VK_END = 35,
    VK_HOME = 36,
    VK_LEFT = 37,
    VK_UP = 38,
    VK_RIGHT = 39,
    VK_DOWN = 40,
    VK_INSERT = 45,
    VK_DELETE = 46,
    VK_F1 = 112,
    VK_F7 = 118,
    VK_F12 = 123
};

struct TShiftState {
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
    static TShiftState from(Qt::KeyboardModifiers m) {
        return {m.testFlag(Qt::ShiftModifier), m.testFlag(Qt::ControlModifier), m.testFlag(Qt::AltModifier)};
    }
};

// The virtual-key number of a Qt key, 0 for keys without one.
ZAVHOST_EXPORT TKey vkOf(int qtKey);
