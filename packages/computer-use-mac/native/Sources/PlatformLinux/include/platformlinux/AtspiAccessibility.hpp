#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Accessibility.hpp"

namespace platformlinux {

namespace atspi {
class Bus;
struct ObjectRef;
}  // namespace atspi

// ---- The vocabulary mapping (AT-SPI → the accessibility names the library and agents use) ----

// AT-SPI state set: two 32-bit words, bit n = state number n.
using AtspiStates = std::array<std::uint32_t, 2>;
bool hasAtspiState(const AtspiStates& states, int state);

struct AXRoleName {
  std::string role;
  std::optional<std::string> subrole;
  bool operator==(const AXRoleName&) const = default;
};

// Role (and subrole) for an AT-SPI role number; unmapped roles read "AX" followed by the AT-SPI
// role name in camel case ("drawing area" → "AXDrawingArea"); the invalid role is "AXUnknown".
AXRoleName axRoleFor(std::uint32_t atspiRole, const AtspiStates& states);
// Action name for an AT-SPI action name: the press-like actions are "AXPress", others map to
// their counterpart or to "AX" + the name in camel case.
std::string axActionFor(std::string_view atspiAction, std::uint32_t atspiRole);
// "AX" + words in camel case: "expand or contract" → "AXExpandOrContract".
std::string axCamelName(std::string_view words);

// An application registered on the accessibility bus.
struct AtspiApplication {
  std::int32_t pid = 0;
  std::string busName;
  std::string name;  // the application object's name, may be empty
};

// Finds the platform window number (X11 window id) of an accessible window of a process.
class WindowNumberLocator {
 public:
  virtual ~WindowNumberLocator() = default;
  virtual std::optional<std::uint32_t> windowNumberFor(std::int32_t pid, const std::string& title, double x, double y,
                                                       double width, double height) = 0;
};

// platform::Accessibility over AT-SPI 2, spoken directly on the accessibility bus (libdbus).
// A tree walk is served from one bulk read of the application's object cache plus pipelined
// requests for extents, actions and values; single reads are live calls. Not for concurrent
// use (one session thread).
class AtspiAccessibility final : public platform::Accessibility {
 public:
  // `locator` (may be null) answers "AXWindowNumber"; it must outlive this object.
  explicit AtspiAccessibility(WindowNumberLocator* locator = nullptr);
  ~AtspiAccessibility() override;

  // True when the accessibility bus answers (there is no per-process trust on Linux).
  bool isProcessTrusted(bool prompt) override;
  platform::AXElementRef applicationElement(std::int32_t pid) override;
  platform::AXCopyResult copyAttributeValue(const platform::AXElementRef& element, std::string_view attribute) override;
  platform::AXError copyActionNames(const platform::AXElementRef& element, std::vector<std::string>& names) override;
  platform::AXError isAttributeSettable(const platform::AXElementRef& element, std::string_view attribute,
                                        bool& settable) override;
  platform::AXError performAction(const platform::AXElementRef& element, std::string_view action) override;
  platform::AXError setAttributeValue(const platform::AXElementRef& element, std::string_view attribute,
                                      const std::string& value) override;
  void readElementAttributes(const platform::AXElementRef& element, platform::AXElementAttributes& out) override;

  // Registered applications with their process ids (registry order).
  std::vector<AtspiApplication> applications();

  // Off: every element of a walk is read with its own (pipelined) calls, no bulk cache read.
  void setBulkReads(bool on) { bulkReads_ = on; }
  // Off: every request goes through the bus daemon, none over the application's own socket.
  void setPeerToPeer(bool on) { peerToPeer_ = on; }
  // Milliseconds each call may take before it counts as failed.
  static constexpr int kCallTimeoutMs = 5000;

  struct Batch;
  struct NodeData;

 private:
  atspi::Bus* bus();
  // The connection to send an application's requests on: its peer-to-peer socket when it
  // offers one, else the bus.
  atspi::Bus& link(const std::string& busName);
  atspi::Bus& linkFor(const std::vector<std::string>& buses);
  std::optional<std::string> busNameFor(std::int32_t pid);
  std::shared_ptr<NodeData> fetchOne(const atspi::ObjectRef& ref);
  std::shared_ptr<Batch> prefetch(const atspi::ObjectRef& root);
  void fillExtras(std::vector<std::pair<std::string, std::shared_ptr<NodeData>>>& nodes);
  void fillBasics(std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>>& nodes);
  void ensureCacheListener();

  WindowNumberLocator* locator_;
  std::unique_ptr<atspi::Bus> bus_;
  bool triedConnect_ = false;
  bool listenerRegistered_ = false;
  bool bulkReads_ = true;
  bool peerToPeer_ = true;
  std::map<std::string, std::unique_ptr<atspi::Bus>> peers_;
  std::map<std::int32_t, std::string> busByPid_;
};

}  // namespace platformlinux
