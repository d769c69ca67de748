#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "computeruse/Models.hpp"
#include "platform/Accessibility.hpp"

namespace computeruse {

// Turns one window of an application into an AXNode tree with pre-order indices, and remembers
// per process which element stands behind each index of its latest snapshot.
// Not thread-safe: one caller thread at a time.
class AccessibilityService {
 public:
  // The elements of one snapshot. Indices are the decimal numbers 0..n-1 of a pre-order walk, so
  // the element behind index "k" sits at position k; only the canonical spelling finds it
  // ("7", not "07" or "+7").
  struct Cache {
    std::vector<platform::AXElementRef> elements;
    platform::AXElementRef find(const std::string& index) const;
  };

  static constexpr std::int64_t maxNodes = 2500;
  static constexpr std::int64_t maxDepth = 40;

  explicit AccessibilityService(platform::Accessibility& platform);

  std::optional<AXNode> snapshotWindow(std::int32_t pid, std::optional<std::uint32_t> windowNumber);
  platform::AXElementRef element(std::int32_t pid, const std::string& index) const;
  std::optional<std::uint32_t> keyWindowNumber(std::int32_t pid);
  std::optional<Rect> keyWindowFrame(std::int32_t pid);
  void performAction(const platform::AXElementRef& element, const std::string& action);
  bool supportsAction(const platform::AXElementRef& element, const std::string& action);
  void setValue(const platform::AXElementRef& element, const std::string& value);
  std::optional<Point> center(const platform::AXElementRef& element);

  const std::unordered_map<std::int32_t, Cache>& cachesByPID() const { return cachesByPID_; }

 private:
  struct Walk {
    std::int64_t counter = 0;
    std::int64_t nodeCount = 0;
    Cache cache;
    platform::AXElementAttributes attributes;  // reused to keep allocations down
  };

  bool buildNode(platform::AXElementRef element, std::int64_t depth, Walk& walk, std::vector<AXNode>& into);
  platform::AXElementRef keyWindow(const platform::AXElementRef& app);
  platform::AXElementRef findWindow(const platform::AXElementRef& app, std::uint32_t number);
  std::optional<std::string> text(const platform::AXElementRef& e, std::string_view attribute);
  std::optional<std::string> valueText(const platform::AXElementRef& e);
  std::optional<bool> boolean(const platform::AXElementRef& e, std::string_view attribute);
  std::optional<Rect> frame(const platform::AXElementRef& e);
  std::vector<std::string> actionNames(const platform::AXElementRef& e);
  platform::AXElementRef elementAttribute(const platform::AXElementRef& e, std::string_view attribute);
  std::optional<std::vector<platform::AXElementRef>> elements(const platform::AXElementRef& e, std::string_view attribute);
  std::optional<std::uint32_t> windowNumber(const platform::AXElementRef& window);

  platform::Accessibility& platform_;
  std::unordered_map<std::int32_t, Cache> cachesByPID_;
};

// The platform's text form of a number: integral values without a fraction, others shortest.
std::string numberText(double value);

}  // namespace computeruse
