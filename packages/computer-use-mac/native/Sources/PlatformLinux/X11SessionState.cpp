#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>

#include "X11Connection.hpp"
#include "platformlinux/X11Desktop.hpp"

namespace platformlinux {

namespace {

// ":1", ":1.0", "unix:1" and "localhost:1" name the local server 1; other hosts have no
// local socket file.
std::optional<int> localDisplayNumber(const std::string& name) {
  const auto colon = name.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string host = name.substr(0, colon);
  if (!host.empty() && host != "unix" && host != "localhost") return std::nullopt;
  const std::string rest = name.substr(colon + 1);
  std::size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits == 0 || digits > 6) return std::nullopt;
  return std::atoi(rest.substr(0, digits).c_str());
}

std::optional<bool> lockedHint(const char* session) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return std::nullopt;
  std::optional<bool> result;
  char* path = nullptr;
  if (sd_bus_path_encode("/org/freedesktop/login1/session", session, &path) >= 0) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
    int value = 0;
    if (sd_bus_get_property_trivial(bus, "org.freedesktop.login1", path, "org.freedesktop.login1.Session", "LockedHint",
                                    &error, 'b', &value) >= 0)
      result = value != 0;
    sd_bus_error_free(&error);
    std::free(path);
  }
  sd_bus_flush_close_unref(bus);
  return result;
}

// The logind session whose X display is `number`, when logind runs and knows one.
std::optional<LinuxSessionFacts::Logind> logindSession(int number) {
  char** sessions = nullptr;
  const int count = sd_get_sessions(&sessions);
  if (count <= 0) {
    if (sessions) std::free(sessions);
    return std::nullopt;
  }
  std::optional<LinuxSessionFacts::Logind> found;
  for (int i = 0; i < count; ++i) {
    char* display = nullptr;
    if (!found && sd_session_get_display(sessions[i], &display) >= 0 && display &&
        localDisplayNumber(display) == number) {
      LinuxSessionFacts::Logind s;
      uid_t uid = 0;
      if (sd_session_get_uid(sessions[i], &uid) >= 0) s.uid = uid;
      s.active = sd_session_is_active(sessions[i]) > 0;
      char* seat = nullptr;
      if (sd_session_get_seat(sessions[i], &seat) >= 0 && seat) s.seat = seat;
      std::free(seat);
      s.lockedHint = lockedHint(sessions[i]);
      found = s;
    }
    std::free(display);
    std::free(sessions[i]);
  }
  std::free(sessions);
  return found;
}

}  // namespace

platform::SessionRecord sessionRecordFrom(const LinuxSessionFacts& facts) {
  platform::SessionRecord record;
  std::optional<uid_t> owner = facts.logind ? std::optional<uid_t>(facts.logind->uid) : facts.socketOwner;
  if (owner) record.userId = static_cast<std::int64_t>(*owner);
  if (facts.logind) record.onConsole = facts.logind->active && !facts.logind->seat.empty();
  else record.onConsole = owner && *owner == facts.processUid;
  if (facts.logind && facts.logind->lockedHint) record.screenLocked = *facts.logind->lockedHint;
  else if (facts.screenSaverOn) record.screenLocked = *facts.screenSaverOn;
  return record;
}

X11SessionStateReader::X11SessionStateReader(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

X11SessionStateReader::~X11SessionStateReader() = default;

LinuxSessionFacts X11SessionStateReader::facts() {
  LinuxSessionFacts f;
  f.processUid = getuid();
  std::lock_guard<std::mutex> g(mutex_);
  if (connection_ && connection_->dead()) connection_.reset();
  if (!connection_) connection_ = x11::Connection::open(displayName_);
  if (!connection_) return f;
  Display* d = connection_->get();
  // A round trip proves the server still answers.
  XNoOp(d);
  if (connection_->sync() && connection_->dead()) {
    connection_.reset();
    return f;
  }
  f.serverReachable = true;
  const std::string name = x11::Connection::displayName(displayName_);
  if (auto number = localDisplayNumber(name)) {
    struct stat st {};
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(*number);
    if (stat(socket.c_str(), &st) == 0) f.socketOwner = st.st_uid;
    f.logind = logindSession(*number);
  }
  int eventBase = 0, errorBase = 0;
  if (XScreenSaverQueryExtension(d, &eventBase, &errorBase)) {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    if (info && XScreenSaverQueryInfo(d, DefaultRootWindow(d), info)) f.screenSaverOn = info->state == ScreenSaverOn;
    if (info) XFree(info);
  }
  connection_->takeError();
  return f;
}

std::optional<platform::SessionRecord> X11SessionStateReader::currentSession() {
  const LinuxSessionFacts f = facts();
  if (!f.serverReachable) return std::nullopt;
  return sessionRecordFrom(f);
}

}  // namespace platformlinux
