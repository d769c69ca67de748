#include "messages/FullDiskAccessGuide.hpp"

#include <algorithm>

namespace messages {

using platform::OverlayRect;

namespace {
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr const char* kSettingsBundles[] = {"com.apple.SystemSettings", "com.apple.systempreferences"};
}  // namespace

OverlayRect DragOverlayGeometry::frame(const OverlayRect& settings, const OverlayRect& visible) {
  const double width = std::max(0.0, std::min(360.0, visible.width - 32));
  const double height = std::max(0.0, std::min(170.0, visible.height - 32));
  double x = settings.maxX() - width - 16;
  double y = settings.y - height - 16;
  // The upper bound is applied last, so it wins when the panel cannot fit.
  x = std::min(std::max(x, visible.x + 16), visible.maxX() - width - 16);
  y = std::min(std::max(y, visible.y + 16), visible.maxY() - height - 16);
  return {x, y, width, height};
}

std::string FullDiskAccessGuide::instruction(const std::string& displayName) {
  return "Drag " + displayName + " into the list above to allow Full Disk Access";
}

std::string FullDiskAccessGuide::displayName(const std::string& applicationPath) {
  std::string path = applicationPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string last = path.substr(path.find_last_of('/') + 1);
  auto dot = last.find_last_of('.');
  if (dot != std::string::npos && dot > 0) last.resize(dot);
  return last;
}

std::shared_ptr<DragOverlayController> DragOverlayController::make(GuidePlatform& platform) {
  std::shared_ptr<DragOverlayController> controller(new DragOverlayController(platform));
  controller->timerRunning_ = true;
  controller->scheduleTick();
  return controller;
}

DragOverlayController::~DragOverlayController() {
  if (panel_) panel_->close();
}

void DragOverlayController::scheduleTick() {
  // The timer holds the controller weakly: a released controller is not kept alive by it.
  std::weak_ptr<DragOverlayController> weak = weak_from_this();
  platform_.runLoop.post(
      [weak] {
        auto self = weak.lock();
        if (!self || !self->timerRunning_) return;
        self->tick();
        if (self->timerRunning_) self->scheduleTick();
      },
      kTick);
}

void DragOverlayController::tick() {
  --ticksUntilGiveUp_;
  const auto settings = systemSettingsWindowFrame();
  if (!settings) {
    if (seenSettings_ || ticksUntilGiveUp_ < 1) finish();
    return;
  }
  seenSettings_ = true;

  const auto screens = platform_.windows.screens();
  const double cx = settings->x + settings->width / 2;
  const double cy = settings->y + settings->height / 2;
  const platform::ScreenFrames* screen = nullptr;
  for (const auto& s : screens) {
    if (cx >= s.frame.x && cx < s.frame.maxX() && cy >= s.frame.y && cy < s.frame.maxY()) {
      screen = &s;
      break;
    }
  }
  if (!screen) {
    for (const auto& s : screens) {
      if (settings->x < s.frame.maxX() && s.frame.x < settings->maxX() && settings->y < s.frame.maxY() &&
          s.frame.y < settings->maxY()) {
        screen = &s;
        break;
      }
    }
  }
  if (!screen) return;

  platform::OverlayPanel& panel = panel_ ? *panel_ : makePanel();
  panel.setFrame(DragOverlayGeometry::frame(*settings, screen->visibleFrame));
  if (!panel.isVisible()) panel.orderFrontWithoutActivating();
}

void DragOverlayController::finish() {
  timerRunning_ = false;
  if (panel_) {
    panel_->close();
    panel_.reset();
  }
  finished_ = true;
}

platform::OverlayPanel& DragOverlayController::makePanel() {
  const std::string name = FullDiskAccessGuide::displayName(platform_.applicationPath);
  std::weak_ptr<DragOverlayController> weak = weak_from_this();
  platform::OverlayContent content;
  content.applicationPath = platform_.applicationPath;
  content.displayName = name;
  content.instruction = FullDiskAccessGuide::instruction(name);
  content.onClose = [weak] {
    if (auto self = weak.lock()) self->finish();
  };
  content.onDrop = [weak](int operation) {
    if (operation != 1) return;  // only a copy drop means the program was added
    if (auto self = weak.lock()) self->finish();
  };
  panel_ = platform_.panels.makePanel(std::move(content));
  return *panel_;
}

std::optional<OverlayRect> DragOverlayController::systemSettingsWindowFrame() {
  const auto windows = platform_.windows.onScreenWindows();
  if (!windows) return std::nullopt;
  const auto screens = platform_.windows.screens();
  const double primaryHeight = screens.empty() ? 0 : screens.front().frame.height;

  std::optional<OverlayRect> best;
  for (const auto& w : *windows) {
    if (w.layer != 0 || !w.ownerPid || !w.bounds) continue;
    const auto bundle = platform_.windows.bundleIdentifierOfProcess(*w.ownerPid);
    if (!bundle || std::none_of(std::begin(kSettingsBundles), std::end(kSettingsBundles),
                                [&](const char* b) { return *bundle == b; })) {
      continue;
    }
    const OverlayRect& b = *w.bounds;
    if (!(b.width > 240 && b.height > 180)) continue;
    const OverlayRect flipped{b.x, primaryHeight - (b.y + b.height), b.width, b.height};
    if (!best || flipped.width * flipped.height > best->width * best->height) best = flipped;
  }
  return best;
}

bool FullDiskAccessGuide::run(GuidePlatform& platform) {
  if (!platform.workspace.openURL(paneURL)) return false;
  auto controller = DragOverlayController::make(platform);
  while (!controller->finished()) platform.runLoop.runOnce(kTick);
  return true;
}

}  // namespace messages
