#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "X11Connection.hpp"
#include "platformlinux/X11ComputerUse.hpp"

namespace platformlinux {

namespace {

std::vector<unsigned long> longProperty(Display* d, Window w, const char* name, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1 << 16, False, type, &actualType, &format, &count,
                         &after, &data) == Success &&
      data && format == 32) {
    auto* values = reinterpret_cast<unsigned long*>(data);  // Xlib hands 32-bit items out as longs
    out.assign(values, values + count);
  }
  if (data) XFree(data);
  return out;
}

std::optional<std::string> textProperty(Display* d, Window w, const char* name, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> out;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1 << 16, False, type, &actualType, &format, &count,
                         &after, &data) == Success &&
      data && format == 8)
    out = std::string(reinterpret_cast<char*>(data), count);
  if (data) XFree(data);
  return out;
}

bool sendRootMessage(Display* d, Window window, const char* type, long l0, long l1, long l2) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(d, type, False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = l0;
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  const Status s = XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(d);
  return s != 0;
}

bool contains(const platform::ScreenRect& r, double x, double y) {
  return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

// Copies an XImage (24-bit colour in 32-bit pixels, or anything XGetPixel reads) into opaque
// RGBA at (dx, dy) of `out`.
void copyImage(XImage* image, platform::RgbaImage& out, int dx, int dy) {
  const bool direct = image->bits_per_pixel == 32 && image->red_mask == 0xff0000 && image->green_mask == 0xff00 &&
                      image->blue_mask == 0xff;
  for (int y = 0; y < image->height; ++y) {
    std::uint8_t* o = out.pixels.data() +
                      (static_cast<std::size_t>(y + dy) * static_cast<std::size_t>(out.width) + static_cast<std::size_t>(dx)) * 4;
    const auto* in = reinterpret_cast<const std::uint8_t*>(image->data) +
                     static_cast<std::size_t>(y) * static_cast<std::size_t>(image->bytes_per_line);
    for (int x = 0; x < image->width; ++x, o += 4) {
      std::uint32_t pixel;
      if (direct) {
        std::memcpy(&pixel, in + static_cast<std::size_t>(x) * 4, 4);
        if (image->byte_order == MSBFirst) pixel = __builtin_bswap32(pixel);
      } else {
        pixel = static_cast<std::uint32_t>(XGetPixel(image, x, y));
      }
      o[0] = static_cast<std::uint8_t>(pixel >> 16);
      o[1] = static_cast<std::uint8_t>(pixel >> 8);
      o[2] = static_cast<std::uint8_t>(pixel);
      o[3] = 255;
    }
  }
}

platform::RgbaImage blackImage(std::int32_t width, std::int32_t height) {
  platform::RgbaImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
  for (std::size_t i = 3; i < image.pixels.size(); i += 4) image.pixels[i] = 255;
  return image;
}

}  // namespace

