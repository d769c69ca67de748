#include "platformsim/Scenario.hpp"

#include <fstream>
#include <set>
#include <sstream>

namespace platformsim {

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw ScenarioError("scenario: " + where + ": " + what);
}

void expectObject(const json& j, const std::string& where) {
  if (!j.is_object()) fail(where, "expected an object");
}

const json* member(const json& j, const char* key) {
  auto it = j.find(key);
  return it == j.end() || it->is_null() ? nullptr : &*it;
}

std::optional<std::string> optString(const json& j, const char* key, const std::string& where) {
  auto* v = member(j, key);
  if (!v) return std::nullopt;
  if (!v->is_string()) fail(where + "." + key, "expected a string");
  return v->get<std::string>();
}

bool boolOr(const json& j, const char* key, bool fallback, const std::string& where) {
  auto* v = member(j, key);
  if (!v) return fallback;
  if (!v->is_boolean()) fail(where + "." + key, "expected true or false");
  return v->get<bool>();
}

std::optional<bool> optBool(const json& j, const char* key, const std::string& where) {
  if (!member(j, key)) return std::nullopt;
  return boolOr(j, key, false, where);
}

double numberOr(const json& j, const char* key, double fallback, const std::string& where) {
  auto* v = member(j, key);
  if (!v) return fallback;
  if (!v->is_number()) fail(where + "." + key, "expected a number");
  return v->get<double>();
}

std::int64_t integer(const json& v, const std::string& where, std::int64_t lo, std::int64_t hi) {
  if (!v.is_number_integer()) fail(where, "expected an integer");
  auto n = v.get<std::int64_t>();
  if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) fail(where, "out of range");
  if (n < lo || n > hi) fail(where, "out of range");
  return n;
}

std::optional<platform::ScreenRect> optFrame(const json& j, const char* key, const std::string& where) {
  auto* v = member(j, key);
  if (!v) return std::nullopt;
  if (!v->is_array() || v->size() != 4) fail(where + "." + key, "expected [x, y, width, height]");
  for (const auto& n : *v)
    if (!n.is_number()) fail(where + "." + key, "expected numbers");
  return platform::ScreenRect{(*v)[0].get<double>(), (*v)[1].get<double>(), (*v)[2].get<double>(), (*v)[3].get<double>()};
}

std::optional<std::uint32_t> optColor(const json& j, const std::string& where) {
  auto s = optString(j, "color", where);
  if (!s) return std::nullopt;
  if (s->size() != 7 || (*s)[0] != '#' || s->find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
    fail(where + ".color", "expected #RRGGBB");
  return static_cast<std::uint32_t>(std::stoul(s->substr(1), nullptr, 16));
}

std::map<std::string, platform::AXError, std::less<>> errorMap(const json& j, const char* key, const std::string& where) {
  std::map<std::string, platform::AXError, std::less<>> out;
  auto* v = member(j, key);
  if (!v) return out;
  expectObject(*v, where + "." + key);
  for (auto it = v->begin(); it != v->end(); ++it)
    out[it.key()] = static_cast<platform::AXError>(integer(it.value(), where + "." + key + "." + it.key(), INT32_MIN, INT32_MAX));
  return out;
}

struct Loader {
  std::set<std::string> ids;  // per application
  int anonymous = 0;

  std::shared_ptr<SimElement> element(const json& j, const std::string& where, SimApplication& app, SimWindow& window,
                                      SimElement* parent, int depth) {
    expectObject(j, where);
    // Generated trees may be deep; the cap only keeps a malformed file from exhausting the stack.
    if (depth > 1000) fail(where, "nesting deeper than 1000 levels");
    auto e = std::make_shared<SimElement>();
    e->pid = app.pid;
    e->window = &window;
    e->parent = parent;
    e->id = optString(j, "id", where).value_or("");
    if (e->id.empty()) e->id = "element-" + std::to_string(++anonymous);
    if (!ids.insert(e->id).second) fail(where + ".id", "duplicate id '" + e->id + "'");
    e->role = optString(j, "role", where);
    e->subrole = optString(j, "subrole", where);
    e->title = optString(j, "title", where);
    e->description = optString(j, "description", where);
    if (auto* v = member(j, "value")) {
      if (v->is_string()) e->value = v->get<std::string>();
      else if (v->is_boolean()) e->value = v->get<bool>() ? 1.0 : 0.0;
      else if (v->is_number()) e->value = v->get<double>();
      else fail(where + ".value", "expected a string, number or boolean");
    }
    e->enabled = optBool(j, "enabled", where);
    e->focused = optBool(j, "focused", where);
    e->frame = optFrame(j, "frame", where);
    e->settable = boolOr(j, "settable", false, where);
    e->scrollable = boolOr(j, "scrollable", false, where);
    if (auto* v = member(j, "actions")) {
      if (!v->is_array()) fail(where + ".actions", "expected an array of strings");
      for (const auto& a : *v) {
        if (!a.is_string()) fail(where + ".actions", "expected an array of strings");
        e->actions.push_back(a.get<std::string>());
      }
    }
    e->color = optColor(j, where);
    if (auto* v = member(j, "onPress")) {
      expectObject(*v, where + ".onPress");
      PressEffect p;
      auto target = optString(*v, "target", where + ".onPress");
      if (!target) fail(where + ".onPress.target", "missing");
      p.target = *target;
      p.setValue = optString(*v, "value", where + ".onPress");
      p.increment = numberOr(*v, "increment", 0, where + ".onPress");
      e->onPress = std::move(p);
    }
    e->attributeErrors = errorMap(j, "attributeErrors", where);
    e->actionErrors = errorMap(j, "actionErrors", where);
    if (auto* v = member(j, "setValueError"))
      e->setValueError = static_cast<platform::AXError>(integer(*v, where + ".setValueError", INT32_MIN, INT32_MAX));
    if (auto* v = member(j, "children")) {
      if (!v->is_array()) fail(where + ".children", "expected an array");
      for (std::size_t i = 0; i < v->size(); ++i)
        e->children.push_back(element((*v)[i], where + ".children[" + std::to_string(i) + "]", app, window, e.get(), depth + 1));
    }
    return e;
  }
};

AnswerFailure answerFailure(const json& j, const char* key, const std::string& where) {
  auto s = optString(j, key, where);
  if (!s || *s == "none") return AnswerFailure::none;
  if (*s == "error") return AnswerFailure::error;
  if (*s == "timeout") return AnswerFailure::timeout;
  fail(where + "." + key, "expected \"none\", \"error\" or \"timeout\"");
}

}  // namespace

