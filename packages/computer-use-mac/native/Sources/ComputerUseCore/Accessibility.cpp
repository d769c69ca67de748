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

namespace {

using platform::AXValue;

// Reading rules shared by single reads and batched element reads.
std::optional<std::string> textOf(std::optional<AXValue>& v) {
  if (!v) return std::nullopt;
  auto* s = std::get_if<std::string>(&*v);
  if (!s || s->empty()) return std::nullopt;
  return std::move(*s);
}

std::optional<std::string> valueTextOf(std::optional<AXValue>& v) {
  if (!v) return std::nullopt;
  if (auto* n = std::get_if<platform::AXNumber>(&*v)) return numberText(n->value);
  return textOf(v);
}

std::optional<bool> boolOf(const std::optional<AXValue>& v) {
  if (!v) return std::nullopt;
  if (auto* n = std::get_if<platform::AXNumber>(&*v)) return n->value != 0;
  return std::nullopt;
}

std::optional<Rect> frameOf(const std::optional<AXValue>& position, const std::optional<AXValue>& size) {
  if (!position || !size) return std::nullopt;
  auto* p = std::get_if<platform::AXPoint>(&*position);
  auto* s = std::get_if<platform::AXSize>(&*size);
  if (!p || !s) return std::nullopt;
  return Rect(p->x, p->y, s->width, s->height);
}

std::optional<AXValue> read(platform::Accessibility& platform, const AXElementRef& e, std::string_view attribute) {
  auto r = platform.copyAttributeValue(e, attribute);
  if (r.error != platform::kAXErrorSuccess) return std::nullopt;
  return std::move(r.value);
}

}  // namespace

AXElementRef AccessibilityService::Cache::find(const std::string& index) const {
  if (index.empty() || index.size() > 18 || (index.size() > 1 && index[0] == '0')) return nullptr;
  std::size_t position = 0;
  for (char c : index) {
    if (c < '0' || c > '9') return nullptr;
    position = position * 10 + static_cast<std::size_t>(c - '0');
  }
  return position < elements.size() ? elements[position] : nullptr;
}

AccessibilityService::AccessibilityService(platform::Accessibility& platform) : platform_(platform) {}

std::optional<std::string> AccessibilityService::text(const AXElementRef& e, std::string_view attribute) {
  auto v = read(platform_, e, attribute);
  return textOf(v);
}

std::optional<std::string> AccessibilityService::valueText(const AXElementRef& e) {
  auto v = read(platform_, e, "AXValue");
  return valueTextOf(v);
}

std::optional<bool> AccessibilityService::boolean(const AXElementRef& e, std::string_view attribute) {
  return boolOf(read(platform_, e, attribute));
}

std::optional<Rect> AccessibilityService::frame(const AXElementRef& e) {
  auto position = read(platform_, e, "AXPosition");
  if (!position) return std::nullopt;
  return frameOf(position, read(platform_, e, "AXSize"));
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
  walk.cache.elements.reserve(512);
  std::vector<AXNode> root;
  root.reserve(1);
  buildNode(std::move(window), 0, walk, root);
  cachesByPID_[pid] = std::move(walk.cache);
  return std::move(root.front());
}

bool AccessibilityService::buildNode(AXElementRef element, std::int64_t depth, Walk& walk, std::vector<AXNode>& into) {
  if (walk.nodeCount >= maxNodes || depth > maxDepth) return false;
  ++walk.nodeCount;
  // Built in place in the parent's list: nodes are large, and a tree has thousands of them.
  AXNode& node = into.emplace_back(std::to_string(walk.counter), std::string());
  ++walk.counter;
  // The reference moves into the cache: one retain per element for the whole walk.
  walk.cache.elements.push_back(std::move(element));
  const auto slot = walk.cache.elements.size() - 1;

  // One batched read per element; the rules are those of the single attribute readers.
  platform::AXElementAttributes& a = walk.attributes;
  platform_.readElementAttributes(walk.cache.elements[slot], a);
  // Empty text is never stored.
  auto take = [](std::optional<std::string>& t) -> std::optional<std::string> {
    if (!t || t->empty()) return std::nullopt;
    return std::move(t);
  };
  if (a.role && !a.role->empty()) node.role = std::move(*a.role);
  else node.role = "AXUnknown";
  node.subrole = take(a.subrole);
  node.title = take(a.title);
  node.value = valueTextOf(a.value);
  node.description = take(a.description);
  node.enabled = a.enabled;
  node.focused = a.focused;
  node.settable = a.valueSettable;
  if (a.position && a.size) node.frame = Rect(a.position->x, a.position->y, a.size->width, a.size->height);
  if (!a.actionNames.empty()) node.actions = std::move(a.actionNames);
  a.actionNames.clear();
  std::vector<AXElementRef> children = std::move(a.children);
  a.children.clear();

  // Children go to the node's own list, so `node` (an element of `into`) stays valid.
  if (!children.empty()) {
    std::vector<AXNode> built;
    built.reserve(children.size());
    for (auto& child : children) {
      if (walk.nodeCount >= maxNodes) break;
      buildNode(std::move(child), depth + 1, walk, built);
    }
    if (!built.empty()) node.children = std::move(built);
  }
  return true;
}

AXElementRef AccessibilityService::element(std::int32_t pid, const std::string& index) const {
  auto cache = cachesByPID_.find(pid);
  if (cache != cachesByPID_.end())
    if (auto e = cache->second.find(index)) return e;
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