platform::RgbaImage scaleAreaAverage(const platform::RgbaImage& src, std::int32_t width, std::int32_t height) {
  platform::RgbaImage out;
  out.width = std::max(width, 1);
  out.height = std::max(height, 1);
  if (src.width == out.width && src.height == out.height) {
    out.pixels = src.pixels;
    return out;
  }
  out.pixels.assign(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4, 0);
  if (src.width <= 0 || src.height <= 0) return out;
  const double sx = static_cast<double>(src.width) / out.width;
  const double sy = static_cast<double>(src.height) / out.height;
  // Per output column: the source columns it covers and their weights, computed once.
  struct Span {
    std::int32_t first = 0, last = 0;
    double firstWeight = 1, lastWeight = 1;
  };
  auto spans = [](std::int32_t n, double scale, std::int32_t limit) {
    std::vector<Span> v(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
      const double a = i * scale, b = std::min((i + 1) * scale, static_cast<double>(limit));
      Span s;
      s.first = static_cast<std::int32_t>(std::floor(a));
      s.last = std::max(s.first, static_cast<std::int32_t>(std::ceil(b)) - 1);
      s.last = std::min(s.last, limit - 1);
      s.firstWeight = std::min(b, s.first + 1.0) - a;
      s.lastWeight = s.last == s.first ? s.firstWeight : b - s.last;
      v[static_cast<std::size_t>(i)] = s;
    }
    return v;
  };
  const auto cols = spans(out.width, sx, src.width);
  const auto rows = spans(out.height, sy, src.height);
  std::vector<double> acc(static_cast<std::size_t>(out.width) * 4);
  for (std::int32_t oy = 0; oy < out.height; ++oy) {
    std::fill(acc.begin(), acc.end(), 0.0);
    const Span& r = rows[static_cast<std::size_t>(oy)];
    double total = 0;
    for (std::int32_t y = r.first; y <= r.last; ++y) {
      const double wy = y == r.first ? r.firstWeight : y == r.last ? r.lastWeight : 1.0;
      total += wy;
      const std::uint8_t* line = src.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(src.width) * 4;
      for (std::int32_t ox = 0; ox < out.width; ++ox) {
        const Span& c = cols[static_cast<std::size_t>(ox)];
        double* a = &acc[static_cast<std::size_t>(ox) * 4];
        for (std::int32_t x = c.first; x <= c.last; ++x) {
          const double w = wy * (x == c.first ? c.firstWeight : x == c.last ? c.lastWeight : 1.0);
          const std::uint8_t* p = line + static_cast<std::size_t>(x) * 4;
          a[0] += p[0] * w;
          a[1] += p[1] * w;
          a[2] += p[2] * w;
          a[3] += p[3] * w;
        }
      }
    }
    std::uint8_t* o = out.pixels.data() + static_cast<std::size_t>(oy) * static_cast<std::size_t>(out.width) * 4;
    for (std::int32_t ox = 0; ox < out.width; ++ox) {
      const Span& c = cols[static_cast<std::size_t>(ox)];
      double colWeight = 0;
      for (std::int32_t x = c.first; x <= c.last; ++x)
        colWeight += x == c.first ? c.firstWeight : x == c.last ? c.lastWeight : 1.0;
      const double norm = total * colWeight;
      for (int k = 0; k < 4; ++k) {
        const double v = norm > 0 ? acc[static_cast<std::size_t>(ox) * 4 + k] / norm : 0;
        o[ox * 4 + k] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
  }
  return out;
}

X11Desktop::X11Desktop(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)), connection_(x11::Connection::open(displayName_)) {
  if (!connection_) throw std::runtime_error(x11::describe("cannot open display", displayName_));
}

X11Desktop::~X11Desktop() = default;

std::optional<X11ClientWindow> X11Desktop::describeLocked(unsigned long window) {
  Display* d = connection_->get();
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(d, window, &attributes)) {
    connection_->takeError();
    return std::nullopt;
  }
  X11ClientWindow w;
  w.id = static_cast<std::uint32_t>(window);
  int x = 0, y = 0;
  Window child = 0;
  XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &x, &y, &child);
  w.frame = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(attributes.width),
             static_cast<double>(attributes.height)};
  w.viewable = attributes.map_state == IsViewable;
  if (auto pid = longProperty(d, window, "_NET_WM_PID", XA_CARDINAL); !pid.empty())
    w.pid = static_cast<std::int32_t>(pid.front());
  w.title = textProperty(d, window, "_NET_WM_NAME", XInternAtom(d, "UTF8_STRING", False));
  if (!w.title) w.title = textProperty(d, window, "WM_NAME", AnyPropertyType);
  const Atom hidden = XInternAtom(d, "_NET_WM_STATE_HIDDEN", False);
  for (auto atom : longProperty(d, window, "_NET_WM_STATE", XA_ATOM))
    if (atom == hidden) w.hidden = true;
  // The window as its user sees it: without the invisible margins of windows that draw their
  // own decorations (GTK), with the window manager's frame (title bar and borders), which is
  // also what the application reports as its window's extents.
  auto insets = [&](const char* property, double sign) {
    auto e = longProperty(d, window, property, XA_CARDINAL);
    if (e.size() != 4) return;
    const double l = sign * static_cast<double>(e[0]), r = sign * static_cast<double>(e[1]);
    const double t = sign * static_cast<double>(e[2]), b = sign * static_cast<double>(e[3]);
    if (w.frame.width - l - r <= 0 || w.frame.height - t - b <= 0) return;
    w.frame = {w.frame.x + l, w.frame.y + t, w.frame.width - l - r, w.frame.height - t - b};
  };
  insets("_GTK_FRAME_EXTENTS", 1);
  insets("_NET_FRAME_EXTENTS", -1);
  connection_->takeError();
  return w;
}