Scenario Scenario::fromJson(const json& root) {
  expectObject(root, "top level");
  Scenario s;
  if (auto* p = member(root, "permissions")) {
    expectObject(*p, "permissions");
    s.permissions.accessibility = boolOr(*p, "accessibility", true, "permissions");
    s.permissions.screenRecording = boolOr(*p, "screenRecording", true, "permissions");
    s.permissions.promptGrants = boolOr(*p, "promptGrants", false, "permissions");
  }
  if (auto* d = member(root, "displays")) {
    if (!d->is_array() || d->empty()) fail("displays", "expected a non-empty array");
    s.displays.clear();
    for (std::size_t i = 0; i < d->size(); ++i) {
      const std::string where = "displays[" + std::to_string(i) + "]";
      expectObject((*d)[i], where);
      SimDisplay display;
      if (auto* id = member((*d)[i], "id")) display.id = static_cast<std::uint32_t>(integer(*id, where + ".id", 0, UINT32_MAX));
      display.width = numberOr((*d)[i], "width", display.width, where);
      display.height = numberOr((*d)[i], "height", display.height, where);
      if (!(display.width > 0 && display.height > 0 && display.width <= 16384 && display.height <= 16384))
        fail(where, "width and height must be between 0 and 16384 points");
      display.color = optColor((*d)[i], where).value_or(display.color);
      s.displays.push_back(display);
    }
  }
  s.answerDelay = numberOr(root, "answerDelay", s.answerDelay, "answerDelay");
  if (!(s.answerDelay >= 0)) fail("answerDelay", "must not be negative");
  if (auto* f = member(root, "failures")) {
    expectObject(*f, "failures");
    s.shareableContentFailure = answerFailure(*f, "shareableContent", "failures");
    s.captureFailure = answerFailure(*f, "capture", "failures");
    if (auto* ev = member(*f, "events")) {
      static const std::set<std::string> kinds{"move", "button", "drag", "scroll", "key"};
      if (!ev->is_array()) fail("failures.events", "expected an array");
      for (const auto& k : *ev) {
        if (!k.is_string() || !kinds.count(k.get<std::string>()))
          fail("failures.events", "expected \"move\", \"button\", \"drag\", \"scroll\" or \"key\"");
        s.eventFailures.push_back(k.get<std::string>());
      }
    }
  }
  std::set<std::int32_t> pids;
  std::set<std::uint32_t> windowNumbers;
  if (auto* apps = member(root, "applications")) {
    if (!apps->is_array()) fail("applications", "expected an array");
    for (std::size_t i = 0; i < apps->size(); ++i) {
      const auto& a = (*apps)[i];
      const std::string where = "applications[" + std::to_string(i) + "]";
      expectObject(a, where);
      auto app = std::make_unique<SimApplication>();
      auto* pid = member(a, "pid");
      if (!pid) fail(where + ".pid", "missing");
      app->pid = static_cast<std::int32_t>(integer(*pid, where + ".pid", 1, INT32_MAX));
      if (!pids.insert(app->pid).second) fail(where + ".pid", "duplicate pid");
      app->bundleIdentifier = optString(a, "bundleIdentifier", where);
      app->name = optString(a, "name", where);
      app->running = boolOr(a, "running", true, where);
      app->hidden = boolOr(a, "hidden", false, where);
      if (auto policy = optString(a, "activationPolicy", where)) {
        if (*policy == "regular") app->activationPolicy = platform::ActivationPolicy::regular;
        else if (*policy == "accessory") app->activationPolicy = platform::ActivationPolicy::accessory;
        else if (*policy == "prohibited") app->activationPolicy = platform::ActivationPolicy::prohibited;
        else fail(where + ".activationPolicy", "expected \"regular\", \"accessory\" or \"prohibited\"");
      }
      app->launchable = boolOr(a, "launchable", true, where);
      app->bundlePath = optString(a, "bundlePath", where);
      if (!app->bundlePath && app->name) app->bundlePath = "/Applications/" + *app->name + ".app";
      app->launchDelay = numberOr(a, "launchDelay", app->launchDelay, where);
      if (!(app->launchDelay >= 0)) fail(where + ".launchDelay", "must not be negative");
      if (auto* lf = member(a, "launchFailure")) {
        expectObject(*lf, where + ".launchFailure");
        LaunchFailure failure;
        failure.error = optString(*lf, "error", where + ".launchFailure");
        failure.timeout = boolOr(*lf, "timeout", false, where + ".launchFailure");
        app->launchFailure = failure;
      }
      if (boolOr(a, "frontmost", false, where) && !s.frontmostPid) s.frontmostPid = app->pid;

      Loader loader;
      if (auto* ws = member(a, "windows")) {
        if (!ws->is_array()) fail(where + ".windows", "expected an array");
        for (std::size_t k = 0; k < ws->size(); ++k) {
          const auto& w = (*ws)[k];
          const std::string wwhere = where + ".windows[" + std::to_string(k) + "]";
          expectObject(w, wwhere);
          auto window = std::make_unique<SimWindow>();
          auto* number = member(w, "number");
          if (!number) fail(wwhere + ".number", "missing");
          window->number = static_cast<std::uint32_t>(integer(*number, wwhere + ".number", 1, UINT32_MAX));
          if (!windowNumbers.insert(window->number).second) fail(wwhere + ".number", "duplicate window number");
          window->title = optString(w, "title", wwhere);
          auto frame = optFrame(w, "frame", wwhere);
          if (!frame) fail(wwhere + ".frame", "missing");
          window->frame = *frame;
          window->key = boolOr(w, "key", false, wwhere);
          window->main = boolOr(w, "main", false, wwhere);
          window->minimized = boolOr(w, "minimized", false, wwhere);
          window->onScreen = boolOr(w, "onScreen", true, wwhere);
          window->scale = numberOr(w, "scale", 1.0, wwhere);
          // The window's own element: its attributes come from the window object itself.
          json self = w;
          if (!self.contains("role")) self["role"] = "AXWindow";
          if (!self.contains("subrole")) self["subrole"] = "AXStandardWindow";
          if (window->title && !self.contains("title")) self["title"] = *window->title;
          self.erase("number");
          window->root = loader.element(self, wwhere, *app, *window, nullptr, 0);
          app->windows.push_back(std::move(window));
        }
      }
      s.applications.push_back(std::move(app));
    }
  }
  if (auto front = optString(root, "frontmost", "frontmost")) {
    bool found = false;
    for (const auto& a : s.applications)
      if (a->bundleIdentifier == *front || a->name == *front) {
        s.frontmostPid = a->pid;
        found = true;
        break;
      }
    if (!found) fail("frontmost", "no application '" + *front + "'");
  }
  return s;
}

Scenario Scenario::fromFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ScenarioError("scenario: cannot open '" + path + "'");
  std::stringstream buffer;
  buffer << in.rdbuf();
  json j = json::parse(buffer.str(), nullptr, false);
  if (j.is_discarded()) throw ScenarioError("scenario: '" + path + "' is not valid JSON");
  return fromJson(j);
}

}  // namespace platformsim
