#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "computeruse/Models.hpp"
#include "platform/EventPosting.hpp"
#include "support/Clock.hpp"

namespace computeruse {

// Synthetic mouse, wheel and keyboard input. With a pid, events go to that process alone;
// without, to the system as hardware input. Keeps no state besides its collaborators.
class InputSynthesizer {
 public:
  // The position is also the platform's button number.
  enum class MouseButton : std::int32_t { left = 0, right = 1, middle = 2 };

  static std::optional<MouseButton> mouseButton(std::string_view rawValue);
  static std::string_view rawValue(MouseButton button);

  InputSynthesizer(platform::EventPoster& poster, support::Clock& clock);

  void click(Point at, MouseButton button, std::int64_t clickCount, std::optional<std::int32_t> pid);
  void drag(Point from, Point to, MouseButton button, std::optional<std::int32_t> pid);
  void scroll(const std::string& direction, double pages, std::optional<Point> at, std::optional<std::int32_t> pid);
  void type(const std::string& text, std::optional<std::int32_t> pid);
  void pressKey(const std::string& keys, std::optional<std::int32_t> pid);

  static constexpr int kDragSteps = 20;

 private:
  void moveTo(Point at, std::optional<std::int32_t> pid);
  void post(const platform::InputEvent& event, const char* failure, std::optional<std::int32_t> pid);

  platform::EventPoster& poster_;
  support::Clock& clock_;
};

// Splits UTF-16 text into chunks of at most maxUnits units without splitting a surrogate pair.
std::vector<std::u16string> utf16EventChunks(const std::u16string& text, std::int64_t maxUnits);

// Modifier flag of a lower-cased modifier name, if it is one.
std::optional<std::uint64_t> modifierFlag(std::string_view lowercaseName);

// Wheel line count of a scroll: pages * 10 rounded half away from zero; absent when it (or its
// negation) does not fit a 32-bit signed integer or is not a number.
std::optional<std::int32_t> scrollLines(double pages);

}  // namespace computeruse
