#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <variant>

#include "X11Connection.hpp"
#include "platform/PlatformError.hpp"
#include "platform/VirtualKeySymbols.hpp"
#include "platformlinux/X11Desktop.hpp"

namespace platformlinux {

namespace {

constexpr std::uint64_t kShiftFlag = 0x20000, kControlFlag = 0x40000, kOptionFlag = 0x80000, kCommandFlag = 0x100000;

struct ModifierKeys {
  std::uint64_t flag;
  std::uint16_t left, right;  // virtual key codes
};
constexpr ModifierKeys kModifiers[] = {
    {kShiftFlag, 56, 60}, {kControlFlag, 59, 62}, {kOptionFlag, 58, 61}, {kCommandFlag, 55, 54}};

bool isModifierCode(std::uint16_t code) {
  for (const auto& m : kModifiers)
    if (code == m.left || code == m.right) return true;
  return false;
}

// Right-hand modifiers are not in the shared table; X has their own keysyms.
std::optional<std::uint32_t> keysymFor(std::uint16_t code) {
  switch (code) {
    case 60: return 0xFFE2;  // Shift_R
    case 62: return 0xFFE4;  // Control_R
    case 61: return 0xFFEA;  // Alt_R
    case 54: return 0xFFEC;  // Super_R
    default: return platform::keysymForVirtualKey(code);
  }
}

// The one scalar of a UTF-8 text; none when it is not exactly one valid scalar.
std::optional<std::uint32_t> singleScalar(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::uint32_t cp = 0;
  std::size_t length = 0;
  if (s[0] < 0x80) cp = s[0], length = 1;
  else if ((s[0] & 0xE0) == 0xC0) cp = s[0] & 0x1F, length = 2;
  else if ((s[0] & 0xF0) == 0xE0) cp = s[0] & 0x0F, length = 3;
  else if ((s[0] & 0xF8) == 0xF0) cp = s[0] & 0x07, length = 4;
  else return std::nullopt;
  if (text.size() != length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  return cp;
}

std::uint32_t keysymForScalar(std::uint32_t cp) {
  if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return cp;  // Latin-1 keysyms
  if (cp == '\n' || cp == '\r') return 0xFF0D;
  if (cp == '\t') return 0xFF09;
  if (cp == '\b') return 0xFF08;
  return 0x01000000 + cp;
}

}  // namespace

X11SessionEventPoster::X11SessionEventPoster(std::optional<std::string> displayName)
    : connection_(x11::Connection::open(displayName)) {
  if (!connection_) throw platform::PlatformError(x11::describe("cannot open X display", displayName));
  Display* d = connection_->get();
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(d, &eventBase, &errorBase, &major, &minor))
    throw platform::PlatformError(x11::describe("XTEST extension missing", displayName));
  // Our own posts must not be overridden by a real device grab; and keep the screen size and
  // keyboard map current.
  XTestGrabControl(d, True);
  XSelectInput(d, DefaultRootWindow(d), StructureNotifyMask);
  screenWidth_ = DisplayWidth(d, DefaultScreen(d));
  screenHeight_ = DisplayHeight(d, DefaultScreen(d));
  loadKeyboardMap();
  if (auto error = connection_->sync()) throw platform::PlatformError(x11::describe(*error, displayName));
}

X11SessionEventPoster::~X11SessionEventPoster() {
  std::lock_guard<std::mutex> g(mutex_);
  if (connection_->dead()) return;
  // Never leave keys held or spare keycodes mapped behind.
  for (auto& [code, p] : pressedCodes_) XTestFakeKeyEvent(connection_->get(), p.keycode, False, CurrentTime);
  for (auto& [text, p] : pressedText_) XTestFakeKeyEvent(connection_->get(), p.keycode, False, CurrentTime);
  for (unsigned kc : remapped_) unmap(kc);
  connection_->sync();
}

std::optional<std::string> X11SessionEventPoster::lastError() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lastError_;
}

void X11SessionEventPoster::loadKeyboardMap() {
  Display* d = connection_->get();
  XDisplayKeycodes(d, &minKeycode_, &maxKeycode_);
  int per = 0;
  KeySym* syms = XGetKeyboardMapping(d, static_cast<KeyCode>(minKeycode_), maxKeycode_ - minKeycode_ + 1, &per);
  keyboardMap_.clear();
  symsPerKeycode_ = 0;
  if (!syms) return;
  symsPerKeycode_ = per;
  keyboardMap_.assign(syms, syms + static_cast<std::size_t>(per) * (maxKeycode_ - minKeycode_ + 1));
  XFree(syms);
}

void X11SessionEventPoster::drainEvents() {
  Display* d = connection_->get();
  bool mappingChanged = false;
  while (!connection_->dead() && XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      if (event.xmapping.request == MappingKeyboard) mappingChanged = true;
    } else if (event.type == ConfigureNotify && event.xconfigure.window == DefaultRootWindow(d)) {
      screenWidth_ = std::max(1, event.xconfigure.width);
      screenHeight_ = std::max(1, event.xconfigure.height);
    }
  }
  if (mappingChanged && !connection_->dead()) loadKeyboardMap();
}

