#include "desktopshare/ScreenCaptureKitFrameSource.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>

#include "computeruse/RunLoopAwait.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "support/Check.hpp"

namespace desktopshare {

namespace {

struct Content {
  std::optional<std::vector<platform::CaptureDisplay>> displays;
  std::optional<std::string> error;
};

// The start completion may arrive after the waiter gave up, so it shares its state.
struct StartWait {
  std::mutex mutex;
  std::condition_variable done;
  bool answered = false;                // guarded by mutex
  std::optional<std::string> error;     // guarded by mutex
};

std::optional<FrameRect> integralRect(const platform::CaptureRect& r) {
  const double values[] = {r.x, r.y, r.width, r.height};
  for (double v : values)
    if (!std::isfinite(v)) return std::nullopt;  // the null rectangle has an infinite origin
  const double limit = ScreenCaptureKitFrameSource::kMaxRectCoordinate;
  // Also refuses the infinite rectangle, whose extent is huge.
  if (std::abs(r.x) > limit || std::abs(r.y) > limit || std::abs(r.width) > limit || std::abs(r.height) > limit)
    return std::nullopt;
  // Normalise negative extents, then expand outward to whole pixels.
  const double x0 = std::min(r.x, r.x + r.width), x1 = std::max(r.x, r.x + r.width);
  const double y0 = std::min(r.y, r.y + r.height), y1 = std::max(r.y, r.y + r.height);
  const auto left = static_cast<std::int64_t>(std::floor(x0)), top = static_cast<std::int64_t>(std::floor(y0));
  const auto right = static_cast<std::int64_t>(std::ceil(x1)), bottom = static_cast<std::int64_t>(std::ceil(y1));
  return FrameRect(left, top, right - left, bottom - top);
}

}  // namespace

std::unique_ptr<ScreenCaptureKitFrameSource> ScreenCaptureKitFrameSource::mainDisplay(
    platform::ScreenCaptureService& service, int framesPerSecond, double timeout) {
  auto box = std::make_shared<computeruse::AnswerBox<Content>>();
  service.shareableContent([box](std::optional<std::vector<platform::CaptureDisplay>> displays,
                                 std::optional<std::string> error) {
    box->deliver(Content{std::move(displays), std::move(error)});
  });
  computeruse::RunLoopAwait::pumpUntil(timeout, [&] { return box->isDone(); });
  std::optional<Content> content;
  if (box->isDone()) content = box->take();
  if (content && content->error) throw RfbProtocolError("shareable_content_" + *content->error);
  if (!content || !content->displays || content->displays->empty()) throw RfbProtocolError("no_shareable_display");
  const auto& displays = *content->displays;
  const std::uint32_t mainId = service.mainDisplayId();
  auto chosen = std::find_if(displays.begin(), displays.end(),
                             [&](const platform::CaptureDisplay& d) { return d.displayId == mainId; });
  if (chosen == displays.end()) chosen = displays.begin();
  return std::make_unique<ScreenCaptureKitFrameSource>(service, *chosen, framesPerSecond);
}

ScreenCaptureKitFrameSource::ScreenCaptureKitFrameSource(platform::ScreenCaptureService& service,
                                                         platform::CaptureDisplay display, int framesPerSecond,
                                                         std::chrono::milliseconds captureStartTimeout)
    : service_(service),
      display_(display),
      size_(display.width, display.height),
      framesPerSecond_(std::max(framesPerSecond, 1)),
      captureStartTimeout_(captureStartTimeout) {}

ScreenCaptureKitFrameSource::~ScreenCaptureKitFrameSource() { stop(); }

void ScreenCaptureKitFrameSource::start(FrameCallback onFrame, ResizeCallback onResize) {
  platform::CaptureStream* stream = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stream_) throw FrameSourceError(FrameSourceError::Kind::alreadyStarted);
    platform::StreamConfiguration configuration;
    configuration.width = size_.width();
    configuration.height = size_.height();
    configuration.pixelFormat = platform::kPixelFormat32BGRA;
    configuration.showsCursor = true;
    configuration.minimumFrameIntervalValue = 1;
    configuration.minimumFrameIntervalTimescale = framesPerSecond_;
    configuration.queueDepth = kQueueDepth;
    stream_ = service_.makeStream(display_, configuration);
    JEXO_CHECK(stream_ != nullptr, "the capture service made no stream");
    stream = stream_.get();
    onFrame_ = std::move(onFrame);
    onResize_ = std::move(onResize);
    nextSequence_ = 0;
    reportedResize_.reset();
  }
  // The stream stays owned by this source until reset() takes it, which only stop() or the
  // failure paths below do; start and stop are not meant to race each other.
  try {
    stream->addScreenOutput([this](const platform::CaptureSample& sample) { handleSample(sample); });
  } catch (...) {
    if (auto taken = reset()) taken->stopCapture([](std::optional<std::string>) {});
    throw;
  }
  auto wait = std::make_shared<StartWait>();
  stream->startCapture([wait](std::optional<std::string> error) {
    std::lock_guard<std::mutex> g(wait->mutex);
    wait->answered = true;
    wait->error = std::move(error);
    wait->done.notify_all();
  });
  std::optional<std::string> failure;
  {
    std::unique_lock<std::mutex> g(wait->mutex);
    if (!wait->done.wait_for(g, captureStartTimeout_, [&] { return wait->answered; }))
      failure = "capture_start_timeout";
    else if (wait->error)
      failure = "capture_start_" + *wait->error;
  }
  if (failure) {
    if (auto taken = reset()) taken->stopCapture([](std::optional<std::string>) {});
    throw RfbProtocolError(*failure);
  }
}

