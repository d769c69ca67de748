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

// What a tree walk reads of one element, typed. A field is absent when the platform cannot read
// that attribute or it has another kind of value.
struct AXElementAttributes {
  std::optional<std::string> role, subrole, title, description;  // when the value is text
  std::optional<AXValue> value;                                   // AXValue as read
  std::optional<bool> enabled, focused;                           // boolean reading of a number
  std::optional<AXPoint> position;
  std::optional<AXSize> size;
  std::vector<AXElementRef> children;    // empty when absent or not a list of elements
  std::vector<std::string> actionNames;  // empty when they cannot be read
  bool valueSettable = false;            // false when the platform cannot tell
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

  // Everything a tree walk needs of one element in one round trip. Backends with a batched read
  // (several attributes per request) override this; the default asks attribute by attribute.
  virtual void readElementAttributes(const AXElementRef& element, AXElementAttributes& out) {
    auto read = [&](std::string_view attribute) {
      auto r = copyAttributeValue(element, attribute);
      return r.error == kAXErrorSuccess ? std::move(r.value) : std::nullopt;
    };
    auto text = [&](std::string_view attribute, std::optional<std::string>& into) {
      auto v = read(attribute);
      if (v && std::holds_alternative<std::string>(*v)) into = std::move(std::get<std::string>(*v));
      else into.reset();
    };
    auto boolean = [&](std::string_view attribute, std::optional<bool>& into) {
      auto v = read(attribute);
      if (v && std::holds_alternative<AXNumber>(*v)) into = std::get<AXNumber>(*v).value != 0;
      else into.reset();
    };
    text("AXRole", out.role);
    text("AXSubrole", out.subrole);
    text("AXTitle", out.title);
    out.value = read("AXValue");
    text("AXDescription", out.description);
    boolean("AXEnabled", out.enabled);
    boolean("AXFocused", out.focused);
    auto position = read("AXPosition");
    if (position && std::holds_alternative<AXPoint>(*position)) out.position = std::get<AXPoint>(*position);
    else out.position.reset();
    auto size = read("AXSize");
    if (size && std::holds_alternative<AXSize>(*size)) out.size = std::get<AXSize>(*size);
    else out.size.reset();
    auto children = read("AXChildren");
    if (children && std::holds_alternative<std::vector<AXElementRef>>(*children))
      out.children = std::move(std::get<std::vector<AXElementRef>>(*children));
    else out.children.clear();
    if (copyActionNames(element, out.actionNames) != kAXErrorSuccess) out.actionNames.clear();
    bool settable = false;
    out.valueSettable = isAttributeSettable(element, "AXValue", settable) == kAXErrorSuccess && settable;
  }
};

}  // namespace platform