std::vector<X11ClientWindow> X11Desktop::clientWindowsLocked() {
  Display* d = connection_->get();
  std::vector<X11ClientWindow> out;
  if (connection_->dead()) return out;
  auto ids = longProperty(d, DefaultRootWindow(d), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
  if (ids.empty()) ids = longProperty(d, DefaultRootWindow(d), "_NET_CLIENT_LIST", XA_WINDOW);
  if (ids.empty()) {
    // No window manager: the root's children, bottom to top.
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) {
      ids.assign(children, children + count);
      if (children) XFree(children);
    }
  }
  std::reverse(ids.begin(), ids.end());  // front to back
  for (auto id : ids)
    if (auto w = describeLocked(id)) out.push_back(std::move(*w));
  return out;
}

std::vector<X11ClientWindow> X11Desktop::clientWindows() {
  std::lock_guard lock(mutex_);
  return clientWindowsLocked();
}

std::optional<std::uint32_t> X11Desktop::activeWindow() {
  std::lock_guard lock(mutex_);
  Display* d = connection_->get();
  auto v = longProperty(d, DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (v.empty() || v.front() == 0) return std::nullopt;
  return static_cast<std::uint32_t>(v.front());
}

bool X11Desktop::activateWindow(std::uint32_t window) {
  std::lock_guard lock(mutex_);
  Display* d = connection_->get();
  // Source 2: a pager or similar tool acting for the user, which window managers obey.
  return sendRootMessage(d, window, "_NET_ACTIVE_WINDOW", 2, CurrentTime, 0);
}

bool X11Desktop::iconifyWindow(std::uint32_t window) {
  std::lock_guard lock(mutex_);
  return sendRootMessage(connection_->get(), window, "WM_CHANGE_STATE", IconicState, 0, 0);
}

std::optional<X11ClientWindow> X11Desktop::clientAt(double x, double y) {
  std::lock_guard lock(mutex_);
  for (auto& w : clientWindowsLocked())
    if (w.viewable && !w.hidden && contains(w.frame, x, y)) return w;
  return std::nullopt;
}

platform::ScreenRect X11Desktop::screenSize() {
  std::lock_guard lock(mutex_);
  Display* d = connection_->get();
  const int s = DefaultScreen(d);
  return {0, 0, static_cast<double>(DisplayWidth(d, s)), static_cast<double>(DisplayHeight(d, s))};
}

std::optional<platform::RgbaImage> X11Desktop::captureRegion(const platform::ScreenRect& region, std::int32_t width,
                                                             std::int32_t height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  const auto rx = static_cast<std::int32_t>(std::lround(region.x)), ry = static_cast<std::int32_t>(std::lround(region.y));
  const auto rw = static_cast<std::int32_t>(std::lround(region.width)),
             rh = static_cast<std::int32_t>(std::lround(region.height));
  if (rw <= 0 || rh <= 0) return std::nullopt;
  platform::RgbaImage full = blackImage(rw, rh);
  {
    std::lock_guard lock(mutex_);
    Display* d = connection_->get();
    if (connection_->dead()) return std::nullopt;
    const int s = DefaultScreen(d);
    // Only the part on the screen can be read; the rest stays black.
    const int x0 = std::max(rx, 0), y0 = std::max(ry, 0);
    const int x1 = std::min(rx + rw, DisplayWidth(d, s)), y1 = std::min(ry + rh, DisplayHeight(d, s));
    if (x1 > x0 && y1 > y0 && !grabShared(x0, y0, x1 - x0, y1 - y0, full, x0 - rx, y0 - ry)) {
      XImage* image = XGetImage(d, DefaultRootWindow(d), x0, y0, static_cast<unsigned>(x1 - x0),
                                static_cast<unsigned>(y1 - y0), AllPlanes, ZPixmap);
      connection_->takeError();
      if (!image) return std::nullopt;
      copyImage(image, full, x0 - rx, y0 - ry);
      XDestroyImage(image);
    }
  }
  if (full.width == width && full.height == height) return full;
  return scaleAreaAverage(full, width, height);
}

void X11Desktop::shareableContent(std::function<void(platform::ShareableContentResult)> completion) {
  platform::ShareableContentResult result;
  platform::ShareableContent content;
  {
    std::lock_guard lock(mutex_);
    if (connection_->dead()) {
      result.errorDescription = x11::describe("connection lost", displayName_);
    } else {
      for (auto& w : clientWindowsLocked()) {
        platform::ShareableWindow s;
        s.windowID = w.id;
        s.owningPid = w.pid;
        s.title = w.title;
        s.frame = w.frame;
        s.onScreen = w.viewable && !w.hidden;
        content.windows.push_back(std::move(s));
      }
      Display* d = connection_->get();
      const int screen = DefaultScreen(d);
      content.displays.push_back({static_cast<std::uint32_t>(screen), static_cast<double>(DisplayWidth(d, screen)),
                                  static_cast<double>(DisplayHeight(d, screen))});
      result.content = std::move(content);
    }
  }
  completion(std::move(result));
}

bool X11Desktop::preflightAccess() {
  std::lock_guard lock(mutex_);
  return !connection_->dead();
}

bool X11Desktop::requestAccess() { return preflightAccess(); }

void X11Desktop::captureImage(const platform::CaptureFilter& filter, const platform::CaptureConfiguration& configuration,
                              std::function<void(platform::ScreenshotResult)> completion) {
  platform::ScreenshotResult result;
  std::optional<platform::ScreenRect> region;
  if (filter.kind == platform::CaptureFilter::Kind::window) {
    std::optional<X11ClientWindow> w;
    {
      std::lock_guard lock(mutex_);
      w = describeLocked(filter.id);
    }
    if (w && w->viewable && !w->hidden) {
      // The window's own contents where a compositor keeps them, so windows in front do not
      // show; else what the screen shows at its place.
      if (auto own = captureComposited(*w)) {
        result.image = own->width == configuration.width && own->height == configuration.height
                           ? std::move(*own)
                           : scaleAreaAverage(*own, configuration.width, configuration.height);
        completion(std::move(result));
        return;
      }
      region = w->frame;
    }
  } else {
    region = screenSize();
  }
  if (!region) {
    result.errorDescription = "The window is not on screen.";
  } else if (auto image = captureRegion(*region, configuration.width, configuration.height)) {
    result.image = std::move(*image);
  } else {
    result.errorDescription = "The screen could not be read.";
  }
  completion(std::move(result));
}

bool X11Desktop::grabShared(int x, int y, int width, int height, platform::RgbaImage& into, int dx, int dy) {
  Display* d = connection_->get();
  if (!shm_) shm_ = XShmQueryExtension(d) == True;
  if (!*shm_) return false;
  const int s = DefaultScreen(d);
  XShmSegmentInfo info{};
  XImage* image = XShmCreateImage(d, DefaultVisual(d, s), static_cast<unsigned>(DefaultDepth(d, s)), ZPixmap, nullptr,
                                  &info, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (!image) return false;
  bool ok = false;
  info.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height),
                      IPC_CREAT | 0600);
  if (info.shmid >= 0) {
    void* address = shmat(info.shmid, nullptr, 0);
    // Removed now: the segment goes away with the last detach, even if we stop half-way.
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (address != reinterpret_cast<void*>(-1)) {
      info.shmaddr = image->data = static_cast<char*>(address);
      info.readOnly = False;
      connection_->takeError();
      // A server on another machine cannot attach: that is BadAccess, and plain reads then.
      if (XShmAttach(d, &info) && !connection_->sync()) {
        ok = XShmGetImage(d, DefaultRootWindow(d), image, x, y, AllPlanes) && !connection_->sync();
        if (ok) copyImage(image, into, dx, dy);
        XShmDetach(d, &info);
        connection_->sync();
      } else {
        shm_ = false;
      }
      shmdt(address);
    }
  }
  image->data = nullptr;  // the segment is not XDestroyImage's to free
  XDestroyImage(image);
  return ok;
}