std::unique_ptr<platform::CaptureStream> ScreenCaptureKitFrameSource::reset() {
  std::lock_guard<std::mutex> guard(lock_);
  onFrame_ = nullptr;
  onResize_ = nullptr;
  return std::move(stream_);
}

void ScreenCaptureKitFrameSource::stop() {
  if (auto taken = reset()) taken->stopCapture([](std::optional<std::string>) {});
  // The stream goes here, after the lock: its own thread may be inside handleSample.
}

void ScreenCaptureKitFrameSource::handleSample(const platform::CaptureSample& sample) {
  if (sample.outputType != platform::CaptureOutputType::screen || !sample.isValid) return;
  if (!sample.attachments || sample.attachments->empty()) return;
  const platform::CaptureFrameInfo& info = sample.attachments->front();
  // Idle, blank and other statuses carry no new image.
  if (!info.status || *info.status != platform::kCaptureFrameStatusComplete) return;
  if (!sample.imageBuffer) return;
  platform::CapturePixelBuffer& buffer = *sample.imageBuffer;

  FrameCallback onFrame;
  ResizeCallback onResize;
  {
    std::lock_guard<std::mutex> guard(lock_);
    onFrame = onFrame_;
    onResize = onResize_;
  }
  if (!onFrame) return;

  const std::int64_t width = buffer.width(), height = buffer.height();
  JEXO_CHECK(width >= 1 && height >= 1, "capture buffer without pixels");
  if (width != size_.width() || height != size_.height()) {
    const FrameSize actual(width, height);
    bool report = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!reportedResize_ || *reportedResize_ != actual) {
        reportedResize_ = actual;
        report = true;
      }
    }
    if (report && onResize) onResize(actual);
    return;
  }
  if (buffer.pixelFormat() != platform::kPixelFormat32BGRA) return;

  std::vector<FrameRect> damage = normalizedDamage(parseDirtyRects(info.dirtyRects), size_);
  std::uint64_t sequence = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    sequence = nextSequence_;
    // An unchanged screen produces no frame and consumes no sequence number.
    if (damage.empty() && sequence != 0) return;
    nextSequence_ = sequence + 1;
  }
  auto pixels = copyPixels(buffer);
  if (!pixels) return;
  if (sequence == 0) damage = {size_.bounds()};
  onFrame(Frame(std::move(*pixels), size_, damage, sequence));
}

std::optional<std::vector<FrameRect>> ScreenCaptureKitFrameSource::parseDirtyRects(
    const std::optional<platform::DirtyRectsAttachment>& value) {
  if (!value || !value->isArray) return std::nullopt;
  std::vector<FrameRect> rects;
  rects.reserve(value->elements.size());
  for (const platform::DirtyRectElement& element : value->elements) {
    std::optional<platform::CaptureRect> rect;
    if (auto* d = std::get_if<platform::DirtyRectDictionary>(&element)) rect = d->rect;
    if (!rect)
      if (auto* v = std::get_if<platform::DirtyRectValue>(&element)) rect = v->rect;
    if (!rect) return std::nullopt;
    auto integral = integralRect(*rect);
    if (!integral) return std::nullopt;
    rects.push_back(*integral);
  }
  return rects;
}

std::vector<FrameRect> ScreenCaptureKitFrameSource::normalizedDamage(
    const std::optional<std::vector<FrameRect>>& rects, FrameSize size) {
  const FrameRect full = size.bounds();
  if (!rects || rects->size() > kMaxDirtyRects) return {full};
  std::vector<FrameRect> kept;
  std::int64_t area = 0;
  for (const FrameRect& r : *rects) {
    auto clipped = r.intersection(full);
    if (!clipped) continue;
    kept.push_back(*clipped);
    area += clipped->width() * clipped->height();  // overlaps count as often as they occur
  }
  if (100 * area > kMaxDamagePercent * size.width() * size.height()) return {full};
  return kept;
}

std::optional<FramePixels> ScreenCaptureKitFrameSource::copyPixels(platform::CapturePixelBuffer& buffer) const {
  if (!buffer.lockReadOnly()) return std::nullopt;
  std::optional<FramePixels> pixels;
  const std::uint8_t* base = buffer.baseAddress();
  const std::int64_t bytesPerRow = buffer.bytesPerRow();
  if (base != nullptr && bytesPerRow >= 4 * size_.width())
    pixels.emplace(base, static_cast<std::size_t>(bytesPerRow * size_.height()), bytesPerRow, size_);
  buffer.unlock();
  return pixels;
}

}  // namespace desktopshare
