#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ScreenCaptureStream.hpp"
#include "platform/SessionEventPoster.hpp"
#include "platform/SessionState.hpp"

namespace platformlinux {

namespace x11 {
class Connection;
}

// Posts session events into an X display through the XTEST extension. Virtual key codes are
// mapped back to keysyms (platform/VirtualKeySymbols) and then to the display's keycodes;
// text is typed by keysym, through a spare keycode mapped to it when the keyboard map lacks
// the character (or has it only at the other shift level); spare keycodes are restored when
// the poster goes. Modifier flags that no
// posted modifier key holds are pressed around the event. Positions are clamped to the screen.
// X errors never end the process: a failed or impossible event is dropped and counted.
class X11SessionEventPoster final : public platform::SessionEventPoster {
 public:
  // Throws platform::PlatformError when the display cannot be opened or lacks XTEST.
  explicit X11SessionEventPoster(std::optional<std::string> displayName = std::nullopt);
  ~X11SessionEventPoster() override;

  void post(const platform::SessionHidEvent& event) noexcept override;

  // Events dropped: unknown key codes, X errors, a lost server.
  std::uint64_t droppedCount() const { return dropped_.load(); }
  // The last X error seen while posting, if any.
  std::optional<std::string> lastError() const;

 private:
  struct Pressed {
    unsigned keycode;
  };
  void drainEvents();
  void loadKeyboardMap();
  void postKey(const platform::SessionKeyEvent& e);
  void postUnicode(const platform::SessionUnicodeEvent& e);
  void postMouse(const platform::SessionMouseEvent& e);
  void postScroll(const platform::SessionScrollEvent& e);
  // Presses modifiers in `flags` that no posted key holds; returns their keycodes to release.
  std::vector<unsigned> pressMissingModifiers(std::uint64_t flags, std::uint16_t except);
  void releaseAll(const std::vector<unsigned>& keycodes);
  // A keycode producing `keysym` at the given shift level, else none.
  std::optional<unsigned> keycodeAtLevel(std::uint32_t keysym, int level) const;
  std::optional<unsigned> anyKeycode(std::uint32_t keysym) const;
  // Maps a spare keycode to `keysym` at both shift levels; none when every spare is held.
  std::optional<unsigned> remap(std::uint32_t keysym);
  void unmap(unsigned keycode);
  bool isPressed(unsigned keycode) const;
  bool shiftHeld() const;
  void finish(bool ok);

  std::unique_ptr<x11::Connection> connection_;
  mutable std::mutex mutex_;  // posting is serialised; guards everything below
  int minKeycode_ = 8, maxKeycode_ = 255, symsPerKeycode_ = 0;
  std::vector<unsigned long> keyboardMap_;  // keysyms, symsPerKeycode_ per keycode
  std::vector<unsigned> remapped_;  // spare keycodes we mapped, least recently first; restored at the end
  std::set<std::uint16_t> heldModifierCodes_;  // virtual codes of modifier keys we hold down
  std::map<std::uint16_t, Pressed> pressedCodes_;
  std::map<std::string, Pressed> pressedText_;
  int screenWidth_ = 1, screenHeight_ = 1;
  std::optional<std::string> lastError_;
  std::atomic<std::uint64_t> dropped_{0};
};

// Streams the root window of an X display: MIT-SHM image grabs (plain GetImage where shared
// memory is unavailable) into BGRA buffers, damage from the DAMAGE extension as dirty
// rectangles, and the root's size as it changes (RandR). A tick of the requested frame rate
// that saw no damage grabs nothing and delivers nothing.
class X11ScreenCaptureService final : public platform::ScreenCaptureService {
 public:
  explicit X11ScreenCaptureService(std::optional<std::string> displayName = std::nullopt);

  // One display: the default screen's root window (id = screen number). Answers at once; an
  // unreachable server is the error "cannot open display ...".
  void shareableContent(ContentHandler completion) override;
  std::uint32_t mainDisplayId() override;
  std::unique_ptr<platform::CaptureStream> makeStream(const platform::CaptureDisplay& display,
                                                      const platform::StreamConfiguration& configuration) override;

 private:
  const std::optional<std::string> displayName_;
};

// X11 has no privacy permissions for capture or input: a client that can reach the display
// may read its screen and post events to it. A desktop-share status on X11 reports both granted.
struct X11Permissions {
  static constexpr bool screenRecording = true;
  static constexpr bool accessibility = true;
};

// What the Linux session reader learned about the session of one X display.
struct LinuxSessionFacts {
  bool serverReachable = false;
  std::optional<uid_t> socketOwner;  // owner of the X server's local socket file
  struct Logind {
    uid_t uid = 0;
    bool active = false;
    std::string seat;                 // empty when the session has no seat
    std::optional<bool> lockedHint;   // none when it could not be read
  };
  std::optional<Logind> logind;       // the logind session whose display this is
  std::optional<bool> screenSaverOn;  // MIT-SCREEN-SAVER state, none without the extension
  uid_t processUid = 0;
};

// The session record those facts amount to:
// - no reachable server: no session;
// - owner: the logind session's user, else the socket file's owner;
// - on console: the logind session is active on a seat; without a logind session (a nested
//   or virtual X server such as Xvfb) the server counts as on console when its owner is the
//   process's own user;
// - locked: logind's LockedHint where it was read, else the screen saver being on.
platform::SessionRecord sessionRecordFrom(const LinuxSessionFacts& facts);

// Reads the facts above for an X display: the server by connecting to it, the socket owner from
// /tmp/.X11-unix/X<n>, the logind session through sd-login and its LockedHint over the system
// bus (both optional), the screen saver through MIT-SCREEN-SAVER.
class X11SessionStateReader final : public platform::SessionStateReader {
 public:
  explicit X11SessionStateReader(std::optional<std::string> displayName = std::nullopt);
  ~X11SessionStateReader() override;
  std::optional<platform::SessionRecord> currentSession() override;
  LinuxSessionFacts facts();

 private:
  const std::optional<std::string> displayName_;
  std::mutex mutex_;
  std::unique_ptr<x11::Connection> connection_;  // guarded by mutex_; reopened when lost
};

}  // namespace platformlinux
