#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace computeruse {

// Key names and single characters to macOS virtual key codes. Shared by computer-use input and
// the desktop-share keysym mapping, so both press the same key for the same name.
class KeyMap {
 public:
  struct Entry {
    std::string_view name;  // lower-case character or key name
    std::uint16_t code;
  };

  // One character (grapheme cluster): its lower-case form in the character table; otherwise the
  // lower-cased text in the named-key table. Upper-case letters give the lower-case key's code.
  static std::optional<std::uint16_t> keyCode(std::string_view text);

  // Direct lookups on already lower-cased text.
  static std::optional<std::uint16_t> singleCharacterCode(std::string_view lowercaseCharacter);
  static std::optional<std::uint16_t> namedKeyCode(std::string_view lowercaseName);

  static std::span<const Entry> single();
  static std::span<const Entry> named();
};

}  // namespace computeruse
