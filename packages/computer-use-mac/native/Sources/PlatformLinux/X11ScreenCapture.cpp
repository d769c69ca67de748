#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "X11Connection.hpp"
#include "platformlinux/X11Desktop.hpp"

namespace platformlinux {

namespace {

// A grabbed image, readable only while its sample is being handled.
class GrabBuffer final : public platform::CapturePixelBuffer {
 public:
  GrabBuffer(const std::uint8_t* data, std::int64_t width, std::int64_t height, std::int64_t bytesPerRow,
             std::uint32_t format)
      : data_(data), width_(width), height_(height), bytesPerRow_(bytesPerRow), format_(format) {}
  std::int64_t width() const override { return width_; }
  std::int64_t height() const override { return height_; }
  std::uint32_t pixelFormat() const override { return format_; }
  bool lockReadOnly() override { return valid_.load() && data_ != nullptr; }
  const std::uint8_t* baseAddress() const override { return valid_.load() ? data_ : nullptr; }
  std::int64_t bytesPerRow() const override { return bytesPerRow_; }
  void unlock() override {}
  void expire() { valid_ = false; }

 private:
  const std::uint8_t* data_;
  std::int64_t width_, height_, bytesPerRow_;
  std::uint32_t format_;
  std::atomic<bool> valid_{true};
};

// The root's image, through shared memory where the server offers it.
class RootGrabber {
 public:
  RootGrabber(x11::Connection& c, Window root, int screen, int width, int height)
      : c_(c), root_(root), width_(width), height_(height) {
    Display* d = c.get();
    if (XShmQueryExtension(d)) {
      image_ = XShmCreateImage(d, DefaultVisual(d, screen), static_cast<unsigned>(DefaultDepth(d, screen)), ZPixmap,
                               nullptr, &shm_, static_cast<unsigned>(width), static_cast<unsigned>(height));
      if (image_) {
        shm_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height, IPC_CREAT | 0600);
        void* address = shm_.shmid >= 0 ? shmat(shm_.shmid, nullptr, 0) : reinterpret_cast<void*>(-1);
        if (address != reinterpret_cast<void*>(-1)) {
          shm_.shmaddr = image_->data = static_cast<char*>(address);
          shm_.readOnly = False;
          attached_ = XShmAttach(d, &shm_) && !c.sync();
        }
        // Removed now, freed when the last attachment goes.
        if (shm_.shmid >= 0) shmctl(shm_.shmid, IPC_RMID, nullptr);
        if (!attached_) release();
      }
    }
  }
  ~RootGrabber() { release(); }

  // The image kept between grabs (shared memory only), when it holds the whole root.
  XImage* persistentImage() const { return attached_ && current_ ? image_ : nullptr; }

  // The whole root image, or null when the grab failed. With shared memory the image persists
  // between grabs, so only the rows [top, bottom) that hold damage are fetched again; the
  // first grab (and any after a failure) fetches everything.
  XImage* grab(int top = 0, int bottom = -1) {
    Display* d = c_.get();
    if (attached_) {
      if (!current_ || bottom < 0) top = 0, bottom = height_;
      top = std::clamp(top, 0, height_);
      bottom = std::clamp(bottom, top, height_);
      if (top == bottom) return image_;
      // A band of full rows shares the image's pitch, so it lands in place in the segment.
      XImage band = *image_;
      band.height = bottom - top;
      band.data = image_->data + static_cast<std::ptrdiff_t>(top) * image_->bytes_per_line;
      // A round trip of its own: an error has arrived by the time it returns.
      current_ = XShmGetImage(d, root_, &band, 0, top, AllPlanes) && !c_.takeError() && !c_.dead();
      return current_ ? image_ : nullptr;
    }
    if (plain_) XDestroyImage(plain_);
    plain_ = XGetImage(d, root_, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_), AllPlanes, ZPixmap);
    if ((c_.takeError() || c_.dead()) && plain_) {
      XDestroyImage(plain_);
      plain_ = nullptr;
    }
    return plain_;
  }

