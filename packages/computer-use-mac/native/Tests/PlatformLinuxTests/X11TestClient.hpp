#pragma once
// A plain Xlib client on the test's Xvfb: a window that records the input it receives, and a
// few drawing and reading helpers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace x11test {

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct InputRecord {
  int type;             // KeyPress, KeyRelease, ButtonPress, ButtonRelease, MotionNotify
  unsigned long keysym;  // keys: the symbol under the event's state
  std::string text;     // keys: the text XLookupString makes of it
  unsigned state;       // modifier and button state before the event
  unsigned button;      // buttons
  int x, y;             // window-relative position
};

class TestClient {
 public:
  explicit TestClient(const std::string& display) {
    display_ = XOpenDisplay(display.c_str());
    if (!display_) throw std::runtime_error("cannot open " + display);
  }
  ~TestClient() {
    if (display_) XCloseDisplay(display_);
  }
  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  // A mapped, focused window at (x, y) that reports keys, buttons and motion.
  Window openInputWindow(int x, int y, unsigned width, unsigned height) {
    XSetWindowAttributes a{};
    a.override_redirect = True;  // no window manager here; keep the requested place
    a.background_pixel = BlackPixel(display_, DefaultScreen(display_));
    a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   StructureNotifyMask;
    window_ = XCreateWindow(display_, root(), x, y, width, height, 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XMapRaised(display_, window_);
    XEvent e;
    do XWindowEvent(display_, window_, StructureNotifyMask, &e);
    while (e.type != MapNotify);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
    return window_;
  }

  // Input events that arrive until `quiet` passes without one (keyboard-map changes applied).
  std::vector<InputRecord> collect(std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) {
    std::vector<InputRecord> out;
    auto last = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - last < quiet) {
      if (XPending(display_) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      XEvent e;
      XNextEvent(display_, &e);
      last = std::chrono::steady_clock::now();
      switch (e.type) {
        case MappingNotify: XRefreshKeyboardMapping(&e.xmapping); break;
        case KeyPress:
        case KeyRelease: {
          char text[32] = {};
          KeySym keysym = NoSymbol;
          const int n = XLookupString(&e.xkey, text, sizeof text - 1, &keysym, nullptr);
          out.push_back({e.type, keysym, std::string(text, static_cast<std::size_t>(std::max(n, 0))), e.xkey.state, 0,
                         e.xkey.x, e.xkey.y});
          break;
        }
        case ButtonPress:
        case ButtonRelease:
          out.push_back({e.type, 0, "", e.xbutton.state, e.xbutton.button, e.xbutton.x, e.xbutton.y});
          break;
        case MotionNotify: out.push_back({e.type, 0, "", e.xmotion.state, 0, e.xmotion.x, e.xmotion.y}); break;
        default: break;
      }
    }
    return out;
  }

  void fill(Drawable d, int x, int y, unsigned w, unsigned h, unsigned long rgb) {
    GC gc = XCreateGC(display_, d, 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XFillRectangle(display_, d, gc, x, y, w, h);
    XFreeGC(display_, gc);
    XSync(display_, False);
  }

  // The root window's pixels as B, G, R, X rows.
  std::vector<std::uint8_t> rootPixels(int& width, int& height) {
    XWindowAttributes wa{};
    XGetWindowAttributes(display_, root(), &wa);
    width = wa.width, height = wa.height;
    XImage* image = XGetImage(display_, root(), 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        std::uint8_t* o = &out[(static_cast<std::size_t>(y) * width + x) * 4];
        o[0] = p & 0xFF, o[1] = (p >> 8) & 0xFF, o[2] = (p >> 16) & 0xFF, o[3] = 0;
      }
    XDestroyImage(image);
    return out;
  }

  // An invisible pointer over the root, so that captured images equal the root's pixels.
  void hideCursor() {
    const char none[1] = {0};
    Pixmap blank = XCreateBitmapFromData(display_, root(), none, 1, 1);
    XColor black{};
    Cursor cursor = XCreatePixmapCursor(display_, blank, blank, &black, &black, 0, 0);
    XDefineCursor(display_, root(), cursor);
    XFreeCursor(display_, cursor);
    XFreePixmap(display_, blank);
    XSync(display_, False);
  }

  void pointer(int& x, int& y) {
    Window r, c;
    int wx, wy;
    unsigned mask;
    XQueryPointer(display_, root(), &r, &c, &x, &y, &wx, &wy, &mask);
  }

 private:
  Display* display_ = nullptr;
  Window window_ = 0;
};

}  // namespace x11test
