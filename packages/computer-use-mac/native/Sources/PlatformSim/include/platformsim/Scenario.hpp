#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Accessibility.hpp"
#include "platform/Applications.hpp"
#include "platform/WindowList.hpp"

namespace platformsim {

// Raised for a scenario file that cannot be read or does not follow the schema.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SimWindow;

// What pressing an element does to another element of the same application.
struct PressEffect {
  std::string target;                   // element id
  std::optional<std::string> setValue;  // new value text
  double increment = 0;                 // added to a numeric value
};

// Every element reference the simulated desktop hands out; the flag saves a dynamic_cast on
// each of the dozen attribute reads per element of a tree walk.
struct SimHandle : platform::AccessibilityElement {
  explicit SimHandle(bool isApplication) : isApplication(isApplication) {}
  const bool isApplication;
};

// One accessibility element of the simulated desktop. Elements are shared with the library as
// platform element references, so a cached index keeps its element alive.
struct SimElement : SimHandle {
  SimElement() : SimHandle(false) {}
  std::string id;
  std::optional<std::string> role, subrole, title, description;
  std::optional<std::variant<std::string, double>> value;
  std::optional<bool> enabled, focused;
  std::optional<platform::ScreenRect> frame;
  bool settable = false;
  bool scrollable = false;
  std::vector<std::string> actions;
  std::vector<std::shared_ptr<SimElement>> children;
  std::optional<std::uint32_t> color;  // 0xRRGGBB fill; role default when absent
  std::optional<PressEffect> onPress;
  std::map<std::string, platform::AXError, std::less<>> attributeErrors;
  std::map<std::string, platform::AXError, std::less<>> actionErrors;
  std::optional<platform::AXError> setValueError;

  std::int32_t pid = 0;
  SimWindow* window = nullptr;  // the window holding this element; set for every element
  SimElement* parent = nullptr;
};

struct SimWindow {
  std::uint32_t number = 0;
  std::optional<std::string> title;
  platform::ScreenRect frame;
  bool key = false, main = false, minimized = false, onScreen = true;
  double scale = 1.0;  // backing pixels per point; rendering is resolution independent
  std::shared_ptr<SimElement> root;  // the window's own accessibility element
};

struct LaunchFailure {
  std::optional<std::string> error;  // the platform's description
  bool timeout = false;              // the launch never answers
};

struct SimApplication {
  std::int32_t pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> name;
  bool running = true;
  bool hidden = false;
  platform::ActivationPolicy activationPolicy = platform::ActivationPolicy::regular;
  bool launchable = true;
  std::optional<std::string> bundlePath;
  double launchDelay = 0.3;
  std::optional<LaunchFailure> launchFailure;
  std::vector<std::unique_ptr<SimWindow>> windows;
};

struct SimDisplay {
  std::uint32_t id = 1;
  double width = 1440, height = 900;
  std::uint32_t color = 0x2E3440;
};

enum class AnswerFailure { none, error, timeout };

struct Scenario {
  struct Permissions {
    bool accessibility = true;
    bool screenRecording = true;
    bool promptGrants = false;  // whether a prompt makes the user grant the permission
  } permissions;
  std::vector<SimDisplay> displays{SimDisplay{}};
  std::vector<std::unique_ptr<SimApplication>> applications;
  std::optional<std::int32_t> frontmostPid;
  double answerDelay = 0.02;  // seconds until window lists and screenshots arrive
  AnswerFailure shareableContentFailure = AnswerFailure::none;
  AnswerFailure captureFailure = AnswerFailure::none;
  std::vector<std::string> eventFailures;  // "move", "button", "drag", "scroll", "key"

  static Scenario fromJson(const nlohmann::json& json);
  static Scenario fromFile(const std::string& path);
};

// The built-in demo desktop: an editor with a button, a text field and a scrollable list, a
// calculator, and a launchable notes application.
const char* demoDesktopJson();

}  // namespace platformsim
