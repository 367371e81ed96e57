#include "KeyCodes.h"

#include <Qt>

#include <algorithm>
#include <array>

namespace {

struct KeyPosition {
    int evdev;
    quint32 mac;
    const char16_t *label = nullptr; // engraved on the US key; keypad keys as Qt names them
};

// One row per key position; each evdev code and each virtual key code appears once. Keys whose
// names are words (Intro, Inicio, F5 …) carry no label here: Shortcut names them.
constexpr std::array keyPositions{
    // Letters.
    KeyPosition{30, 0, u"A"},
    KeyPosition{48, 11, u"B"},
    KeyPosition{46, 8, u"C"},
    KeyPosition{32, 2, u"D"},
    KeyPosition{18, 14, u"E"},
    KeyPosition{33, 3, u"F"},
    KeyPosition{34, 5, u"G"},
    KeyPosition{35, 4, u"H"},
    KeyPosition{23, 34, u"I"},
    KeyPosition{36, 38, u"J"},
    KeyPosition{37, 40, u"K"},
    KeyPosition{38, 37, u"L"},
    KeyPosition{50, 46, u"M"},
    KeyPosition{49, 45, u"N"},
    KeyPosition{24, 31, u"O"},
    KeyPosition{25, 35, u"P"},
    KeyPosition{16, 12, u"Q"},
    KeyPosition{19, 15, u"R"},
    KeyPosition{31, 1, u"S"},
    KeyPosition{20, 17, u"T"},
    KeyPosition{22, 32, u"U"},
    KeyPosition{47, 9, u"V"},
    KeyPosition{17, 13, u"W"},
    KeyPosition{45, 7, u"X"},
    KeyPosition{21, 16, u"Y"},
    KeyPosition{44, 6, u"Z"},
    // Digit row.
    KeyPosition{2, 18, u"1"},
    KeyPosition{3, 19, u"2"},
    KeyPosition{4, 20, u"3"},
    KeyPosition{5, 21, u"4"},
    KeyPosition{6, 23, u"5"},
    KeyPosition{7, 22, u"6"},
    KeyPosition{8, 26, u"7"},
    KeyPosition{9, 28, u"8"},
    KeyPosition{10, 25, u"9"},
    KeyPosition{11, 29, u"0"},
    // Punctuation.
    KeyPosition{12, 27, u"-"},
    KeyPosition{13, 24, u"="},
    KeyPosition{26, 33, u"["},
    KeyPosition{27, 30, u"]"},
    KeyPosition{39, 41, u";"},
    KeyPosition{40, 39, u"'"},
    KeyPosition{41, 50, u"`"},
    KeyPosition{43, 42, u"\\"},
    KeyPosition{51, 43, u","},
    KeyPosition{52, 47, u"."},
    KeyPosition{53, 44, u"/"},
    KeyPosition{86, 10, u"<"}, // the extra key beside left Shift on ISO keyboards (< > on Spanish ones)
    // Editing and navigation.
    KeyPosition{1, 53},     // Escape
    KeyPosition{14, 51},    // Backspace (Delete on a Mac keyboard)
    KeyPosition{15, 48},    // Tab
    KeyPosition{28, 36},    // Return
    KeyPosition{57, 49},    // Space
    KeyPosition{110, 114},  // Insert, where a Mac keyboard has Help
    KeyPosition{111, 117},  // Delete (forward delete)
    KeyPosition{102, 115},  // Home
    KeyPosition{107, 119},  // End
    KeyPosition{104, 116},  // Page Up
    KeyPosition{109, 121},  // Page Down
    KeyPosition{105, 123},  // Left
    KeyPosition{106, 124},  // Right
    KeyPosition{108, 125},  // Down
    KeyPosition{103, 126},  // Up
    // Function keys.
    KeyPosition{59, 122},   // F1
    KeyPosition{60, 120},   // F2
    KeyPosition{61, 99},    // F3
    KeyPosition{62, 118},   // F4
    KeyPosition{63, 96},    // F5
    KeyPosition{64, 97},    // F6
    KeyPosition{65, 98},    // F7
    KeyPosition{66, 100},   // F8
    KeyPosition{67, 101},   // F9
    KeyPosition{68, 109},   // F10
    KeyPosition{87, 103},   // F11
    KeyPosition{88, 111},   // F12
    KeyPosition{183, 105},  // F13
    KeyPosition{184, 107},  // F14
    KeyPosition{185, 113},  // F15
    KeyPosition{186, 106},  // F16
    KeyPosition{187, 64},   // F17
    KeyPosition{188, 79},   // F18
    KeyPosition{189, 80},   // F19
    KeyPosition{190, 90},   // F20
    // Keypad.
    KeyPosition{82, 82, u"Num+0"},
    KeyPosition{79, 83, u"Num+1"},
    KeyPosition{80, 84, u"Num+2"},
    KeyPosition{81, 85, u"Num+3"},
    KeyPosition{75, 86, u"Num+4"},
    KeyPosition{76, 87, u"Num+5"},
    KeyPosition{77, 88, u"Num+6"},
    KeyPosition{71, 89, u"Num+7"},
    KeyPosition{72, 91, u"Num+8"},
    KeyPosition{73, 92, u"Num+9"},
    KeyPosition{83, 65, u"Num+."},
    KeyPosition{55, 67, u"Num+*"},
    KeyPosition{78, 69, u"Num++"},
    KeyPosition{98, 75, u"Num+/"},
    KeyPosition{96, 76},    // Enter
    KeyPosition{74, 78, u"Num+-"},
    KeyPosition{117, 81, u"Num+="},
};

struct QtKeyPosition {
    int key;
    quint32 mac;
};

// The US layout: each key with its unshifted and shifted Qt::Key.
constexpr std::array qtKeyPositions{
    QtKeyPosition{Qt::Key_1, 18}, QtKeyPosition{Qt::Key_Exclam, 18},
    QtKeyPosition{Qt::Key_2, 19}, QtKeyPosition{Qt::Key_At, 19},
    QtKeyPosition{Qt::Key_3, 20}, QtKeyPosition{Qt::Key_NumberSign, 20},
    QtKeyPosition{Qt::Key_4, 21}, QtKeyPosition{Qt::Key_Dollar, 21},
    QtKeyPosition{Qt::Key_5, 23}, QtKeyPosition{Qt::Key_Percent, 23},
    QtKeyPosition{Qt::Key_6, 22}, QtKeyPosition{Qt::Key_AsciiCircum, 22},
    QtKeyPosition{Qt::Key_7, 26}, QtKeyPosition{Qt::Key_Ampersand, 26},
    QtKeyPosition{Qt::Key_8, 28}, QtKeyPosition{Qt::Key_Asterisk, 28},
    QtKeyPosition{Qt::Key_9, 25}, QtKeyPosition{Qt::Key_ParenLeft, 25},
    QtKeyPosition{Qt::Key_0, 29}, QtKeyPosition{Qt::Key_ParenRight, 29},
    QtKeyPosition{Qt::Key_Minus, 27}, QtKeyPosition{Qt::Key_Underscore, 27},
    QtKeyPosition{Qt::Key_Equal, 24}, QtKeyPosition{Qt::Key_Plus, 24},
    QtKeyPosition{Qt::Key_BracketLeft, 33}, QtKeyPosition{Qt::Key_BraceLeft, 33},
    QtKeyPosition{Qt::Key_BracketRight, 30}, QtKeyPosition{Qt::Key_BraceRight, 30},
    QtKeyPosition{Qt::Key_Semicolon, 41}, QtKeyPosition{Qt::Key_Colon, 41},
    QtKeyPosition{Qt::Key_Apostrophe, 39}, QtKeyPosition{Qt::Key_QuoteDbl, 39},
    QtKeyPosition{Qt::Key_QuoteLeft, 50}, QtKeyPosition{Qt::Key_AsciiTilde, 50},
    QtKeyPosition{Qt::Key_Backslash, 42}, QtKeyPosition{Qt::Key_Bar, 42},
    QtKeyPosition{Qt::Key_Comma, 43}, QtKeyPosition{Qt::Key_Less, 43},
    QtKeyPosition{Qt::Key_Period, 47}, QtKeyPosition{Qt::Key_Greater, 47},
    QtKeyPosition{Qt::Key_Slash, 44}, QtKeyPosition{Qt::Key_Question, 44},
    QtKeyPosition{Qt::Key_Escape, 53},
    QtKeyPosition{Qt::Key_Backspace, 51},
    QtKeyPosition{Qt::Key_Tab, 48}, QtKeyPosition{Qt::Key_Backtab, 48},
    QtKeyPosition{Qt::Key_Return, 36},
    QtKeyPosition{Qt::Key_Enter, 76},
    QtKeyPosition{Qt::Key_Space, 49},
    QtKeyPosition{Qt::Key_Insert, 114}, QtKeyPosition{Qt::Key_Help, 114},
    QtKeyPosition{Qt::Key_Delete, 117},
    QtKeyPosition{Qt::Key_Home, 115},
    QtKeyPosition{Qt::Key_End, 119},
    QtKeyPosition{Qt::Key_PageUp, 116},
    QtKeyPosition{Qt::Key_PageDown, 121},
    QtKeyPosition{Qt::Key_Left, 123},
    QtKeyPosition{Qt::Key_Right, 124},
    QtKeyPosition{Qt::Key_Down, 125},
    QtKeyPosition{Qt::Key_Up, 126},
    QtKeyPosition{Qt::Key_F1, 122}, QtKeyPosition{Qt::Key_F2, 120},
    QtKeyPosition{Qt::Key_F3, 99}, QtKeyPosition{Qt::Key_F4, 118},
    QtKeyPosition{Qt::Key_F5, 96}, QtKeyPosition{Qt::Key_F6, 97},
    QtKeyPosition{Qt::Key_F7, 98}, QtKeyPosition{Qt::Key_F8, 100},
    QtKeyPosition{Qt::Key_F9, 101}, QtKeyPosition{Qt::Key_F10, 109},
    QtKeyPosition{Qt::Key_F11, 103}, QtKeyPosition{Qt::Key_F12, 111},
    QtKeyPosition{Qt::Key_F13, 105}, QtKeyPosition{Qt::Key_F14, 107},
    QtKeyPosition{Qt::Key_F15, 113}, QtKeyPosition{Qt::Key_F16, 106},
    QtKeyPosition{Qt::Key_F17, 64}, QtKeyPosition{Qt::Key_F18, 79},
    QtKeyPosition{Qt::Key_F19, 80}, QtKeyPosition{Qt::Key_F20, 90},
};

// The virtual key codes of the letters A … Z, in alphabetical order (Qt::Key_A … Key_Z are 'A' … 'Z').
constexpr std::array<quint32, 26> letterKeyCodes{0,  11, 8,  2,  14, 3,  5,  4,  34, 38, 40, 37, 46,
                                                 45, 31, 35, 12, 15, 1,  17, 32, 9,  13, 7,  16, 6};

} // namespace

std::optional<quint32> macVirtualKeyCode(int evdevCode)
{
    const auto found = std::ranges::find(keyPositions, evdevCode, &KeyPosition::evdev);
    if (found == keyPositions.end())
        return std::nullopt;
    return found->mac;
}

std::optional<int> evdevCode(quint32 macVirtualKeyCode)
{
    const auto found = std::ranges::find(keyPositions, macVirtualKeyCode, &KeyPosition::mac);
    if (found == keyPositions.end())
        return std::nullopt;
    return found->evdev;
}

QString usLayoutLabel(quint32 macVirtualKeyCode)
{
    const auto found = std::ranges::find(keyPositions, macVirtualKeyCode, &KeyPosition::mac);
    if (found == keyPositions.end() || !found->label)
        return {};
    return QString::fromUtf16(found->label);
}

std::optional<quint32> macVirtualKeyCodeForQtKey(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return letterKeyCodes[std::size_t(qtKey - Qt::Key_A)];
    const auto found = std::ranges::find(qtKeyPositions, qtKey, &QtKeyPosition::key);
    if (found == qtKeyPositions.end())
        return std::nullopt;
    return found->mac;
}