std::optional<unsigned> X11SessionEventPoster::keycodeAtLevel(std::uint32_t keysym, int level) const {
  if (level >= symsPerKeycode_) return std::nullopt;
  for (int kc = minKeycode_; kc <= maxKeycode_; ++kc)
    if (keyboardMap_[static_cast<std::size_t>((kc - minKeycode_) * symsPerKeycode_ + level)] == keysym)
      return static_cast<unsigned>(kc);
  return std::nullopt;
}

std::optional<unsigned> X11SessionEventPoster::anyKeycode(std::uint32_t keysym) const {
  for (int level = 0; level < std::min(symsPerKeycode_, 4); ++level)
    if (auto kc = keycodeAtLevel(keysym, level)) return kc;
  return std::nullopt;
}

bool X11SessionEventPoster::isPressed(unsigned keycode) const {
  for (const auto& [code, p] : pressedCodes_)
    if (p.keycode == keycode) return true;
  for (const auto& [text, p] : pressedText_)
    if (p.keycode == keycode) return true;
  return false;
}

std::optional<unsigned> X11SessionEventPoster::remap(std::uint32_t keysym) {
  if (symsPerKeycode_ == 0) return std::nullopt;
  // A spare keycode has no symbols at all; take them from the top, away from real keys. When
  // none is left, the least recently remapped one that is not held is reused.
  std::optional<unsigned> chosen;
  for (int kc = maxKeycode_; kc >= minKeycode_ && !chosen; --kc) {
    const auto first = keyboardMap_.begin() + (kc - minKeycode_) * symsPerKeycode_;
    if (std::all_of(first, first + symsPerKeycode_, [](unsigned long s) { return s == NoSymbol; }))
      chosen = static_cast<unsigned>(kc);
  }
  if (!chosen) {
    auto it = std::find_if(remapped_.begin(), remapped_.end(), [&](unsigned kc) { return !isPressed(kc); });
    if (it == remapped_.end()) return std::nullopt;
    chosen = *it;
  }
  std::vector<KeySym> syms(static_cast<std::size_t>(symsPerKeycode_), NoSymbol);
  syms[0] = keysym;
  if (symsPerKeycode_ > 1) syms[1] = keysym;  // the same with or without Shift
  XChangeKeyboardMapping(connection_->get(), static_cast<int>(*chosen), symsPerKeycode_, syms.data(), 1);
  std::copy(syms.begin(), syms.end(), keyboardMap_.begin() + (*chosen - minKeycode_) * symsPerKeycode_);
  remapped_.erase(std::remove(remapped_.begin(), remapped_.end(), *chosen), remapped_.end());
  remapped_.push_back(*chosen);
  // Clients refresh their copy on the MappingNotify that precedes the key event. The mapping
  // stays until the poster goes: a client may read it only after the key was released.
  connection_->sync();
  return chosen;
}

void X11SessionEventPoster::unmap(unsigned keycode) {
  std::vector<KeySym> syms(static_cast<std::size_t>(std::max(symsPerKeycode_, 1)), NoSymbol);
  XChangeKeyboardMapping(connection_->get(), static_cast<int>(keycode), static_cast<int>(syms.size()), syms.data(), 1);
}

bool X11SessionEventPoster::shiftHeld() const { return heldModifierCodes_.count(56) || heldModifierCodes_.count(60); }

std::vector<unsigned> X11SessionEventPoster::pressMissingModifiers(std::uint64_t flags, std::uint16_t except) {
  std::vector<unsigned> pressed;
  for (const auto& m : kModifiers) {
    if (!(flags & m.flag) || except == m.left || except == m.right) continue;
    if (heldModifierCodes_.count(m.left) || heldModifierCodes_.count(m.right)) continue;
    auto kc = anyKeycode(*keysymFor(m.left));
    if (!kc) continue;
    XTestFakeKeyEvent(connection_->get(), *kc, True, CurrentTime);
    pressed.push_back(*kc);
  }
  return pressed;
}

void X11SessionEventPoster::releaseAll(const std::vector<unsigned>& keycodes) {
  for (auto it = keycodes.rbegin(); it != keycodes.rend(); ++it)
    XTestFakeKeyEvent(connection_->get(), *it, False, CurrentTime);
}

void X11SessionEventPoster::postKey(const platform::SessionKeyEvent& e) {
  Display* d = connection_->get();
  if (!e.down) {
    auto it = pressedCodes_.find(e.code);
    if (it == pressedCodes_.end()) return finish(true);  // never pressed here: nothing to release
    XTestFakeKeyEvent(d, it->second.keycode, False, CurrentTime);
    pressedCodes_.erase(it);
    heldModifierCodes_.erase(e.code);
    return finish(true);
  }
  Pressed p{};
  if (auto it = pressedCodes_.find(e.code); it != pressedCodes_.end()) {
    p = it->second;  // auto-repeat: press the same keycode again
  } else {
    const auto keysym = keysymFor(e.code);
    if (!keysym) return finish(false);
    if (auto kc = anyKeycode(*keysym)) {
      p = {*kc};
    } else if (auto spare = remap(*keysym)) {
      p = {*spare};
    } else {
      return finish(false);
    }
  }
  const auto extra = pressMissingModifiers(e.flags, e.code);
  XTestFakeKeyEvent(d, p.keycode, True, CurrentTime);
  releaseAll(extra);
  pressedCodes_[e.code] = p;
  if (isModifierCode(e.code)) heldModifierCodes_.insert(e.code);
  finish(true);
}

