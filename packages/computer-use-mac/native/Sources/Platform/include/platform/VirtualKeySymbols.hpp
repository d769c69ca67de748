#pragma once
#include <cstdint>
#include <optional>
#include <span>

namespace platform {

// macOS virtual key codes (the key model of every backend) and the X11 keysym of the key's
// unshifted symbol on a US layout. Covers every code of the computer-use key-name table plus
// the modifier keys, so a backend that speaks keysyms can press what the model names.
struct VirtualKeySymbol {
  std::uint16_t code;
  std::uint32_t keysym;
};

std::span<const VirtualKeySymbol> virtualKeySymbols();
std::optional<std::uint32_t> keysymForVirtualKey(std::uint16_t code);

}  // namespace platform
