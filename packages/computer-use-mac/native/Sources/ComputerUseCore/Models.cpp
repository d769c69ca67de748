#include "computeruse/Models.hpp"

#include <charconv>
#include <cmath>

namespace computeruse {

namespace {

const Json& required(const Json& json, const char* key) {
  if (!json.is_object()) throw JsonDecodingError("expected an object");
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) throw JsonDecodingError(std::string("missing key '") + key + "'");
  return *it;
}

// Missing and null both mean absent.
const Json* optionalKey(const Json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string stringValue(const Json& v, const char* key) {
  if (!v.is_string()) throw JsonDecodingError(std::string("key '") + key + "' is not a string");
  return v.get<std::string>();
}
bool boolValue(const Json& v, const char* key) {
  if (!v.is_boolean()) throw JsonDecodingError(std::string("key '") + key + "' is not a boolean");
  return v.get<bool>();
}
double numberValue(const Json& v, const char* key) {
  if (!v.is_number()) throw JsonDecodingError(std::string("key '") + key + "' is not a number");
  return v.get<double>();
}

std::optional<std::string> optString(const Json& json, const char* key) {
  if (auto* v = optionalKey(json, key)) return stringValue(*v, key);
  return std::nullopt;
}
std::optional<bool> optBool(const Json& json, const char* key) {
  if (auto* v = optionalKey(json, key)) return boolValue(*v, key);
  return std::nullopt;
}

}  // namespace

Json toJson(const Rect& r) {
  Json j = Json::object();
  j["x"] = r.x;
  j["y"] = r.y;
  j["width"] = r.width;
  j["height"] = r.height;
  return j;
}

Json toJson(const AppInfo& a) {
  Json j = Json::object();
  j["name"] = a.name;
  if (a.bundleIdentifier) j["bundleIdentifier"] = *a.bundleIdentifier;
  if (a.pid) j["pid"] = *a.pid;
  j["isRunning"] = a.isRunning;
  j["isActive"] = a.isActive;
  return j;
}

Json toJson(const std::vector<AppInfo>& apps) {
  Json j = Json::array();
  for (const auto& a : apps) j.push_back(toJson(a));
  return j;
}

Json toJson(const AXNode& n) {
  Json j = Json::object();
  j["index"] = n.index;
  j["role"] = n.role;
  if (n.subrole) j["subrole"] = *n.subrole;
  if (n.title) j["title"] = *n.title;
  if (n.value) j["value"] = *n.value;
  if (n.description) j["description"] = *n.description;
  if (n.enabled) j["enabled"] = *n.enabled;
  if (n.focused) j["focused"] = *n.focused;
  if (n.settable) j["settable"] = *n.settable;
  if (n.actions) j["actions"] = *n.actions;
  if (n.frame) j["frame"] = toJson(*n.frame);
  if (n.children) {
    Json children = Json::array();
    for (const auto& c : *n.children) children.push_back(toJson(c));
    j["children"] = std::move(children);
  }
  return j;
}

Rect rectFromJson(const Json& j) {
  return Rect(numberValue(required(j, "x"), "x"), numberValue(required(j, "y"), "y"),
              numberValue(required(j, "width"), "width"), numberValue(required(j, "height"), "height"));
}

AppInfo appInfoFromJson(const Json& j) {
  AppInfo a;
  a.name = stringValue(required(j, "name"), "name");
  a.bundleIdentifier = optString(j, "bundleIdentifier");
  if (auto* v = optionalKey(j, "pid")) {
    if (!v->is_number_integer()) throw JsonDecodingError("key 'pid' is not an integer");
    auto pid = v->get<std::int64_t>();
    if (pid < INT32_MIN || pid > INT32_MAX) throw JsonDecodingError("key 'pid' is out of range");
    a.pid = static_cast<std::int32_t>(pid);
  }
  a.isRunning = boolValue(required(j, "isRunning"), "isRunning");
  a.isActive = boolValue(required(j, "isActive"), "isActive");
  return a;
}

AXNode axNodeFromJson(const Json& j) {
  AXNode n(stringValue(required(j, "index"), "index"), stringValue(required(j, "role"), "role"));
  n.subrole = optString(j, "subrole");
  n.title = optString(j, "title");
  n.value = optString(j, "value");
  n.description = optString(j, "description");
  n.enabled = optBool(j, "enabled");
  n.focused = optBool(j, "focused");
  n.settable = optBool(j, "settable");
  if (auto* v = optionalKey(j, "actions")) {
    if (!v->is_array()) throw JsonDecodingError("key 'actions' is not an array");
    std::vector<std::string> actions;
    for (const auto& a : *v) actions.push_back(stringValue(a, "actions"));
    n.actions = std::move(actions);
  }
  if (auto* v = optionalKey(j, "frame")) n.frame = rectFromJson(*v);
  if (auto* v = optionalKey(j, "children")) {
    if (!v->is_array()) throw JsonDecodingError("key 'children' is not an array");
    std::vector<AXNode> children;
    for (const auto& c : *v) children.push_back(axNodeFromJson(c));
    n.children = std::move(children);
  }
  return n;
}

std::string formatCoordinate(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  std::string s(buf, res.ptr);
  if (std::isfinite(value) && s.find_first_not_of("-0123456789") == std::string::npos) s += ".0";
  return s;
}

namespace messages {

std::string unknownElementIndex(const std::string& index) {
  return "Unknown element_index '" + index + "'. Call get_app_state again to refresh the tree.";
}
std::string actionFailed(const std::string& action, std::int32_t status) {
  return "Accessibility action '" + action + "' failed (" + std::to_string(status) + ").";
}
std::string setValueFailed(std::int32_t status) { return "Failed to set value (" + std::to_string(status) + ")."; }
std::string unknownModifier(const std::string& modifier) { return "Unknown modifier '" + modifier + "'."; }
std::string unknownKey(const std::string& key) { return "Unknown key '" + key + "'."; }
std::string appNotFound(const std::string& query) { return "Could not find an app matching '" + query + "'."; }
std::string launchFailed(const std::string& query, const std::string& description) {
  return "Failed to launch '" + query + "': " + description;
}
std::string launchFailed(const std::string& query) { return "Failed to launch '" + query + "'."; }
std::string elementHasNoFrame(const std::string& index) {
  return "Element " + index + " has no frame; provide x/y pixel coordinates instead.";
}
std::string outOfBounds(double x, double y, std::int64_t width, std::int64_t height) {
  return "Coordinates (" + formatCoordinate(x) + ", " + formatCoordinate(y) + ") are outside the screenshot bounds (" +
         std::to_string(width) + "x" + std::to_string(height) + ").";
}

}  // namespace messages

}  // namespace computeruse
