#pragma once
#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>

namespace platformlinux::x11 {

// One connection to an X server whose protocol errors are recorded (never the default handler,
// which ends the process) and whose I/O errors mark it dead instead of exiting. Use a
// connection from one thread at a time.
class Connection {
 public:
  // None when the server cannot be reached. `name` none means $DISPLAY.
  static std::unique_ptr<Connection> open(const std::optional<std::string>& name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return display_; }
  // The server went away (or the connection broke); every later call is a no-op.
  bool dead() const;
  // Waits for the server to process everything sent so far; returns the first protocol error
  // recorded since the last call, as text ("BadMatch (invalid parameter attributes), request 130.4").
  std::optional<std::string> sync();
  std::optional<std::string> takeError();

  // The name the connection was opened with, resolved ($DISPLAY).
  static std::string displayName(const std::optional<std::string>& name);

  struct Shared;  // error and liveness state reached from Xlib's callbacks

 private:
  Connection(Display* display, std::shared_ptr<Shared> shared);
  Display* display_;
  std::shared_ptr<Shared> shared_;
};

// "<what> on display <name>" style reason used by the backends' errors.
std::string describe(const std::string& what, const std::optional<std::string>& name);

}  // namespace platformlinux::x11
