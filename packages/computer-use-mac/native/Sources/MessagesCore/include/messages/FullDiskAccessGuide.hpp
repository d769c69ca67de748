#pragma once
#include <memory>
#include <optional>
#include <string>

#include "platform/MessagesAutomation.hpp"
#include "platform/OverlayWindows.hpp"
#include "support/RunLoop.hpp"

namespace messages {

// Where the guide panel goes: below the System Settings window, right edges aligned, kept
// 16 points inside the visible frame. Bottom-left screen coordinates.
namespace DragOverlayGeometry {
platform::OverlayRect frame(const platform::OverlayRect& below, const platform::OverlayRect& in);
}

struct GuidePlatform {
  platform::MessagesWorkspace& workspace;
  platform::WindowServer& windows;
  platform::OverlayPanelFactory& panels;
  support::RunLoop& runLoop;
  std::string applicationPath;  // the program the user is asked to drag into the list
};

// Follows the System Settings window with the drag panel, on a 0.05 s tick of the run loop.
class DragOverlayController : public std::enable_shared_from_this<DragOverlayController> {
 public:
  static std::shared_ptr<DragOverlayController> make(GuidePlatform& platform);
  ~DragOverlayController();

  void tick();
  void finish();
  platform::OverlayPanel& makePanel();
  // The largest qualifying System Settings window, bottom-left origin.
  std::optional<platform::OverlayRect> systemSettingsWindowFrame();

  bool finished() const { return finished_; }
  int ticksUntilGiveUp() const { return ticksUntilGiveUp_; }

 private:
  explicit DragOverlayController(GuidePlatform& platform) : platform_(platform) {}
  void scheduleTick();

  GuidePlatform& platform_;
  bool finished_ = false;
  std::unique_ptr<platform::OverlayPanel> panel_;
  bool timerRunning_ = false;
  bool seenSettings_ = false;
  int ticksUntilGiveUp_ = 200;
};

namespace FullDiskAccessGuide {

inline constexpr const char* paneURL =
    "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_AllFiles";

// Opens the Full Disk Access pane and, if that worked, runs the drag panel until it is done.
// Returns whether the pane opened.
bool run(GuidePlatform& platform);

// "Drag <name> into the list above to allow Full Disk Access"
std::string instruction(const std::string& displayName);
// The last path component without its extension.
std::string displayName(const std::string& applicationPath);

}  // namespace FullDiskAccessGuide

}  // namespace messages
