#include "platform/VirtualKeySymbols.hpp"

#include <array>

namespace platform {

namespace {

constexpr std::array<VirtualKeySymbol, 85> kTable{{
    // Letters and digits (keysyms of the lower-case / unshifted symbol).
    {0, 'a'}, {1, 's'}, {2, 'd'}, {3, 'f'}, {4, 'h'}, {5, 'g'}, {6, 'z'}, {7, 'x'},
    {8, 'c'}, {9, 'v'}, {11, 'b'}, {12, 'q'}, {13, 'w'}, {14, 'e'}, {15, 'r'}, {16, 'y'},
    {17, 't'}, {18, '1'}, {19, '2'}, {20, '3'}, {21, '4'}, {22, '6'}, {23, '5'}, {25, '9'},
    {26, '7'}, {28, '8'}, {29, '0'}, {31, 'o'}, {32, 'u'}, {34, 'i'}, {35, 'p'}, {37, 'l'},
    {38, 'j'}, {40, 'k'}, {45, 'n'}, {46, 'm'},
    // Punctuation.
    {24, '='}, {27, '-'}, {30, ']'}, {33, '['}, {39, '\''}, {41, ';'}, {42, '\\'}, {43, ','},
    {44, '/'}, {47, '.'}, {50, '`'}, {49, ' '},
    // Named keys.
    {36, 0xFF0D},   // Return
    {48, 0xFF09},   // Tab
    {51, 0xFF08},   // BackSpace
    {53, 0xFF1B},   // Escape
    {117, 0xFFFF},  // Delete (forward)
    {115, 0xFF50},  // Home
    {119, 0xFF57},  // End
    {116, 0xFF55},  // Prior
    {121, 0xFF56},  // Next
    {123, 0xFF51}, {124, 0xFF53}, {125, 0xFF54}, {126, 0xFF52},  // Left, Right, Down, Up
    // F1 to F20.
    {122, 0xFFBE}, {120, 0xFFBF}, {99, 0xFFC0}, {118, 0xFFC1}, {96, 0xFFC2}, {97, 0xFFC3},
    {98, 0xFFC4}, {100, 0xFFC5}, {101, 0xFFC6}, {109, 0xFFC7}, {103, 0xFFC8}, {111, 0xFFC9},
    {105, 0xFFCA}, {107, 0xFFCB}, {113, 0xFFCC}, {106, 0xFFCD}, {64, 0xFFCE}, {79, 0xFFCF},
    {80, 0xFFD0}, {90, 0xFFD1},
    // Modifiers: shift, control, option, command (command is the Super key on X11).
    {56, 0xFFE1}, {59, 0xFFE3}, {58, 0xFFE9}, {55, 0xFFEB},
}};

}  // namespace

std::span<const VirtualKeySymbol> virtualKeySymbols() { return kTable; }

std::optional<std::uint32_t> keysymForVirtualKey(std::uint16_t code) {
  for (const auto& e : kTable)
    if (e.code == code) return e.keysym;
  return std::nullopt;
}

}  // namespace platform
