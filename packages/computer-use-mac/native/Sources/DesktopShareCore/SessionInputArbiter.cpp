#include "desktopshare/SessionInputArbiter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace desktopshare {

namespace {

using KeyToken = std::variant<std::uint16_t, ModifierKey, std::string>;

KeyToken tokenFor(const KeyResolution& r) {
  if (auto* k = std::get_if<KeyResolution::KeyCode>(&r.value)) return k->code;
  if (auto* m = std::get_if<KeyResolution::Modifier>(&r.value)) return m->key;
  return std::get<KeyResolution::Unicode>(r.value).text;
}

enum class PointerButton { left, middle, right };
constexpr std::array<PointerButton, 3> kButtons{PointerButton::left, PointerButton::middle, PointerButton::right};

struct ButtonInfo {
  std::uint8_t maskBit;
  std::int32_t cgButton;
  std::int32_t downType, upType, draggedType;
};

constexpr ButtonInfo info(PointerButton b) {
  switch (b) {
    case PointerButton::left: return {0x01, 0, 1, 2, 6};
    case PointerButton::middle: return {0x02, 2, 25, 26, 27};
    case PointerButton::right: return {0x04, 1, 3, 4, 7};
  }
  return {0, 0, 0, 0, 0};
}

struct WheelStep {
  std::uint8_t maskBit;
  std::int32_t vertical, horizontal;
};
constexpr std::array<WheelStep, 4> kWheelSteps{{{0x08, 1, 0}, {0x10, -1, 0}, {0x20, 0, 1}, {0x40, 0, -1}}};

constexpr std::int32_t kMouseMoved = 5;

}  // namespace

struct SessionInputArbiter::State {
  struct Click {
    double time;
    Point position;
    std::int64_t count;
  };

  State(SessionEventPoster& p, Configuration c, Clock k) : poster(p), configuration(c), clock(std::move(k)) {}

  SessionEventPoster& poster;
  const Configuration configuration;
  const Clock clock;
  std::atomic<std::uint64_t> unmappedKeysyms{0};

  std::mutex lock;  // guards the maps below and every session's fields; held across posting
  std::map<KeyToken, int> keyHolds;
  std::map<PointerButton, int> buttonHolds;
  std::map<PointerButton, Click> clicks;

  // Everything below runs with `lock` held.
  std::uint64_t modifierFlags() const {
    std::uint64_t flags = 0;
    for (ModifierKey m : allModifierKeys) {
      auto it = keyHolds.find(KeyToken{m});
      if (it != keyHolds.end() && it->second > 0) flags |= flag(m);
    }
    return flags;
  }

  std::int64_t lastClickCount(PointerButton b) const {
    auto it = clicks.find(b);
    return it == clicks.end() ? 1 : it->second.count;
  }

  void moveTo(Point p) {
    for (PointerButton b : kButtons) {
      auto it = buttonHolds.find(b);
      if (it == buttonHolds.end() || it->second <= 0) continue;
      const ButtonInfo i = info(b);
      poster.post(SessionMouseEvent{i.draggedType, p.x, p.y, i.cgButton, lastClickCount(b), modifierFlags()});
      return;
    }
    poster.post(SessionMouseEvent{kMouseMoved, p.x, p.y, 0, 0, modifierFlags()});
  }

  void pressButton(PointerButton b, Point p) {
    const int n = buttonHolds[b];
    buttonHolds[b] = n + 1;
    if (n > 0) return;  // another session already holds it
    const double now = clock();
    std::int64_t count = 1;
    if (auto it = clicks.find(b); it != clicks.end()) {
      const Click& c = it->second;
      if (now - c.time <= configuration.doubleClickInterval &&
          std::abs(p.x - c.position.x) <= configuration.doubleClickSlop &&
          std::abs(p.y - c.position.y) <= configuration.doubleClickSlop)
        count = c.count + 1;
    }
    clicks[b] = Click{now, p, count};
    const ButtonInfo i = info(b);
    poster.post(SessionMouseEvent{i.downType, p.x, p.y, i.cgButton, count, modifierFlags()});
  }

  void releaseButton(PointerButton b, Point p) {
    auto it = buttonHolds.find(b);
    const int n = it == buttonHolds.end() ? 0 : it->second;
    if (n >= 2) {
      it->second = n - 1;
      return;
    }
    if (it != buttonHolds.end()) buttonHolds.erase(it);
    const ButtonInfo i = info(b);
    poster.post(SessionMouseEvent{i.upType, p.x, p.y, i.cgButton, lastClickCount(b), modifierFlags()});
  }

