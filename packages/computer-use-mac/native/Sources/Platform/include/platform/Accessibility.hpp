#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// Accessibility status codes, numerically those of the macOS accessibility interface so that
// messages quoting them read the same on every backend.
using AXError = std::int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;

// One accessibility element of some application. Backends subclass it; the library only holds
// references, which keep the element alive as long as a cache or a caller needs it.
class AccessibilityElement {
 public:
  virtual ~AccessibilityElement() = default;
};
using AXElementRef = std::shared_ptr<AccessibilityElement>;

// A number as the platform reports it, with the text form the platform gives that number
// (integral values without a fraction, e.g. "1"; others in shortest form, e.g. "0.5").
struct AXNumber {
  double value = 0;
  bool operator==(const AXNumber&) const = default;
};
struct AXPoint {
  double x = 0, y = 0;
  bool operator==(const AXPoint&) const = default;
};
struct AXSize {
  double width = 0, height = 0;
  bool operator==(const AXSize&) const = default;
};
// A value of a kind the library does not read (e.g. a range or a URL).
struct AXOtherValue {
  bool operator==(const AXOtherValue&) const = default;
};

using AXValue = std::variant<std::string, AXNumber, AXPoint, AXSize, AXElementRef, std::vector<AXElementRef>, AXOtherValue>;

struct AXCopyResult {
  AXError error = kAXErrorNoValue;
  std::optional<AXValue> value;  // present exactly when error is kAXErrorSuccess
};

// Attributes, actions and settable values of accessibility elements, and the trust check.
// Calls block until the target application answers.
class Accessibility {
 public:
  virtual ~Accessibility() = default;

  // Whether this process may use accessibility; with `prompt` the system may ask the user.
  virtual bool isProcessTrusted(bool prompt) = 0;

  // The application element of a process (not checked: reads fail later if there is none).
  virtual AXElementRef applicationElement(std::int32_t pid) = 0;

  virtual AXCopyResult copyAttributeValue(const AXElementRef& element, std::string_view attribute) = 0;
  virtual AXError copyActionNames(const AXElementRef& element, std::vector<std::string>& names) = 0;
  virtual AXError isAttributeSettable(const AXElementRef& element, std::string_view attribute, bool& settable) = 0;
  virtual AXError performAction(const AXElementRef& element, std::string_view action) = 0;
  virtual AXError setAttributeValue(const AXElementRef& element, std::string_view attribute, const std::string& value) = 0;
};

}  // namespace platform