 private:
  void release() {
    if (attached_ && !c_.dead()) {
      XShmDetach(c_.get(), &shm_);
      c_.sync();
    }
    attached_ = false;
    if (image_) XDestroyImage(image_);  // a shared-memory image frees only its header
    image_ = nullptr;
    if (shm_.shmaddr) shmdt(shm_.shmaddr);
    shm_.shmaddr = nullptr;
    if (plain_) XDestroyImage(plain_);
    plain_ = nullptr;
  }

  x11::Connection& c_;
  Window root_;
  int width_, height_;
  XShmSegmentInfo shm_{};
  XImage* image_ = nullptr;
  bool attached_ = false;
  bool current_ = false;  // image_ holds the whole root as of the last grab
  XImage* plain_ = nullptr;
};

std::uint32_t formatOf(const XImage& image) {
  const bool bgra = image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == 0xFF0000 &&
                    image.green_mask == 0xFF00 && image.blue_mask == 0xFF;
  return bgra ? platform::kPixelFormat32BGRA : 0;
}

platform::CaptureSample sampleOf(std::shared_ptr<platform::CapturePixelBuffer> buffer,
                                 std::optional<platform::DirtyRectsAttachment> dirty) {
  platform::CaptureSample sample;
  platform::CaptureFrameInfo info;
  info.status = platform::kCaptureFrameStatusComplete;
  info.dirtyRects = std::move(dirty);
  sample.attachments = std::vector<platform::CaptureFrameInfo>{std::move(info)};
  sample.imageBuffer = std::move(buffer);
  return sample;
}

class X11CaptureStream final : public platform::CaptureStream {
 public:
  X11CaptureStream(std::optional<std::string> displayName, platform::CaptureDisplay display,
                   platform::StreamConfiguration configuration)
      : state_(std::make_shared<State>()) {
    state_->displayName = std::move(displayName);
    state_->display = display;
    state_->configuration = configuration;
  }

  ~X11CaptureStream() override {
    {
      std::lock_guard<std::mutex> g(state_->mutex);
      state_->stop = true;
      state_->handler = nullptr;
    }
    state_->wake.notify_all();
    if (thread_.joinable()) {
      // Destroyed from its own sample handler: the thread ends by itself, holding the state.
      if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
      else thread_.join();
    }
  }

  void addScreenOutput(SampleHandler handler) override {
    std::lock_guard<std::mutex> g(state_->mutex);
    state_->handler = std::move(handler);
  }

  void startCapture(platform::CaptureCompletion completion) override {
    if (thread_.joinable()) return completion(std::string("capture already started"));
    auto failure = state_->open();
    if (failure) return completion(failure);
    thread_ = std::thread([state = state_] { state->run(); });
    completion(std::nullopt);
  }

  void stopCapture(platform::CaptureCompletion completion) override {
    {
      std::lock_guard<std::mutex> g(state_->mutex);
      state_->stop = true;
    }
    state_->wake.notify_all();
    completion(std::nullopt);
  }

 private:
  struct State {
    std::optional<std::string> displayName;
    platform::CaptureDisplay display;
    platform::StreamConfiguration configuration;

    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;        // guarded by mutex
    SampleHandler handler;    // guarded by mutex

    // Used by the capture thread only (and by open() before it starts).
    std::unique_ptr<x11::Connection> connection;
    Window root = 0;
    Damage damage = 0;
    XserverRegion region = 0;
    int damageEvent = 0, randrEvent = -1, fixesEvent = 0;
    int width = 0, height = 0;

    // The pointer is drawn into the images: its shape (refetched when it changes) and where
    // it was drawn, with the pixels it covers there so they can be put back.
    struct PointerShape {
      std::vector<std::uint32_t> argb;  // premultiplied
      int width = 0, height = 0, xhot = 0, yhot = 0;
    } shape;
    bool cursorChanged = true;
    struct Overlay {
      int x = 0, y = 0, width = 0, height = 0;
      std::vector<std::uint32_t> under;
      bool drawn = false;
    } overlay;