void X11SessionEventPoster::postUnicode(const platform::SessionUnicodeEvent& e) {
  Display* d = connection_->get();
  if (!e.down) {
    auto it = pressedText_.find(e.text);
    if (it == pressedText_.end()) return finish(true);
    XTestFakeKeyEvent(d, it->second.keycode, False, CurrentTime);
    pressedText_.erase(it);
    return finish(true);
  }
  Pressed p{};
  if (auto it = pressedText_.find(e.text); it != pressedText_.end()) {
    p = it->second;
  } else {
    const auto scalar = singleScalar(e.text);
    if (!scalar) return finish(false);
    const std::uint32_t keysym = keysymForScalar(*scalar);
    // The level the held Shift selects must be the one carrying the character; otherwise a
    // spare keycode carries it at both levels.
    if (auto kc = keycodeAtLevel(keysym, shiftHeld() ? 1 : 0)) {
      p = {*kc};
    } else if (auto spare = remap(keysym)) {
      p = {*spare};
    } else {
      return finish(false);
    }
  }
  // Shift is the character's business; the other flags are pressed if no key holds them.
  const auto extra = pressMissingModifiers(e.flags & ~kShiftFlag, 0xFFFF);
  XTestFakeKeyEvent(d, p.keycode, True, CurrentTime);
  releaseAll(extra);
  pressedText_[e.text] = p;
  finish(true);
}

void X11SessionEventPoster::postMouse(const platform::SessionMouseEvent& e) {
  Display* d = connection_->get();
  const auto clamp = [](double v, int limit) {
    if (!(v >= 0)) return 0;  // also NaN
    return static_cast<int>(std::min(v, static_cast<double>(limit - 1)));
  };
  const int x = clamp(e.x, screenWidth_), y = clamp(e.y, screenHeight_);
  XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
  int button = 0;
  bool press = false;
  switch (e.type) {
    case 1: button = 1, press = true; break;   // left down
    case 2: button = 1; break;                 // left up
    case 3: button = 3, press = true; break;   // right down
    case 4: button = 3; break;                 // right up
    case 25: press = true; [[fallthrough]];    // other down
    case 26: button = e.button == 1 ? 3 : e.button == 0 ? 1 : 2; break;
    default: break;                            // moved and dragged: the motion above
  }
  if (button != 0) {
    const auto extra = press ? pressMissingModifiers(e.flags, 0xFFFF) : std::vector<unsigned>{};
    XTestFakeButtonEvent(d, static_cast<unsigned>(button), press ? True : False, CurrentTime);
    releaseAll(extra);
  }
  finish(true);
}

void X11SessionEventPoster::postScroll(const platform::SessionScrollEvent& e) {
  Display* d = connection_->get();
  const auto extra = pressMissingModifiers(e.flags, 0xFFFF);
  const auto clicks = [&](std::int32_t steps, unsigned positive, unsigned negative) {
    const unsigned button = steps > 0 ? positive : negative;
    // One wheel button click per line; bounded so a huge delta cannot stall the display.
    const std::int64_t count = std::min<std::int64_t>(std::abs(static_cast<std::int64_t>(steps)), 100);
    for (std::int64_t i = 0; i < count; ++i) {
      XTestFakeButtonEvent(d, button, True, CurrentTime);
      XTestFakeButtonEvent(d, button, False, CurrentTime);
    }
  };
  clicks(e.vertical, 4, 5);    // up, down
  clicks(e.horizontal, 6, 7);  // left, right
  releaseAll(extra);
  finish(true);
}

void X11SessionEventPoster::finish(bool ok) {
  if (!ok) {
    ++dropped_;
    return;
  }
  XFlush(connection_->get());
  if (auto error = connection_->takeError()) {
    lastError_ = *error;
    ++dropped_;
  }
}

void X11SessionEventPoster::post(const platform::SessionHidEvent& event) noexcept {
  std::lock_guard<std::mutex> g(mutex_);
  if (connection_->dead()) {
    ++dropped_;
    return;
  }
  drainEvents();
  std::visit(
      [this](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, platform::SessionKeyEvent>) postKey(e);
        else if constexpr (std::is_same_v<T, platform::SessionUnicodeEvent>) postUnicode(e);
        else if constexpr (std::is_same_v<T, platform::SessionMouseEvent>) postMouse(e);
        else postScroll(e);
      },
      event);
  if (connection_->dead()) lastError_ = "connection to the X server lost";
}

}  // namespace platformlinux
