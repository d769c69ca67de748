#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "desktopshare/FrameSource.hpp"
#include "platform/ScreenCaptureStream.hpp"

namespace desktopshare {

// Shares a real display: the platform's capture stream delivers complete BGRA images with the
// damage the capture system saw; each becomes a Frame whose dirty rectangles are that damage
// (full damage when it is missing, malformed, too fragmented or too large). Unchanged images
// are dropped; images of another size than the one announced are reported through onResize
// and withheld until the size matches again.
class ScreenCaptureKitFrameSource final : public FrameSource {
 public:
  static constexpr int kQueueDepth = 3;
  static constexpr std::size_t kMaxDirtyRects = 32;
  static constexpr int kMaxDamagePercent = 60;
  static constexpr double kMaxRectCoordinate = 1048576;

  // Asks the service for its displays (waiting by pumping the caller's run loop for at most
  // `timeout` seconds) and picks the main display, else the first. Throws RfbProtocolError
  // "shareable_content_<description>" or "no_shareable_display".
  static std::unique_ptr<ScreenCaptureKitFrameSource> mainDisplay(platform::ScreenCaptureService& service,
                                                                  int framesPerSecond, double timeout);

  // The service must outlive the source. The display's width and height are at least 1
  // (checked); framesPerSecond is raised to 1 if smaller.
  ScreenCaptureKitFrameSource(platform::ScreenCaptureService& service, platform::CaptureDisplay display,
                              int framesPerSecond,
                              std::chrono::milliseconds captureStartTimeout = std::chrono::seconds(10));
  ~ScreenCaptureKitFrameSource() override;
  ScreenCaptureKitFrameSource(const ScreenCaptureKitFrameSource&) = delete;
  ScreenCaptureKitFrameSource& operator=(const ScreenCaptureKitFrameSource&) = delete;

  FrameSize size() const override { return size_; }
  const platform::CaptureDisplay& display() const { return display_; }
  int framesPerSecond() const { return framesPerSecond_; }

  // Throws FrameSourceError(alreadyStarted); RfbProtocolError "capture_start_timeout" or
  // "capture_start_<description>"; the platform's error when the output cannot be added.
  void start(FrameCallback onFrame, ResizeCallback onResize) override;
  void stop() override;

  // The stream's screen output: called one sample at a time on the stream's thread.
  void handleSample(const platform::CaptureSample& sample);

  // None means the damage is unknown (treated as full); an empty list means nothing changed.
  static std::optional<std::vector<FrameRect>> parseDirtyRects(
      const std::optional<platform::DirtyRectsAttachment>& value);
  static std::vector<FrameRect> normalizedDamage(const std::optional<std::vector<FrameRect>>& rects, FrameSize size);

 private:
  std::optional<FramePixels> copyPixels(platform::CapturePixelBuffer& buffer) const;
  std::unique_ptr<platform::CaptureStream> reset();

  platform::ScreenCaptureService& service_;
  const platform::CaptureDisplay display_;
  const FrameSize size_;
  const int framesPerSecond_;
  const std::chrono::milliseconds captureStartTimeout_;

  mutable std::mutex lock_;
  std::unique_ptr<platform::CaptureStream> stream_;  // guarded by lock_; present while started
  FrameCallback onFrame_;                            // guarded by lock_
  ResizeCallback onResize_;                          // guarded by lock_
  std::uint64_t nextSequence_ = 0;                   // guarded by lock_
  std::optional<FrameSize> reportedResize_;          // guarded by lock_
};

}  // namespace desktopshare
