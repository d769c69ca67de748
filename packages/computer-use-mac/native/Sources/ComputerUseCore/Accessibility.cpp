#include "computeruse/Accessibility.hpp"

#include <charconv>
#include <cmath>

namespace computeruse {

using platform::AXElementRef;

std::string numberText(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
    return std::to_string(static_cast<long long>(value));
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

AccessibilityService::AccessibilityService(platform::Accessibility& platform) : platform_(platform) {}

std::optional<std::string> AccessibilityService::text(const AXElementRef& e, std::string_view attribute) {
  auto r = platform_.copyAttributeValue(e, attribute);
  if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
  auto* s = std::get_if<std::string>(&*r.value);
  if (!s || s->empty()) return std::nullopt;
  return std::move(*s);
}

std::optional<std::string> AccessibilityService::valueText(const AXElementRef& e) {
  auto r = platform_.copyAttributeValue(e, "AXValue");
  if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
  if (auto* s = std::get_if<std::string>(&*r.value)) {
    if (s->empty()) return std::nullopt;
    return std::move(*s);
  }
  if (auto* n = std::get_if<platform::AXNumber>(&*r.value)) return numberText(n->value);
  return std::nullopt;
}

std::optional<bool> AccessibilityService::boolean(const AXElementRef& e, std::string_view attribute) {
  auto r = platform_.copyAttributeValue(e, attribute);
  if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
  if (auto* n = std::get_if<platform::AXNumber>(&*r.value)) return n->value != 0;
  return std::nullopt;
}

std::optional<Rect> AccessibilityService::frame(const AXElementRef& e) {
  auto pos = platform_.copyAttributeValue(e, "AXPosition");
  if (pos.error != platform::kAXErrorSuccess || !pos.value) return std::nullopt;
  auto* p = std::get_if<platform::AXPoint>(&*pos.value);
  if (!p) return std::nullopt;
  auto size = platform_.copyAttributeValue(e, "AXSize");
  if (size.error != platform::kAXErrorSuccess || !size.value) return std::nullopt;
  auto* s = std::get_if<platform::AXSize>(&*size.value);
  if (!s) return std::nullopt;
  return Rect(p->x, p->y, s->width, s->height);
}

std::vector<std::string> AccessibilityService::actionNames(const AXElementRef& e) {
  std::vector<std::string> names;
  if (platform_.copyActionNames(e, names) != platform::kAXErrorSuccess) return {};
  return names;
}

AXElementRef AccessibilityService::elementAttribute(const AXElementRef& e, std::string_view attribute) {
  auto r = platform_.copyAttributeValue(e, attribute);
  if (r.error != platform::kAXErrorSuccess || !r.value) return nullptr;
  if (auto* el = std::get_if<AXElementRef>(&*r.value)) return std::move(*el);
  return nullptr;
}

std::optional<std::vector<AXElementRef>> AccessibilityService::elements(const AXElementRef& e,
                                                                         std::string_view attribute) {
  auto r = platform_.copyAttributeValue(e, attribute);
  if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
  if (auto* list = std::get_if<std::vector<AXElementRef>>(&*r.value)) return std::move(*list);
  return std::nullopt;
}

std::optional<std::uint32_t> AccessibilityService::windowNumber(const AXElementRef& window) {
  auto r = platform_.copyAttributeValue(window, "AXWindowNumber");
  if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
  auto* n = std::get_if<platform::AXNumber>(&*r.value);
  if (!n || !(n->value > -9.2e18 && n->value < 9.2e18)) return std::nullopt;
  // Unsigned 32-bit reading of the number, as the platform's conversion does (wrapping).
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(n->value));
}

AXElementRef AccessibilityService::keyWindow(const AXElementRef& app) {
  if (auto w = elementAttribute(app, "AXFocusedWindow")) return w;
  if (auto w = elementAttribute(app, "AXMainWindow")) return w;
  auto windows = elements(app, "AXWindows");
  if (windows && !windows->empty()) return windows->front();
  return nullptr;
}

AXElementRef AccessibilityService::findWindow(const AXElementRef& app, std::uint32_t number) {
  auto windows = elements(app, "AXWindows");
  if (!windows) return nullptr;
  for (const auto& w : *windows) {
    auto n = windowNumber(w);
    if (n && *n == number) return w;
  }
  return nullptr;
}

std::optional<AXNode> AccessibilityService::snapshotWindow(std::int32_t pid, std::optional<std::uint32_t> number) {
  AXElementRef app = platform_.applicationElement(pid);
  AXElementRef window;
  if (number) window = findWindow(app, *number);
  if (!window) window = keyWindow(app);
  if (!window) {
    cachesByPID_[pid] = Cache{};
    return std::nullopt;
  }
  Walk walk;
  walk.cache.elements.reserve(256);
  auto root = buildNode(window, 0, walk);
  cachesByPID_[pid] = std::move(walk.cache);
  return root;
}

std::optional<AXNode> AccessibilityService::buildNode(const AXElementRef& element, std::int64_t depth, Walk& walk) {
  if (walk.nodeCount >= maxNodes || depth > maxDepth) return std::nullopt;
  ++walk.nodeCount;
  AXNode node(std::to_string(walk.counter), std::string());
  ++walk.counter;
  walk.cache.elements.emplace(node.index, element);

  auto role = text(element, "AXRole");
  node.role = role ? std::move(*role) : std::string("AXUnknown");
  node.subrole = text(element, "AXSubrole");
  node.title = text(element, "AXTitle");
  node.value = valueText(element);
  node.description = text(element, "AXDescription");
  node.enabled = boolean(element, "AXEnabled");
  node.focused = boolean(element, "AXFocused");
  bool settable = false;
  node.settable = platform_.isAttributeSettable(element, "AXValue", settable) == platform::kAXErrorSuccess && settable;
  node.frame = frame(element);
  auto actions = actionNames(element);
  if (!actions.empty()) node.actions = std::move(actions);

  auto children = elements(element, "AXChildren");
  if (children && !children->empty()) {
    std::vector<AXNode> built;
    built.reserve(children->size());
    for (const auto& child : *children) {
      if (walk.nodeCount >= maxNodes) break;
      if (auto c = buildNode(child, depth + 1, walk)) built.push_back(std::move(*c));
    }
    if (!built.empty()) node.children = std::move(built);
  }
  return node;
}

AXElementRef AccessibilityService::element(std::int32_t pid, const std::string& index) const {
  auto cache = cachesByPID_.find(pid);
  if (cache != cachesByPID_.end()) {
    auto it = cache->second.elements.find(index);
    if (it != cache->second.elements.end()) return it->second;
  }
  throw ComputerUseError(messages::unknownElementIndex(index));
}

std::optional<std::uint32_t> AccessibilityService::keyWindowNumber(std::int32_t pid) {
  auto window = keyWindow(platform_.applicationElement(pid));
  if (!window) return std::nullopt;
  return windowNumber(window);
}

std::optional<Rect> AccessibilityService::keyWindowFrame(std::int32_t pid) {
  auto window = keyWindow(platform_.applicationElement(pid));
  if (!window) return std::nullopt;
  return frame(window);
}

void AccessibilityService::performAction(const AXElementRef& element, const std::string& action) {
  auto status = platform_.performAction(element, action);
  if (status != platform::kAXErrorSuccess) throw ComputerUseError(messages::actionFailed(action, status));
}

bool AccessibilityService::supportsAction(const AXElementRef& element, const std::string& action) {
  for (const auto& name : actionNames(element))
    if (name == action) return true;
  return false;
}

void AccessibilityService::setValue(const AXElementRef& element, const std::string& value) {
  auto status = platform_.setAttributeValue(element, "AXValue", value);
  if (status != platform::kAXErrorSuccess) throw ComputerUseError(messages::setValueFailed(status));
}

std::optional<Point> AccessibilityService::center(const AXElementRef& element) {
  auto f = frame(element);
  if (!f) return std::nullopt;
  return f->center();
}

}  // namespace computeruse
