#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ScreenCaptureStream.hpp"
#include "platform/SessionEventPoster.hpp"
#include "platform/SessionState.hpp"

namespace platformsim {

// Records every posted event, in order. Safe from any thread.
class RecordingSessionEventPoster final : public platform::SessionEventPoster {
 public:
  void post(const platform::SessionHidEvent& event) noexcept override;
  std::vector<platform::SessionHidEvent> events() const;
  // Returns the events recorded so far and forgets them.
  std::vector<platform::SessionHidEvent> take();

 private:
  mutable std::mutex mutex_;
  std::vector<platform::SessionHidEvent> events_;  // guarded by mutex_
};

// Answers with whatever record the test set.
class ScriptedSessionStateReader final : public platform::SessionStateReader {
 public:
  explicit ScriptedSessionStateReader(std::optional<platform::SessionRecord> record = std::nullopt)
      : record_(record) {}
  void set(std::optional<platform::SessionRecord> record);
  std::optional<platform::SessionRecord> currentSession() override;

 private:
  std::mutex mutex_;
  std::optional<platform::SessionRecord> record_;  // guarded by mutex_
};

// A pixel buffer held in memory; lockReadOnly can be made to fail.
class SimPixelBuffer final : public platform::CapturePixelBuffer {
 public:
  SimPixelBuffer(std::int64_t width, std::int64_t height, std::int64_t bytesPerRow, std::vector<std::uint8_t> bytes,
                 std::uint32_t pixelFormat = platform::kPixelFormat32BGRA);
  // Tightly packed rows, every pixel (blue, green, red, 255).
  static std::shared_ptr<SimPixelBuffer> filled(std::int64_t width, std::int64_t height, std::uint8_t blue,
                                                std::uint8_t green, std::uint8_t red);

  std::int64_t width() const override { return width_; }
  std::int64_t height() const override { return height_; }
  std::uint32_t pixelFormat() const override { return pixelFormat_; }
  bool lockReadOnly() override;
  const std::uint8_t* baseAddress() const override { return locked_ ? bytes_.data() : nullptr; }
  std::int64_t bytesPerRow() const override { return bytesPerRow_; }
  void unlock() override;

  bool failLock = false;
  int lockCount = 0;
  int unlockCount = 0;

 private:
  std::int64_t width_, height_, bytesPerRow_;
  std::vector<std::uint8_t> bytes_;
  std::uint32_t pixelFormat_;
  bool locked_ = false;
};

// A scripted capture service: the test decides the displays (or the error, or no answer at
// all), how a stream's start ends, and feeds samples to the running stream by hand. Samples
// are delivered on the caller's thread, one call at a time, as a real stream's queue would.
class ScriptedCaptureService final : public platform::ScreenCaptureService {
 public:
  enum class StartOutcome { succeed, fail, neverAnswer };

  // The content answer: displays, an error, or none (the answer never comes).
  std::optional<std::vector<platform::CaptureDisplay>> displays;
  std::optional<std::string> contentError;
  bool answerContent = true;
  // Answer the content query from another thread, after the call returned.
  bool answerContentLater = false;
  std::uint32_t mainDisplay = 1;

  StartOutcome startOutcome = StartOutcome::succeed;
  std::string startError = "The user declined TCCs for application, window, display capture";
  std::optional<std::string> addOutputError;

  ~ScriptedCaptureService() override;

  void shareableContent(ContentHandler completion) override;
  std::uint32_t mainDisplayId() override { return mainDisplay; }
  std::unique_ptr<platform::CaptureStream> makeStream(const platform::CaptureDisplay& display,
                                                      const platform::StreamConfiguration& configuration) override;

  // Hands the sample to the running stream's output; false when no stream is capturing.
  bool deliver(const platform::CaptureSample& sample);

  // A complete sample (status 0) with the given damage (none: no dirty-rects entry) and image.
  static platform::CaptureSample completeSample(std::shared_ptr<platform::CapturePixelBuffer> buffer,
                                                std::optional<std::vector<platform::CaptureRect>> dirty);

  std::vector<platform::StreamConfiguration> configurations() const;
  std::vector<platform::CaptureDisplay> streamedDisplays() const;
  int stopCount() const;
  bool capturing() const;

  struct StreamState;

 private:
  mutable std::mutex mutex_;
  std::vector<platform::StreamConfiguration> configurations_;  // guarded by mutex_
  std::vector<platform::CaptureDisplay> streamedDisplays_;      // guarded by mutex_
  std::shared_ptr<StreamState> current_;                        // guarded by mutex_
  int stopCount_ = 0;                                           // guarded by mutex_
  std::vector<std::thread> answerThreads_;                      // guarded by mutex_; joined at destruction
};

}  // namespace platformsim
