#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <atomic>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "platform/Applications.hpp"
#include "platform/EventPosting.hpp"
#include "platform/Image.hpp"
#include "platform/Screenshots.hpp"
#include "platform/SessionEventPoster.hpp"
#include "platform/WindowList.hpp"
#include "platformlinux/AtspiAccessibility.hpp"

namespace platformlinux {

namespace x11 {
class Connection;
}

// One top-level client window as the window manager lists it (EWMH).
struct X11ClientWindow {
  std::uint32_t id = 0;
  std::optional<std::int32_t> pid;  // _NET_WM_PID
  std::optional<std::string> title; // _NET_WM_NAME, else WM_NAME
  platform::ScreenRect frame;       // client area in root coordinates
  bool viewable = false;            // mapped
  bool hidden = false;              // _NET_WM_STATE_HIDDEN (minimised)
};

// The X11 desktop as computer use sees it: the window list and frames (EWMH), captures of a
// window's region or of the whole screen, activation, and the window number behind an
// accessible window. Thread-safe (one lock around the display connection).
class X11Desktop final : public platform::WindowList, public platform::Screenshots, public WindowNumberLocator {
 public:
  // Throws std::runtime_error when the display cannot be opened.
  explicit X11Desktop(std::optional<std::string> displayName = std::nullopt);
  ~X11Desktop() override;

  // Client windows front to back (the stacking list reversed); without a window manager, the
  // root's mapped children.
  std::vector<X11ClientWindow> clientWindows();
  std::optional<std::uint32_t> activeWindow();
  // Asks the window manager to activate (and so de-iconify and raise) the window.
  bool activateWindow(std::uint32_t window);
  // Asks the window manager to iconify the window (ICCCM WM_CHANGE_STATE).
  bool iconifyWindow(std::uint32_t window);
  // The topmost viewable client window containing the root point.
  std::optional<X11ClientWindow> clientAt(double x, double y);
  platform::ScreenRect screenSize();

  // The screen region, scaled with an area average to width x height (RGBA).
  // Window captures use the window's own pixmap where a compositor keeps one (XComposite),
  // else this region of the screen.
  std::optional<platform::RgbaImage> captureRegion(const platform::ScreenRect& region, std::int32_t width,
                                                   std::int32_t height);

  void shareableContent(std::function<void(platform::ShareableContentResult)> completion) override;
  bool preflightAccess() override;
  bool requestAccess() override;
  void captureImage(const platform::CaptureFilter& filter, const platform::CaptureConfiguration& configuration,
                    std::function<void(platform::ScreenshotResult)> completion) override;

  std::optional<std::uint32_t> windowNumberFor(std::int32_t pid, const std::string& title, double x, double y,
                                               double width, double height) override;

  const std::optional<std::string>& displayName() const { return displayName_; }

 private:
  std::vector<X11ClientWindow> clientWindowsLocked();
  std::optional<X11ClientWindow> describeLocked(unsigned long window);
  // The window's frame area from its own pixmap, where a compositor redirects it (XComposite).
  std::optional<platform::RgbaImage> captureComposited(const X11ClientWindow& window);
  // Reads a root region through MIT-SHM into `into` at (dx, dy); false where shared memory
  // cannot be used (then plain reads do). Called with the lock held.
  bool grabShared(int x, int y, int width, int height, platform::RgbaImage& into, int dx, int dy);

  const std::optional<std::string> displayName_;
  std::mutex mutex_;
  std::unique_ptr<x11::Connection> connection_;
  std::optional<bool> composite_;  // the server offers XComposite 0.2 or later
  std::optional<bool> shm_;        // MIT-SHM works with this server
};

// Scales an RGBA image by area averaging (each output pixel the mean of the source pixels it
// covers). Same-size input is copied.
platform::RgbaImage scaleAreaAverage(const platform::RgbaImage& source, std::int32_t width, std::int32_t height);

// One installed application from a freedesktop .desktop file.
struct DesktopEntry {
  std::string id;    // desktop-file id: path below applications/, '/' → '-', without ".desktop"
  std::string path;  // the file
  std::string name;  // Name
  std::string exec;  // Exec
  std::optional<std::string> startupWMClass;
  bool noDisplay = false;
};

// Parses one .desktop file's [Desktop Entry] group; none when it is not an application entry.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& id);
// Splits an Exec line into arguments (desktop-entry quoting), dropping field codes (%f, %U, ...)
// and turning %% into %; none when the quoting is broken.
std::optional<std::vector<std::string>> splitExecLine(const std::string& exec);
// Installed applications from $XDG_DATA_HOME and $XDG_DATA_DIRS (first found id wins).
std::vector<DesktopEntry> installedDesktopEntries();

// Running applications (the accessibility registry joined with the window list and /proc),
// frontmost and activation through EWMH, installed applications from .desktop files, launched
// from the entry's Exec line without a shell.
class X11Applications final : public platform::Applications {
 public:
  X11Applications(X11Desktop& desktop, AtspiAccessibility& accessibility);
  // Waits for launches still watching their new process (they answer at once then).
  ~X11Applications() override;

  std::vector<platform::RunningApplication> runningApplications() override;
  std::optional<platform::RunningApplication> frontmostApplication() override;
  bool activate(std::int32_t pid, std::uint32_t options) override;
  std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) override;
  std::optional<std::string> applicationPathToOpen(const std::string& path) override;
  // `bundlePath` is a .desktop file or an executable. Answers on another thread once the new
  // process shows a window (or has gone), at most 9 s later.
  void openApplication(const std::string& bundlePath, bool activates,
                       std::function<void(platform::LaunchResult)> completion) override;

 private:
  platform::RunningApplication describe(std::int32_t pid, const std::optional<std::string>& accessibleName,
                                        bool hasWindow);
  const std::vector<DesktopEntry>& entries();

  X11Desktop& desktop_;
  AtspiAccessibility& accessibility_;
  std::optional<std::vector<DesktopEntry>> entries_;
  std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::thread> launches_;
};

// Computer-use events over XTEST. Text is typed character by character whatever the keyboard
// layout; key codes are macOS virtual key codes. Events for a process go to it: keyboard events
// first make one of its windows active, and button events are dropped when the window under
// the pointer belongs to another process.
class X11EventPoster final : public platform::EventPoster {
 public:
  // Throws platform::PlatformError when the display cannot be opened or lacks XTEST.
  explicit X11EventPoster(X11Desktop& desktop);
  ~X11EventPoster() override;
  std::unique_ptr<platform::PlatformEvent> create(const platform::InputEvent& event) override;
  void post(const platform::PlatformEvent& event, std::optional<std::int32_t> pid) override;
  std::uint64_t droppedCount() const { return dropped_; }

 private:
  void focusProcess(std::int32_t pid);
  X11Desktop& desktop_;
  std::unique_ptr<platform::SessionEventPoster> poster_;
  std::uint64_t dropped_ = 0;
};

// Everything a computer-use session needs on an X11 desktop, built together.
struct LinuxComputerUsePlatform {
  explicit LinuxComputerUsePlatform(std::optional<std::string> displayName = std::nullopt);
  std::unique_ptr<X11Desktop> desktop;
  std::unique_ptr<AtspiAccessibility> accessibility;
  std::unique_ptr<X11Applications> applications;
  std::unique_ptr<X11EventPoster> events;
};

}  // namespace platformlinux