std::optional<platform::RgbaImage> X11Desktop::captureComposited(const X11ClientWindow& w) {
  std::lock_guard lock(mutex_);
  Display* d = connection_->get();
  if (connection_->dead()) return std::nullopt;
  if (!composite_) {
    int event = 0, error = 0, major = 0, minor = 2;
    composite_ = XCompositeQueryExtension(d, &event, &error) && XCompositeQueryVersion(d, &major, &minor) &&
                 (major > 0 || minor >= 2);
  }
  if (!*composite_) return std::nullopt;
  // The window manager's frame around the client: the child of the root that holds it.
  Window top = w.id;
  for (;;) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, top, &root, &parent, &children, &count)) {
      connection_->takeError();
      return std::nullopt;
    }
    if (children) XFree(children);
    if (parent == root || parent == 0) break;
    top = parent;
  }
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(d, top, &attributes)) {
    connection_->takeError();
    return std::nullopt;
  }
  int tx = 0, ty = 0;
  Window child = 0;
  XTranslateCoordinates(d, top, DefaultRootWindow(d), 0, 0, &tx, &ty, &child);
  // Only a redirected window has a pixmap of its own; anything else is BadMatch.
  connection_->takeError();
  const Pixmap pixmap = XCompositeNameWindowPixmap(d, top);
  if (connection_->sync()) return std::nullopt;
  const int ox = static_cast<int>(std::lround(w.frame.x)) - tx, oy = static_cast<int>(std::lround(w.frame.y)) - ty;
  const int cw = static_cast<int>(std::lround(w.frame.width)), ch = static_cast<int>(std::lround(w.frame.height));
  std::optional<platform::RgbaImage> out;
  const int x0 = std::max(ox, 0), y0 = std::max(oy, 0);
  const int x1 = std::min(ox + cw, attributes.width), y1 = std::min(oy + ch, attributes.height);
  if (cw > 0 && ch > 0 && x1 > x0 && y1 > y0) {
    XImage* image = XGetImage(d, pixmap, x0, y0, static_cast<unsigned>(x1 - x0), static_cast<unsigned>(y1 - y0),
                              AllPlanes, ZPixmap);
    if (image) {
      out = blackImage(cw, ch);
      copyImage(image, *out, x0 - ox, y0 - oy);
      XDestroyImage(image);
    }
  }
  XFreePixmap(d, pixmap);
  connection_->sync();
  return out;
}

std::optional<std::uint32_t> X11Desktop::windowNumberFor(std::int32_t pid, const std::string& title, double x, double y,
                                                         double width, double height) {
  std::optional<std::uint32_t> best;
  double bestScore = 0;
  for (const auto& w : clientWindows()) {
    if (w.pid && *w.pid != pid) continue;
    // A matching title outweighs any geometry; among equals the nearest frame wins.
    double score = 0;
    if (w.pid) score += 1e7;
    if (w.title && !title.empty() && *w.title == title) score += 1e6;
    score -= std::fabs(w.frame.x - x) + std::fabs(w.frame.y - y) + std::fabs(w.frame.width - width) +
             std::fabs(w.frame.height - height);
    if (!w.pid && score < 1e6 - 1e5) continue;  // an unowned window only by its title
    if (!best || score > bestScore) {
      best = w.id;
      bestScore = score;
    }
  }
  return best;
}

}  // namespace platformlinux