    std::optional<std::string> open() {
      connection = x11::Connection::open(displayName);
      if (!connection) return x11::describe("cannot open display", displayName);
      Display* d = connection->get();
      const int screen = static_cast<int>(display.displayId);
      if (screen < 0 || screen >= ScreenCount(d)) return x11::describe("no such screen", displayName);
      root = RootWindow(d, screen);
      int errorBase = 0;
      if (!XDamageQueryExtension(d, &damageEvent, &errorBase)) return x11::describe("DAMAGE extension missing", displayName);
      if (!XFixesQueryExtension(d, &fixesEvent, &errorBase)) return x11::describe("XFIXES extension missing", displayName);
      int major = 2, minor = 0;
      XDamageQueryVersion(d, &major, &minor);
      XFixesQueryVersion(d, &major, &minor);
      if (XRRQueryExtension(d, &randrEvent, &errorBase)) XRRSelectInput(d, root, RRScreenChangeNotifyMask);
      else randrEvent = -1;
      XSelectInput(d, root, StructureNotifyMask);
      if (configuration.showsCursor) XFixesSelectCursorInput(d, root, XFixesDisplayCursorNotifyMask);
      XWindowAttributes attributes{};
      XGetWindowAttributes(d, root, &attributes);
      width = attributes.width;
      height = attributes.height;
      damage = XDamageCreate(d, root, XDamageReportNonEmpty);
      region = XFixesCreateRegion(d, nullptr, 0);
      if (auto error = connection->sync()) return x11::describe(*error, displayName);
      return std::nullopt;
    }

    void deliver(const platform::CaptureSample& sample) {
      SampleHandler h;
      {
        std::lock_guard<std::mutex> g(mutex);
        if (stop) return;
        h = handler;
      }
      if (h) h(sample);
    }

    // Reads pending events; true when damage was reported.
    bool drain() {
      Display* d = connection->get();
      bool damaged = false;
      while (!connection->dead() && XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == damageEvent + XDamageNotify) {
          damaged = true;
        } else if (randrEvent >= 0 && event.type == randrEvent + RRScreenChangeNotify) {
          XRRUpdateConfiguration(&event);
          const auto* change = reinterpret_cast<XRRScreenChangeNotifyEvent*>(&event);
          width = change->width, height = change->height;
        } else if (event.type == ConfigureNotify && event.xconfigure.window == root) {
          width = event.xconfigure.width, height = event.xconfigure.height;
        } else if (event.type == fixesEvent + XFixesCursorNotify) {
          cursorChanged = true;
        }
      }
      return damaged;
    }

