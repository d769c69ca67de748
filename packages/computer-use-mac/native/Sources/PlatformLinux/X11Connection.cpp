#include "X11Connection.hpp"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace platformlinux::x11 {

struct Connection::Shared {
  std::mutex mutex;
  std::optional<std::string> firstError;  // guarded by mutex
  std::atomic<bool> dead{false};
};

namespace {

std::mutex registryMutex;
std::map<Display*, std::shared_ptr<Connection::Shared>> registry;  // guarded by registryMutex

std::shared_ptr<Connection::Shared> lookup(Display* display) {
  std::lock_guard<std::mutex> g(registryMutex);
  auto it = registry.find(display);
  return it == registry.end() ? nullptr : it->second;
}

int recordError(Display* display, XErrorEvent* event) {
  char text[160] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  const std::string description = std::string(text) + ", request " + std::to_string(event->request_code) + "." +
                                  std::to_string(event->minor_code);
  if (auto shared = lookup(display)) {
    std::lock_guard<std::mutex> g(shared->mutex);
    if (!shared->firstError) shared->firstError = description;
  }
  return 0;
}

// Called first on an I/O error; the per-display exit handler below then keeps the process alive.
int quietIoError(Display*) { return 0; }

void markDead(Display* display, void*) {
  if (auto shared = lookup(display)) shared->dead = true;
}

void installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(recordError);
    XSetIOErrorHandler(quietIoError);
  });
}

}  // namespace

std::string Connection::displayName(const std::optional<std::string>& name) {
  if (name) return *name;
  const char* env = std::getenv("DISPLAY");
  return env ? env : "";
}

std::unique_ptr<Connection> Connection::open(const std::optional<std::string>& name) {
  installHandlers();
  const std::string resolved = displayName(name);
  if (resolved.empty()) return nullptr;
  Display* display = XOpenDisplay(resolved.c_str());
  if (!display) return nullptr;
  auto shared = std::make_shared<Shared>();
  {
    std::lock_guard<std::mutex> g(registryMutex);
    registry[display] = shared;
  }
  XSetIOErrorExitHandler(display, markDead, nullptr);
  return std::unique_ptr<Connection>(new Connection(display, std::move(shared)));
}

Connection::Connection(Display* display, std::shared_ptr<Shared> shared)
    : display_(display), shared_(std::move(shared)) {}

Connection::~Connection() {
  {
    // Before closing: another connection may be opened at the same address right after.
    std::lock_guard<std::mutex> g(registryMutex);
    registry.erase(display_);
  }
  XCloseDisplay(display_);
}

bool Connection::dead() const { return shared_->dead.load(); }

std::optional<std::string> Connection::sync() {
  if (!dead()) XSync(display_, False);
  if (dead()) return std::string("connection to the X server lost");
  return takeError();
}

std::optional<std::string> Connection::takeError() {
  std::lock_guard<std::mutex> g(shared_->mutex);
  return std::exchange(shared_->firstError, std::nullopt);
}

std::string describe(const std::string& what, const std::optional<std::string>& name) {
  const std::string resolved = Connection::displayName(name);
  if (resolved.empty()) return what + " (DISPLAY is not set)";
  return what + " on display \"" + resolved + "\"";
}

}  // namespace platformlinux::x11
