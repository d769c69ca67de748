#include "computeruse/InputSynthesizer.hpp"

#include <chrono>
#include <cmath>

#include "Text.hpp"
#include "computeruse/KeyMap.hpp"

namespace computeruse {

using platform::MouseEventType;

namespace {

struct ButtonTypes {
  MouseEventType press, drag, release;
};

ButtonTypes typesOf(InputSynthesizer::MouseButton b) {
  switch (b) {
    case InputSynthesizer::MouseButton::left:
      return {MouseEventType::leftMouseDown, MouseEventType::leftMouseDragged, MouseEventType::leftMouseUp};
    case InputSynthesizer::MouseButton::right:
      return {MouseEventType::rightMouseDown, MouseEventType::rightMouseDragged, MouseEventType::rightMouseUp};
    case InputSynthesizer::MouseButton::middle:
      break;
  }
  return {MouseEventType::otherMouseDown, MouseEventType::otherMouseDragged, MouseEventType::otherMouseUp};
}

platform::MouseEvent mouse(MouseEventType type, Point p, InputSynthesizer::MouseButton b, std::int64_t clickState) {
  return platform::MouseEvent{type, p.x, p.y, static_cast<std::int32_t>(b), clickState};
}

constexpr std::int32_t kMaxLines = 2147483647;

}  // namespace

std::optional<InputSynthesizer::MouseButton> InputSynthesizer::mouseButton(std::string_view raw) {
  if (raw == "left") return MouseButton::left;
  if (raw == "right") return MouseButton::right;
  if (raw == "middle") return MouseButton::middle;
  return std::nullopt;
}

std::string_view InputSynthesizer::rawValue(MouseButton b) {
  switch (b) {
    case MouseButton::left: return "left";
    case MouseButton::right: return "right";
    case MouseButton::middle: break;
  }
  return "middle";
}

InputSynthesizer::InputSynthesizer(platform::EventPoster& poster, support::Clock& clock)
    : poster_(poster), clock_(clock) {}

void InputSynthesizer::post(const platform::InputEvent& event, const char* failure, std::optional<std::int32_t> pid) {
  auto created = poster_.create(event);
  if (!created) throw ComputerUseError(failure);
  poster_.post(*created, pid);
}

void InputSynthesizer::moveTo(Point at, std::optional<std::int32_t> pid) {
  post(mouse(MouseEventType::mouseMoved, at, MouseButton::left, 0), messages::kMouseMoveEventFailed, pid);
}

void InputSynthesizer::click(Point at, MouseButton button, std::int64_t clickCount, std::optional<std::int32_t> pid) {
  moveTo(at, pid);
  const auto types = typesOf(button);
  const std::int64_t n = std::max<std::int64_t>(clickCount, 1);
  for (std::int64_t i = 1; i <= n; ++i) {
    post(mouse(types.press, at, button, i), messages::kMouseEventFailed, pid);
    post(mouse(types.release, at, button, i), messages::kMouseEventFailed, pid);
  }
}

void InputSynthesizer::drag(Point from, Point to, MouseButton button, std::optional<std::int32_t> pid) {
  moveTo(from, pid);
  const auto types = typesOf(button);
  post(mouse(types.press, from, button, 1), messages::kMouseEventFailed, pid);
  for (int i = 1; i <= kDragSteps; ++i) {
    const double t = i / static_cast<double>(kDragSteps);
    Point p{(to.x - from.x) * t + from.x, (to.y - from.y) * t + from.y};
    post(mouse(types.drag, p, button, 1), messages::kMouseEventFailed, pid);
    clock_.sleepFor(std::chrono::milliseconds(5));
  }
  post(mouse(types.release, to, button, 1), messages::kMouseEventFailed, pid);
}

std::optional<std::int32_t> scrollLines(double pages) {
  const double lines = std::round(pages * 10.0);  // halves away from zero
  if (!(lines >= -kMaxLines && lines <= kMaxLines)) return std::nullopt;
  return static_cast<std::int32_t>(lines);
}

void InputSynthesizer::scroll(const std::string& direction, double pages, std::optional<Point> at,
                              std::optional<std::int32_t> pid) {
  // Refuse before anything is sent: an unrepresentable amount must not move the pointer either.
  auto lines = scrollLines(pages);
  if (!lines) throw ComputerUseError("Invalid pages value; provide a finite number of pages between -214748364 and 214748364.");
  if (at) moveTo(*at, pid);
  const auto dir = text::lowercased(direction);
  platform::ScrollEvent e;
  if (dir == "up") {
    e.wheel1 = *lines;
  } else if (dir == "left") {
    e.wheel2 = *lines;
  } else if (dir == "right") {
    e.wheel2 = -*lines;
  } else {
    e.wheel1 = -*lines;  // "down" and anything unknown
  }
  post(e, messages::kScrollEventFailed, pid);
}

std::vector<std::u16string> utf16EventChunks(const std::u16string& s, std::int64_t maxUnits) {
  auto clean = [](std::u16string_view units) {
    // Ill-formed units become U+FFFD, as decoding the chunk back to text would do.
    std::u16string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
      char16_t c = units[i];
      bool lead = c >= 0xD800 && c <= 0xDBFF, trail = c >= 0xDC00 && c <= 0xDFFF;
      if (lead && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        out.push_back(c);
        out.push_back(units[++i]);
      } else {
        out.push_back(lead || trail ? u'\uFFFD' : c);
      }
    }
    return out;
  };
  const auto count = static_cast<std::int64_t>(s.size());
  if (maxUnits <= 0 || count <= maxUnits) return {clean(s)};
  std::vector<std::u16string> chunks;
  std::int64_t start = 0;
  while (start < count) {
    std::int64_t end = std::min(count, start + maxUnits);
    if (end < count && s[end - 1] >= 0xD800 && s[end - 1] <= 0xDBFF) --end;
    if (end == start) end = std::min(count, start + 1);
    chunks.push_back(clean(std::u16string_view(s).substr(start, end - start)));
    start = end;
  }
  return chunks;
}