    // Where the pointer's image goes now: the clipped rectangle and the image's unclipped
    // top-left corner. The shape is refetched when it changed; none when nothing is drawn.
    struct CursorPlace {
      XRectangle rect;
      int originX, originY;
    };
    std::optional<CursorPlace> cursorPlace() {
      if (!configuration.showsCursor) return std::nullopt;
      Display* d = connection->get();
      if (cursorChanged) {
        cursorChanged = false;
        shape = {};
        if (XFixesCursorImage* image = XFixesGetCursorImage(d)) {
          shape.width = image->width, shape.height = image->height;
          shape.xhot = image->xhot, shape.yhot = image->yhot;
          shape.argb.resize(static_cast<std::size_t>(shape.width) * shape.height);
          for (std::size_t i = 0; i < shape.argb.size(); ++i)
            shape.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);  // 32 bits in a long
          XFree(image);
        }
      }
      Window r = 0, child = 0;
      int x = 0, y = 0, wx = 0, wy = 0;
      unsigned mask = 0;
      if (shape.argb.empty() || !XQueryPointer(d, root, &r, &child, &x, &y, &wx, &wy, &mask)) return std::nullopt;
      const int originX = x - shape.xhot, originY = y - shape.yhot;
      const int left = std::max(originX, 0), top = std::max(originY, 0);
      const int right = std::min(originX + shape.width, width), bottom = std::min(originY + shape.height, height);
      if (right <= left || bottom <= top) return std::nullopt;
      return CursorPlace{{static_cast<short>(left), static_cast<short>(top), static_cast<unsigned short>(right - left),
                          static_cast<unsigned short>(bottom - top)},
                         originX, originY};
    }

    static std::uint32_t* pixelAt(XImage& image, int x, int y) {
      return reinterpret_cast<std::uint32_t*>(image.data + static_cast<std::ptrdiff_t>(y) * image.bytes_per_line) + x;
    }

    void restoreUnderCursor(XImage& image) {
      if (!overlay.drawn) return;
      std::size_t i = 0;
      for (int y = overlay.y; y < overlay.y + overlay.height; ++y)
        for (int x = overlay.x; x < overlay.x + overlay.width; ++x) *pixelAt(image, x, y) = overlay.under[i++];
      overlay.drawn = false;
    }

    void drawCursor(XImage& image, const CursorPlace& at) {
      const XRectangle& place = at.rect;
      overlay = {place.x, place.y, place.width, place.height, {}, true};
      overlay.under.reserve(static_cast<std::size_t>(place.width) * place.height);
      for (int y = place.y; y < place.y + place.height; ++y)
        for (int x = place.x; x < place.x + place.width; ++x) {
          std::uint32_t* p = pixelAt(image, x, y);
          overlay.under.push_back(*p);
          const std::uint32_t c =
              shape.argb[static_cast<std::size_t>(y - at.originY) * shape.width + static_cast<std::size_t>(x - at.originX)];
          const std::uint32_t alpha = c >> 24;
          if (alpha == 0) continue;
          std::uint32_t out = 0;
          for (int shift = 0; shift < 24; shift += 8) {
            const std::uint32_t src = (c >> shift) & 0xFF, dst = (*p >> shift) & 0xFF;
            out |= std::min<std::uint32_t>(src + dst * (255 - alpha) / 255, 255) << shift;
          }
          *p = out | (*p & 0xFF000000);
        }
    }

    void run() {
      using Clock = std::chrono::steady_clock;
      const auto period = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(configuration.minimumFrameIntervalValue) /
                                        std::max(configuration.minimumFrameIntervalTimescale, 1)));
      const int wantWidth = static_cast<int>(configuration.width), wantHeight = static_cast<int>(configuration.height);
      std::unique_ptr<RootGrabber> grabber;
      bool full = true;  // the next delivered image reports unknown (full) damage
      std::pair<int, int> reportedSize{wantWidth, wantHeight};
      auto next = Clock::now();
      for (;;) {
        {
          std::unique_lock<std::mutex> g(mutex);
          if (wake.wait_until(g, next, [&] { return stop; })) break;
        }
        next += period;
        if (next < Clock::now()) next = Clock::now() + period;  // fell behind: no burst
        const bool damaged = drain();
        if (connection->dead()) break;  // the server went away: the stream simply ends
        if (width != wantWidth || height != wantHeight) {
          grabber.reset();
          full = true;
          if (reportedSize != std::make_pair(width, height)) {
            reportedSize = {width, height};
            auto buffer = std::make_shared<GrabBuffer>(nullptr, std::max(width, 1), std::max(height, 1), 0,
                                                       platform::kPixelFormat32BGRA);
            deliver(sampleOf(buffer, std::nullopt));
          }
          continue;
        }
        reportedSize = {width, height};
        const bool shapeChanged = cursorChanged;
        const std::optional<CursorPlace> at = cursorPlace();
        const XRectangle* place = at ? &at->rect : nullptr;
        const bool cursorMoved =
            shapeChanged ||
            (place ? (!overlay.drawn || place->x != overlay.x || place->y != overlay.y ||
                      place->width != overlay.width || place->height != overlay.height)
                   : overlay.drawn);
        if (!damaged && !full && !cursorMoved) continue;  // an unchanged screen costs no grab
        Display* d = connection->get();
        // Take the damage before grabbing: what changes during the grab is reported next time.
        std::optional<platform::DirtyRectsAttachment> dirty;
        XDamageSubtract(d, damage, None, region);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(d, region, &count);
        int top = 0, bottom = -1;  // all rows
        if (!full && rects) {
          top = height, bottom = 0;
          for (int i = 0; i < count; ++i) {
            top = std::min(top, int{rects[i].y});
            bottom = std::max(bottom, rects[i].y + int{rects[i].height});
          }
        }
        if (!full && rects) {
          platform::DirtyRectsAttachment attachment;
          // The pointer's old and new places changed too.
          if (cursorMoved && overlay.drawn)
            attachment.elements.emplace_back(platform::DirtyRectValue{
                {double(overlay.x), double(overlay.y), double(overlay.width), double(overlay.height)}});
          if (cursorMoved && place)
            attachment.elements.emplace_back(platform::DirtyRectValue{
                {double(place->x), double(place->y), double(place->width), double(place->height)}});
          attachment.elements.reserve(static_cast<std::size_t>(count));
          for (int i = 0; i < count; ++i)
            attachment.elements.emplace_back(
                platform::DirtyRectValue{{double(rects[i].x), double(rects[i].y), double(rects[i].width),
                                          double(rects[i].height)}});
          dirty = std::move(attachment);
        }
        if (rects) XFree(rects);
        if (!grabber)
          grabber = std::make_unique<RootGrabber>(*connection, root, static_cast<int>(display.displayId), width, height);
        // The kept image gets its true pixels back where the pointer was drawn; a fresh image
        // has none drawn.
        if (XImage* kept = grabber->persistentImage()) restoreUnderCursor(*kept);
        overlay.drawn = false;
        XImage* image = grabber->grab(top, bottom);
        if (!image) {
          full = true;  // e.g. the root shrank between the event and the grab
          continue;
        }
        if (at && formatOf(*image) == platform::kPixelFormat32BGRA) drawCursor(*image, *at);
        auto buffer = std::make_shared<GrabBuffer>(reinterpret_cast<const std::uint8_t*>(image->data), image->width,
                                                   image->height, image->bytes_per_line, formatOf(*image));
        deliver(sampleOf(buffer, std::move(dirty)));
        buffer->expire();
        full = false;
      }
      grabber.reset();
      if (!connection->dead()) {
        XDamageDestroy(connection->get(), damage);
        XFixesDestroyRegion(connection->get(), region);
        connection->sync();
      }
      connection.reset();
    }
  };

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace

X11ScreenCaptureService::X11ScreenCaptureService(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

void X11ScreenCaptureService::shareableContent(ContentHandler completion) {
  auto c = x11::Connection::open(displayName_);
  if (!c) return completion(std::nullopt, x11::describe("cannot open display", displayName_));
  Display* d = c->get();
  const int screen = DefaultScreen(d);
  XWindowAttributes attributes{};
  XGetWindowAttributes(d, RootWindow(d, screen), &attributes);
  if (auto error = c->sync()) return completion(std::nullopt, *error);
  completion(std::vector<platform::CaptureDisplay>{
                 {static_cast<std::uint32_t>(screen), attributes.width, attributes.height}},
             std::nullopt);
}

std::uint32_t X11ScreenCaptureService::mainDisplayId() {
  auto c = x11::Connection::open(displayName_);
  return c ? static_cast<std::uint32_t>(DefaultScreen(c->get())) : 0;
}

std::unique_ptr<platform::CaptureStream> X11ScreenCaptureService::makeStream(
    const platform::CaptureDisplay& display, const platform::StreamConfiguration& configuration) {
  return std::make_unique<X11CaptureStream>(displayName_, display, configuration);
}

}  // namespace platformlinux