  void postKey(const KeyToken& token, bool down, bool isRepeat) {
    const std::uint64_t flags = modifierFlags();
    if (auto* code = std::get_if<std::uint16_t>(&token)) {
      poster.post(SessionKeyEvent{*code, down, isRepeat, flags});
    } else if (auto* m = std::get_if<ModifierKey>(&token)) {
      poster.post(SessionKeyEvent{keyCode(*m), down, false, flags});
    } else {
      poster.post(SessionUnicodeEvent{std::get<std::string>(token), down, isRepeat, flags});
    }
  }

  void releaseKey(const KeyToken& token) {
    auto it = keyHolds.find(token);
    const int n = it == keyHolds.end() ? 0 : it->second;
    if (n <= 1) {
      if (it != keyHolds.end()) keyHolds.erase(it);
      postKey(token, false, false);
    } else {
      it->second = n - 1;
    }
  }
};

class SessionInputArbiter::Session final : public InputSession {
 public:
  explicit Session(std::shared_ptr<State> arbiter) : arbiter_(std::move(arbiter)) {}

  void pointer(const PointerInput& event) override {
    State& a = *arbiter_;
    std::lock_guard<std::mutex> guard(a.lock);
    if (closed_) return;
    // Framebuffer pixels are global points without scaling.
    const Point p{a.configuration.globalOrigin.x + static_cast<double>(event.x),
                  a.configuration.globalOrigin.y + static_cast<double>(event.y)};
    if (!lastPosition_ || *lastPosition_ != p) {
      a.moveTo(p);
      lastPosition_ = p;
    }
    for (PointerButton b : kButtons) {
      const std::uint8_t bit = info(b).maskBit;
      if ((lastMask_ & bit) && !(event.buttonMask & bit)) {
        auto it = std::find(heldButtons_.begin(), heldButtons_.end(), b);
        if (it != heldButtons_.end()) {
          heldButtons_.erase(it);
          a.releaseButton(b, p);
        }
      }
    }
    for (PointerButton b : kButtons) {
      const std::uint8_t bit = info(b).maskBit;
      if ((event.buttonMask & bit) && !(lastMask_ & bit) &&
          std::find(heldButtons_.begin(), heldButtons_.end(), b) == heldButtons_.end()) {
        heldButtons_.push_back(b);
        a.pressButton(b, p);
      }
    }
    // A wheel notch scrolls once, on the rising edge of its bit.
    for (const WheelStep& w : kWheelSteps)
      if ((event.buttonMask & w.maskBit) && !(lastMask_ & w.maskBit))
        a.poster.post(SessionScrollEvent{w.vertical, w.horizontal, a.modifierFlags()});
    lastMask_ = event.buttonMask;
  }

  void key(const KeyInput& event) override {
    State& a = *arbiter_;
    const auto resolution = KeysymMap::resolve(event.keysym);
    if (!resolution) {
      a.unmappedKeysyms.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const KeyToken token = tokenFor(*resolution);
    std::lock_guard<std::mutex> guard(a.lock);
    if (closed_) return;
    auto held = std::find(heldKeys_.begin(), heldKeys_.end(), token);
    if (event.down) {
      if (held != heldKeys_.end()) {
        // Auto-repeat from the viewer; modifiers never repeat.
        if (!std::holds_alternative<ModifierKey>(token)) a.postKey(token, true, true);
        return;
      }
      heldKeys_.push_back(token);
      const int n = ++a.keyHolds[token];
      if (n == 1) a.postKey(token, true, false);
    } else if (held != heldKeys_.end()) {
      heldKeys_.erase(held);
      a.releaseKey(token);
    }
  }

  void close() noexcept override {
    State& a = *arbiter_;
    std::lock_guard<std::mutex> guard(a.lock);
    if (closed_) return;
    closed_ = true;
    const Point p = lastPosition_.value_or(a.configuration.globalOrigin);
    for (auto it = heldButtons_.rbegin(); it != heldButtons_.rend(); ++it) a.releaseButton(*it, p);
    heldButtons_.clear();
    for (auto it = heldKeys_.rbegin(); it != heldKeys_.rend(); ++it) a.releaseKey(*it);
    heldKeys_.clear();
  }

 private:
  const std::shared_ptr<State> arbiter_;
  // All guarded by the arbiter's lock.
  std::vector<KeyToken> heldKeys_;        // press order
  std::vector<PointerButton> heldButtons_;  // press order
  std::uint8_t lastMask_ = 0;
  std::optional<Point> lastPosition_;
  bool closed_ = false;
};

SessionInputArbiter::SessionInputArbiter(SessionEventPoster& poster, Configuration configuration, Clock clock)
    : state_(std::make_shared<State>(poster, configuration, std::move(clock))) {}

std::unique_ptr<InputSession> SessionInputArbiter::open() { return std::make_unique<Session>(state_); }

std::uint64_t SessionInputArbiter::unmappedKeysymCount() const {
  return state_->unmappedKeysyms.load(std::memory_order_relaxed);
}

}  // namespace desktopshare
