#include "computeruse/KeyMap.hpp"

#include <array>

#include "Text.hpp"

namespace computeruse {

namespace {

constexpr std::array<KeyMap::Entry, 48> kSingle{{
    {"a", 0},  {"s", 1},  {"d", 2},  {"f", 3},  {"h", 4},  {"g", 5},  {"z", 6},  {"x", 7},
    {"c", 8},  {"v", 9},  {"b", 11}, {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16},
    {"t", 17}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"6", 22}, {"5", 23}, {"9", 25},
    {"7", 26}, {"8", 28}, {"0", 29}, {"o", 31}, {"u", 32}, {"i", 34}, {"p", 35}, {"l", 37},
    {"j", 38}, {"k", 40}, {"n", 45}, {"m", 46}, {"=", 24}, {"-", 27}, {"]", 30}, {"[", 33},
    {"'", 39}, {";", 41}, {"\\", 42}, {",", 43}, {"/", 44}, {".", 47}, {"`", 50}, {" ", 49},
}};

constexpr std::array<KeyMap::Entry, 43> kNamed{{
    {"return", 36},    {"enter", 36},      {"tab", 48},         {"space", 49},     {"spacebar", 49},
    {"delete", 51},    {"backspace", 51},  {"escape", 53},      {"esc", 53},       {"forwarddelete", 117},
    {"fdelete", 117},  {"home", 115},      {"end", 119},        {"pageup", 116},   {"pagedown", 121},
    {"left", 123},     {"leftarrow", 123}, {"right", 124},      {"rightarrow", 124}, {"down", 125},
    {"downarrow", 125}, {"up", 126},       {"uparrow", 126},    {"f1", 122},       {"f2", 120},
    {"f3", 99},        {"f4", 118},        {"f5", 96},          {"f6", 97},        {"f7", 98},
    {"f8", 100},       {"f9", 101},        {"f10", 109},        {"f11", 103},      {"f12", 111},
    {"f13", 105},      {"f14", 107},       {"f15", 113},        {"f16", 106},      {"f17", 64},
    {"f18", 79},       {"f19", 80},        {"f20", 90},
}};

template <std::size_t N>
std::optional<std::uint16_t> find(const std::array<KeyMap::Entry, N>& table, std::string_view name) {
  for (const auto& e : table)
    if (e.name == name) return e.code;
  return std::nullopt;
}

}  // namespace

std::span<const KeyMap::Entry> KeyMap::single() { return kSingle; }
std::span<const KeyMap::Entry> KeyMap::named() { return kNamed; }

std::optional<std::uint16_t> KeyMap::singleCharacterCode(std::string_view c) { return find(kSingle, c); }
std::optional<std::uint16_t> KeyMap::namedKeyCode(std::string_view n) { return find(kNamed, n); }

std::optional<std::uint16_t> KeyMap::keyCode(std::string_view textIn) {
  if (textIn.size() == 1) {
    // Fast path for the common ASCII key.
    char c = textIn[0];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (auto code = singleCharacterCode(std::string_view(&c, 1))) return code;
  } else if (!textIn.empty() && text::graphemeCount(textIn) == 1) {
    auto lower = text::lowercased(text::firstScalar(textIn));
    if (auto code = singleCharacterCode(text::firstGrapheme(lower))) return code;
  }
  return namedKeyCode(text::lowercased(textIn));
}

}  // namespace computeruse