void InputSynthesizer::type(const std::string& textIn, std::optional<std::int32_t> pid) {
  for (auto& chunk : utf16EventChunks(text::utf16(textIn), 20)) {
    auto down = poster_.create(platform::KeyEvent{0, true, 0, chunk});
    auto up = poster_.create(platform::KeyEvent{0, false, 0, chunk});
    if (!down || !up) throw ComputerUseError(messages::kKeyboardEventFailed);
    poster_.post(*down, pid);
    poster_.post(*up, pid);
    clock_.sleepFor(std::chrono::milliseconds(4));
  }
}

std::optional<std::uint64_t> modifierFlag(std::string_view m) {
  if (m == "cmd" || m == "command" || m == "super" || m == "meta") return platform::kFlagCommand;
  if (m == "ctrl" || m == "control") return platform::kFlagControl;
  if (m == "alt" || m == "option" || m == "opt") return platform::kFlagOption;
  if (m == "shift") return platform::kFlagShift;
  if (m == "fn" || m == "function") return platform::kFlagFunction;
  return std::nullopt;
}

void InputSynthesizer::pressKey(const std::string& keys, std::optional<std::int32_t> pid) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= keys.size()) {
    auto plus = keys.find('+', start);
    if (plus == std::string::npos) plus = keys.size();
    if (plus > start) pieces.push_back(text::trimmedWhitespace(std::string_view(keys).substr(start, plus - start)));
    start = plus + 1;
  }
  if (pieces.empty() || pieces.back().empty()) throw ComputerUseError(messages::kEmptyKeyCombination);
  std::uint64_t flags = 0;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    auto flag = modifierFlag(text::lowercased(pieces[i]));
    if (!flag) throw ComputerUseError(messages::unknownModifier(pieces[i]));
    flags |= *flag;
  }
  auto code = KeyMap::keyCode(pieces.back());
  if (!code) throw ComputerUseError(messages::unknownKey(pieces.back()));
  auto down = poster_.create(platform::KeyEvent{*code, true, flags, {}});
  auto up = poster_.create(platform::KeyEvent{*code, false, flags, {}});
  if (!down || !up) throw ComputerUseError(messages::kKeyEventFailed);
  poster_.post(*down, pid);
  poster_.post(*up, pid);
}

}  // namespace computeruse
