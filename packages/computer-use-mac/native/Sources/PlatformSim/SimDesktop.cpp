#include "platformsim/SimDesktop.hpp"

#include <algorithm>
#include <cmath>

#include "support/RunLoop.hpp"

namespace platformsim {

using nlohmann::ordered_json;
using platform::AXCopyResult;
using platform::AXElementRef;
using platform::AXError;

struct SimDesktop::AppElement : SimHandle {
  explicit AppElement(std::int32_t pid) : SimHandle(true), pid(pid) {}
  std::int32_t pid;
};

namespace {

class SimEvent final : public platform::PlatformEvent {
 public:
  explicit SimEvent(platform::InputEvent e) : event_(std::move(e)) {}
  const platform::InputEvent& description() const override { return event_; }

 private:
  platform::InputEvent event_;
};

AXCopyResult ok(platform::AXValue v) { return AXCopyResult{platform::kAXErrorSuccess, std::move(v)}; }
AXCopyResult err(AXError e) { return AXCopyResult{e, std::nullopt}; }

const char* mouseTypeName(platform::MouseEventType t) {
  using T = platform::MouseEventType;
  switch (t) {
    case T::leftMouseDown: return "leftMouseDown";
    case T::leftMouseUp: return "leftMouseUp";
    case T::rightMouseDown: return "rightMouseDown";
    case T::rightMouseUp: return "rightMouseUp";
    case T::mouseMoved: return "mouseMoved";
    case T::leftMouseDragged: return "leftMouseDragged";
    case T::rightMouseDragged: return "rightMouseDragged";
    case T::otherMouseDown: return "otherMouseDown";
    case T::otherMouseUp: return "otherMouseUp";
    case T::otherMouseDragged: return "otherMouseDragged";
  }
  return "unknown";
}

std::string utf8Of(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    else if (c >= 0xD800 && c <= 0xDFFF)
      c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool contains(const platform::ScreenRect& r, double x, double y) {
  return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

bool windowVisible(const SimApplication& app, const SimWindow& w) {
  return app.running && !app.hidden && w.onScreen && !w.minimized;
}

void postAnswer(std::function<void()> task, double delay) {
  support::RunLoop::current().post(std::move(task), support::seconds(delay));
}

}  // namespace

SimDesktop::SimDesktop(Scenario scenario) : scenario_(std::move(scenario)) {}
SimDesktop::~SimDesktop() = default;

void SimDesktop::record(ordered_json entry) {
  records_.push_back(std::move(entry));
  if (observer_) observer_(records_.back());
}

SimApplication* SimDesktop::application(std::int32_t pid) const {
  for (const auto& a : scenario_.applications)
    if (a->pid == pid) return a.get();
  return nullptr;
}

std::shared_ptr<SimElement> SimDesktop::findElement(const std::string& id) const {
  std::shared_ptr<SimElement> found;
  std::function<void(const std::shared_ptr<SimElement>&)> walk = [&](const std::shared_ptr<SimElement>& e) {
    if (found) return;
    if (e->id == id) found = e;
    for (const auto& c : e->children) walk(c);
  };
  for (const auto& a : scenario_.applications)
    for (const auto& w : a->windows) walk(w->root);
  return found;
}

// ---- Accessibility ----

bool SimDesktop::isProcessTrusted(bool prompt) {
  if (prompt && !scenario_.permissions.accessibility) {
    record(ordered_json{{"kind", "prompt"}, {"permission", "accessibility"}});
    if (scenario_.permissions.promptGrants) scenario_.permissions.accessibility = true;
  }
  return scenario_.permissions.accessibility;
}

AXElementRef SimDesktop::applicationElement(std::int32_t pid) { return std::make_shared<AppElement>(pid); }

AXCopyResult SimDesktop::copyAttributeValue(const AXElementRef& ref, std::string_view attribute) {
  if (!scenario_.permissions.accessibility) return err(platform::kAXErrorAPIDisabled);
  auto* handle = static_cast<const SimHandle*>(ref.get());
  if (!handle) return err(platform::kAXErrorIllegalArgument);
  if (handle->isApplication) {
    auto* app = application(static_cast<const AppElement*>(handle)->pid);
    if (!app || !app->running) return err(platform::kAXErrorCannotComplete);
    if (attribute == "AXRole") return ok(std::string("AXApplication"));
    if (attribute == "AXTitle") return app->name ? ok(*app->name) : err(platform::kAXErrorNoValue);
    if (attribute == "AXWindows") {
      std::vector<AXElementRef> list;
      for (const auto& w : app->windows) list.push_back(w->root);
      return ok(std::move(list));
    }
    const bool focused = attribute == "AXFocusedWindow";
    if (focused || attribute == "AXMainWindow") {
      if (app->hidden) return err(platform::kAXErrorNoValue);
      for (const auto& w : app->windows)
        if ((focused ? w->key : w->main) && !w->minimized) return ok(AXElementRef(w->root));
      return err(platform::kAXErrorNoValue);
    }
    return err(platform::kAXErrorAttributeUnsupported);
  }

  const auto& e = *static_cast<const SimElement*>(handle);
  if (!e.attributeErrors.empty()) {
    auto it = e.attributeErrors.find(attribute);
    if (it != e.attributeErrors.end()) return err(it->second);
  }
  auto text = [](const std::optional<std::string>& s) { return s ? ok(*s) : err(platform::kAXErrorNoValue); };
  if (attribute == "AXRole") return text(e.role);
  if (attribute == "AXSubrole") return text(e.subrole);
  if (attribute == "AXTitle") return text(e.title);
  if (attribute == "AXValue") {
    if (!e.value) return err(platform::kAXErrorNoValue);
    if (auto* s = std::get_if<std::string>(&*e.value)) return ok(*s);
    return ok(platform::AXNumber{std::get<double>(*e.value)});
  }
  if (attribute == "AXDescription") return text(e.description);
  if (attribute == "AXEnabled" || attribute == "AXFocused") {
    const auto& b = attribute == "AXEnabled" ? e.enabled : e.focused;
    return b ? ok(platform::AXNumber{*b ? 1.0 : 0.0}) : err(platform::kAXErrorNoValue);
  }
  if (attribute == "AXPosition") return e.frame ? ok(platform::AXPoint{e.frame->x, e.frame->y}) : err(platform::kAXErrorNoValue);
  if (attribute == "AXSize")
    return e.frame ? ok(platform::AXSize{e.frame->width, e.frame->height}) : err(platform::kAXErrorNoValue);
  if (attribute == "AXChildren") {
    std::vector<AXElementRef> list(e.children.begin(), e.children.end());
    return ok(std::move(list));
  }
  if (e.window && e.window->root.get() == &e) {
    if (attribute == "AXWindowNumber") return ok(platform::AXNumber{static_cast<double>(e.window->number)});
    if (attribute == "AXMinimized") return ok(platform::AXNumber{e.window->minimized ? 1.0 : 0.0});
  }
  return err(platform::kAXErrorAttributeUnsupported);
}

void SimDesktop::readElementAttributes(const AXElementRef& ref, platform::AXElementAttributes& out) {
  auto* handle = static_cast<const SimHandle*>(ref.get());
  // Injected attribute errors and application elements take the attribute-by-attribute path.
  if (!scenario_.permissions.accessibility || !handle || handle->isApplication ||
      !static_cast<const SimElement*>(handle)->attributeErrors.empty()) {
    Accessibility::readElementAttributes(ref, out);
    return;
  }
  const auto& e = *static_cast<const SimElement*>(handle);
  out.role = e.role;
  out.subrole = e.subrole;
  out.title = e.title;
  if (!e.value) out.value.reset();
  else if (auto* s = std::get_if<std::string>(&*e.value)) out.value.emplace(std::in_place_type<std::string>, *s);
  else out.value.emplace(platform::AXNumber{std::get<double>(*e.value)});
  out.description = e.description;
  out.enabled = e.enabled;
  out.focused = e.focused;
  if (e.frame) {
    out.position = platform::AXPoint{e.frame->x, e.frame->y};
    out.size = platform::AXSize{e.frame->width, e.frame->height};
  } else {
    out.position.reset();
    out.size.reset();
  }
  out.children.assign(e.children.begin(), e.children.end());
  out.actionNames = e.actions;
  out.valueSettable = e.settable;
}

AXError SimDesktop::copyActionNames(const AXElementRef& ref, std::vector<std::string>& names) {
  if (!scenario_.permissions.accessibility) return platform::kAXErrorAPIDisabled;
  auto* handle = static_cast<const SimHandle*>(ref.get());
  names.clear();
  if (!handle || handle->isApplication) return platform::kAXErrorSuccess;
  names = static_cast<const SimElement*>(handle)->actions;
  return platform::kAXErrorSuccess;
}

AXError SimDesktop::isAttributeSettable(const AXElementRef& ref, std::string_view attribute, bool& settable) {
  settable = false;
  if (!scenario_.permissions.accessibility) return platform::kAXErrorAPIDisabled;
  auto* handle = static_cast<const SimHandle*>(ref.get());
  if (!handle || handle->isApplication) return platform::kAXErrorSuccess;
  settable = attribute == "AXValue" && static_cast<const SimElement*>(handle)->settable;
  return platform::kAXErrorSuccess;
}

void SimDesktop::applyPress(const SimElement& element) {
  if (!element.onPress) return;
  auto target = findElement(element.onPress->target);
  if (!target) return;
  if (element.onPress->setValue) {
    target->value = *element.onPress->setValue;
  } else {
    double current = 0;
    if (target->value) {
      if (auto* d = std::get_if<double>(&*target->value)) current = *d;
      else current = std::strtod(std::get<std::string>(*target->value).c_str(), nullptr);
    }
    target->value = current + element.onPress->increment;
  }
}

AXError SimDesktop::performAction(const AXElementRef& ref, std::string_view action) {
  AXError status = platform::kAXErrorSuccess;
  auto* handle = static_cast<SimHandle*>(ref.get());
  SimElement* e = handle && !handle->isApplication ? static_cast<SimElement*>(handle) : nullptr;
  if (!scenario_.permissions.accessibility) {
    status = platform::kAXErrorAPIDisabled;
  } else if (!e) {
    status = platform::kAXErrorActionUnsupported;
  } else if (auto it = e->actionErrors.find(action); it != e->actionErrors.end()) {
    status = it->second;
  } else if (std::find(e->actions.begin(), e->actions.end(), action) == e->actions.end()) {
    status = platform::kAXErrorActionUnsupported;
  }
  ordered_json r{{"kind", "action"}, {"element", e ? e->id : std::string("application")}, {"action", action},
                 {"status", status}};
  if (e) r["pid"] = e->pid;
  record(std::move(r));
  if (status != platform::kAXErrorSuccess) return status;
  if (action == "AXPress") applyPress(*e);
  if ((action == "AXIncrement" || action == "AXDecrement") && e->value && std::holds_alternative<double>(*e->value))
    e->value = std::get<double>(*e->value) + (action == "AXIncrement" ? 1 : -1);
  if (action == "AXRaise" && e->window) activate(e->pid, 0);
  return status;
}

AXError SimDesktop::setAttributeValue(const AXElementRef& ref, std::string_view attribute, const std::string& value) {
  AXError status = platform::kAXErrorSuccess;
  auto* handle = static_cast<SimHandle*>(ref.get());
  SimElement* e = handle && !handle->isApplication ? static_cast<SimElement*>(handle) : nullptr;
  if (!scenario_.permissions.accessibility) status = platform::kAXErrorAPIDisabled;
  else if (!e || attribute != "AXValue") status = platform::kAXErrorAttributeUnsupported;
  else if (e->setValueError) status = *e->setValueError;
  else if (!e->settable) status = platform::kAXErrorAttributeUnsupported;
  ordered_json r{{"kind", "setValue"}, {"element", e ? e->id : std::string("application")}, {"value", value},
                 {"status", status}};
  if (e) r["pid"] = e->pid;
  record(std::move(r));
  if (status == platform::kAXErrorSuccess) e->value = value;
  return status;
}

// ---- Applications ----

std::optional<platform::RunningApplication> SimDesktop::running(const SimApplication& a) const {
  if (!a.running) return std::nullopt;
  return platform::RunningApplication{a.pid, a.bundleIdentifier, a.name, a.activationPolicy};
}

std::vector<platform::RunningApplication> SimDesktop::runningApplications() {
  std::vector<platform::RunningApplication> out;
  for (const auto& a : scenario_.applications)
    if (auto r = running(*a)) out.push_back(std::move(*r));
  return out;
}

std::optional<platform::RunningApplication> SimDesktop::frontmostApplication() {
  if (!scenario_.frontmostPid) return std::nullopt;
  auto* app = application(*scenario_.frontmostPid);
  return app ? running(*app) : std::nullopt;
}

bool SimDesktop::activate(std::int32_t pid, std::uint32_t options) {
  auto* app = application(pid);
  record(ordered_json{{"kind", "activate"}, {"pid", pid}, {"options", options}});
  if (!app || !app->running) return false;
  app->hidden = false;
  scenario_.frontmostPid = pid;
  return true;
}

std::optional<std::string> SimDesktop::applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (const auto& a : scenario_.applications)
    if (a->launchable && a->bundlePath && a->bundleIdentifier && lower(*a->bundleIdentifier) == lower(bundleIdentifier))
      return a->bundlePath;
  return std::nullopt;
}

std::optional<std::string> SimDesktop::applicationPathToOpen(const std::string& path) {
  for (const auto& a : scenario_.applications)
    if (a->launchable && a->bundlePath == path) return a->bundlePath;
  return std::nullopt;
}

void SimDesktop::openApplication(const std::string& bundlePath, bool activates,
                                 std::function<void(platform::LaunchResult)> completion) {
  record(ordered_json{{"kind", "launch"}, {"bundlePath", bundlePath}, {"activates", activates}});
  SimApplication* app = nullptr;
  for (const auto& a : scenario_.applications)
    if (a->launchable && a->bundlePath == bundlePath) app = a.get();
  if (!app) {
    postAnswer([completion] { completion({std::nullopt, std::string("The application could not be found.")}); }, 0.01);
    return;
  }
  if (app->launchFailure) {
    if (app->launchFailure->timeout) return;  // never answers
    auto description = app->launchFailure->error.value_or("The application could not be launched.");
    postAnswer([completion, description] { completion({std::nullopt, description}); }, app->launchDelay);
    return;
  }
  const auto pid = app->pid;
  postAnswer(
      [this, alive = std::weak_ptr<int>(alive_), pid, activates, completion] {
        if (alive.expired()) return;
        auto* a = application(pid);
        a->running = true;
        if (activates) scenario_.frontmostPid = pid;
        completion({running(*a), std::nullopt});
      },
      app->launchDelay);
}

// ---- Window list and screenshots ----

void SimDesktop::shareableContent(std::function<void(platform::ShareableContentResult)> completion) {
  if (scenario_.shareableContentFailure == AnswerFailure::timeout) return;
  platform::ShareableContentResult result;
  if (!scenario_.permissions.screenRecording) {
    result.errorDescription = "The user declined screen recording for this application.";
  } else if (scenario_.shareableContentFailure == AnswerFailure::error) {
    result.errorDescription = "The window list could not be read.";
  } else {
    platform::ShareableContent content;
    for (const auto& a : scenario_.applications)
      for (const auto& w : a->windows)
        if (windowVisible(*a, *w)) content.windows.push_back({w->number, a->pid, w->title, w->frame, true});
    for (const auto& d : scenario_.displays) content.displays.push_back({d.id, d.width, d.height});
    result.content = std::move(content);
  }
  postAnswer([completion, result = std::move(result)] { completion(result); }, scenario_.answerDelay);
}

bool SimDesktop::preflightAccess() { return scenario_.permissions.screenRecording; }

bool SimDesktop::requestAccess() {
  if (!scenario_.permissions.screenRecording) {
    record(ordered_json{{"kind", "prompt"}, {"permission", "screenRecording"}});
    if (scenario_.permissions.promptGrants) scenario_.permissions.screenRecording = true;
  }
  return scenario_.permissions.screenRecording;
}

void SimDesktop::captureImage(const platform::CaptureFilter& filter, const platform::CaptureConfiguration& config,
                              std::function<void(platform::ScreenshotResult)> completion) {
  if (scenario_.captureFailure == AnswerFailure::timeout) return;
  platform::ScreenshotResult result;
  if (!scenario_.permissions.screenRecording) {
    result.errorDescription = "The user declined screen recording for this application.";
  } else if (scenario_.captureFailure == AnswerFailure::error) {
    result.errorDescription = "The screenshot could not be taken.";
  } else if (auto image = render(filter, config.width, config.height)) {
    result.image = std::move(*image);
  } else {
    result.errorDescription = "The window or display is not available.";
  }
  postAnswer([completion, result = std::move(result)]() mutable { completion(std::move(result)); }, scenario_.answerDelay);
}

// ---- Events ----

bool SimDesktop::failsToCreate(const platform::InputEvent& event) const {
  auto fails = [&](const char* kind) {
    return std::find(scenario_.eventFailures.begin(), scenario_.eventFailures.end(), kind) != scenario_.eventFailures.end();
  };
  if (auto* m = std::get_if<platform::MouseEvent>(&event)) {
    using T = platform::MouseEventType;
    if (m->type == T::mouseMoved) return fails("move");
    if (m->type == T::leftMouseDragged || m->type == T::rightMouseDragged || m->type == T::otherMouseDragged)
      return fails("drag");
    return fails("button");
  }
  if (std::holds_alternative<platform::ScrollEvent>(event)) return fails("scroll");
  return fails("key");
}

std::unique_ptr<platform::PlatformEvent> SimDesktop::create(const platform::InputEvent& event) {
  if (failsToCreate(event)) return nullptr;
  return std::make_unique<SimEvent>(event);
}

SimElement* SimDesktop::hitTest(std::int32_t pid, double x, double y) const {
  auto* app = application(pid);
  if (!app) return nullptr;
  std::function<SimElement*(SimElement&)> deepest = [&](SimElement& e) -> SimElement* {
    for (auto it = e.children.rbegin(); it != e.children.rend(); ++it)
      if (auto* hit = deepest(**it)) return hit;
    return e.frame && contains(*e.frame, x, y) ? &e : nullptr;
  };
  for (const auto& w : app->windows)
    if (windowVisible(*app, *w) && contains(w->frame, x, y))
      if (auto* hit = deepest(*w->root)) return hit;
  return nullptr;
}

SimElement* SimDesktop::focusedTextElement(std::int32_t pid) const {
  auto* app = application(pid);
  if (!app) return nullptr;
  std::function<SimElement*(SimElement&)> find = [&](SimElement& e) -> SimElement* {
    if (e.focused.value_or(false) && e.settable) return &e;
    for (auto& c : e.children)
      if (auto* f = find(*c)) return f;
    return nullptr;
  };
  for (const auto& w : app->windows)
    if (auto* f = find(*w->root)) return f;
  return nullptr;
}

void SimDesktop::press(SimElement& element) {
  if (std::find(element.actions.begin(), element.actions.end(), "AXPress") != element.actions.end()) applyPress(element);
  if (element.settable) {
    // A click into a text field focuses it and nothing else in the application.
    std::function<void(SimElement&)> unfocus = [&](SimElement& e) {
      if (e.focused) e.focused = false;
      for (auto& c : e.children) unfocus(*c);
    };
    if (auto* app = application(element.pid))
      for (auto& w : app->windows) unfocus(*w->root);
    element.focused = true;
  }
}

void SimDesktop::post(const platform::PlatformEvent& event, std::optional<std::int32_t> pid) {
  const auto& d = event.description();
  ordered_json r;
  const std::int32_t target = pid ? *pid : scenario_.frontmostPid.value_or(0);
  if (auto* m = std::get_if<platform::MouseEvent>(&d)) {
    r = ordered_json{{"kind", "mouse"}, {"event", mouseTypeName(m->type)}, {"type", static_cast<int>(m->type)},
                     {"x", m->x}, {"y", m->y}, {"button", m->button}, {"clickState", m->clickState}};
    pointerX_ = m->x;
    pointerY_ = m->y;
    using T = platform::MouseEventType;
    if (m->type == T::leftMouseUp)
      if (auto* hit = hitTest(target, m->x, m->y)) press(*hit);
  } else if (auto* s = std::get_if<platform::ScrollEvent>(&d)) {
    r = ordered_json{{"kind", "scroll"}, {"wheel1", s->wheel1}, {"wheel2", s->wheel2}, {"wheel3", s->wheel3}};
    for (auto* e = hitTest(target, pointerX_, pointerY_); e; e = e->parent) {
      if (!e->scrollable) continue;
      double offset = e->value && std::holds_alternative<double>(*e->value) ? std::get<double>(*e->value) : 0;
      e->value = std::max(0.0, offset - s->wheel1);
      break;
    }
  } else {
    const auto& k = std::get<platform::KeyEvent>(d);
    r = ordered_json{{"kind", "key"}, {"keyCode", k.keyCode}, {"keyDown", k.keyDown}, {"flags", k.flags},
                     {"text", utf8Of(k.text)}};
    if (k.keyDown && k.flags == 0)
      if (auto* field = focusedTextElement(target)) {
        std::string current = field->value && std::holds_alternative<std::string>(*field->value)
                                  ? std::get<std::string>(*field->value)
                                  : std::string();
        if (!k.text.empty()) {
          field->value = current + utf8Of(k.text);
        } else if (k.keyCode == 51 && !current.empty()) {
          auto cut = current.size() - 1;
          while (cut > 0 && (static_cast<unsigned char>(current[cut]) & 0xC0) == 0x80) --cut;
          field->value = current.substr(0, cut);
        }
      }
  }
  r["pid"] = pid ? ordered_json(*pid) : ordered_json(nullptr);
  record(std::move(r));
}

}  // namespace platformsim
