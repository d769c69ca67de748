#include "platformsim/SimDesktopShare.hpp"

#include <utility>

#include "platform/PlatformError.hpp"

namespace platformsim {

void RecordingSessionEventPoster::post(const platform::SessionHidEvent& event) noexcept {
  std::lock_guard<std::mutex> g(mutex_);
  events_.push_back(event);
}

std::vector<platform::SessionHidEvent> RecordingSessionEventPoster::events() const {
  std::lock_guard<std::mutex> g(mutex_);
  return events_;
}

std::vector<platform::SessionHidEvent> RecordingSessionEventPoster::take() {
  std::lock_guard<std::mutex> g(mutex_);
  return std::exchange(events_, {});
}

void ScriptedSessionStateReader::set(std::optional<platform::SessionRecord> record) {
  std::lock_guard<std::mutex> g(mutex_);
  record_ = record;
}

std::optional<platform::SessionRecord> ScriptedSessionStateReader::currentSession() {
  std::lock_guard<std::mutex> g(mutex_);
  return record_;
}

SimPixelBuffer::SimPixelBuffer(std::int64_t width, std::int64_t height, std::int64_t bytesPerRow,
                               std::vector<std::uint8_t> bytes, std::uint32_t pixelFormat)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), bytes_(std::move(bytes)), pixelFormat_(pixelFormat) {}

std::shared_ptr<SimPixelBuffer> SimPixelBuffer::filled(std::int64_t width, std::int64_t height, std::uint8_t blue,
                                                       std::uint8_t green, std::uint8_t red) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width * height * 4));
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    bytes[i] = blue;
    bytes[i + 1] = green;
    bytes[i + 2] = red;
    bytes[i + 3] = 255;
  }
  return std::make_shared<SimPixelBuffer>(width, height, width * 4, std::move(bytes));
}

bool SimPixelBuffer::lockReadOnly() {
  ++lockCount;
  if (failLock) return false;
  locked_ = true;
  return true;
}

void SimPixelBuffer::unlock() {
  ++unlockCount;
  locked_ = false;
}

struct ScriptedCaptureService::StreamState {
  std::mutex mutex;
  platform::CaptureStream::SampleHandler handler;  // guarded by mutex
  bool capturing = false;                           // guarded by mutex
  // Serialises deliveries, like the stream's queue.
  std::mutex deliveryMutex;
};

namespace {

class ScriptedStream final : public platform::CaptureStream {
 public:
  ScriptedStream(ScriptedCaptureService& service, std::shared_ptr<ScriptedCaptureService::StreamState> state,
                 std::function<void()> onStop)
      : service_(service), state_(std::move(state)), onStop_(std::move(onStop)) {}
  ~ScriptedStream() override {
    std::lock_guard<std::mutex> g(state_->mutex);
    state_->handler = nullptr;
    state_->capturing = false;
  }

  void addScreenOutput(SampleHandler handler) override {
    if (service_.addOutputError) throw platform::PlatformError(*service_.addOutputError);
    std::lock_guard<std::mutex> g(state_->mutex);
    state_->handler = std::move(handler);
  }

  void startCapture(platform::CaptureCompletion completion) override {
    switch (service_.startOutcome) {
      case ScriptedCaptureService::StartOutcome::succeed: {
        {
          std::lock_guard<std::mutex> g(state_->mutex);
          state_->capturing = true;
        }
        completion(std::nullopt);
        break;
      }
      case ScriptedCaptureService::StartOutcome::fail: completion(service_.startError); break;
      case ScriptedCaptureService::StartOutcome::neverAnswer: break;
    }
  }

  void stopCapture(platform::CaptureCompletion completion) override {
    {
      std::lock_guard<std::mutex> g(state_->mutex);
      state_->capturing = false;
    }
    onStop_();
    completion(std::nullopt);
  }

 private:
  ScriptedCaptureService& service_;
  std::shared_ptr<ScriptedCaptureService::StreamState> state_;
  std::function<void()> onStop_;
};

}  // namespace

ScriptedCaptureService::~ScriptedCaptureService() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(mutex_);
    threads.swap(answerThreads_);
  }
  for (auto& t : threads) t.join();
}

void ScriptedCaptureService::shareableContent(ContentHandler completion) {
  if (!answerContent) return;
  if (answerContentLater) {
    std::lock_guard<std::mutex> g(mutex_);
    answerThreads_.emplace_back([completion, d = displays, e = contentError] { completion(d, e); });
    return;
  }
  completion(displays, contentError);
}

std::unique_ptr<platform::CaptureStream> ScriptedCaptureService::makeStream(
    const platform::CaptureDisplay& display, const platform::StreamConfiguration& configuration) {
  auto state = std::make_shared<StreamState>();
  {
    std::lock_guard<std::mutex> g(mutex_);
    configurations_.push_back(configuration);
    streamedDisplays_.push_back(display);
    current_ = state;
  }
  return std::make_unique<ScriptedStream>(*this, state, [this] {
    std::lock_guard<std::mutex> g(mutex_);
    ++stopCount_;
  });
}

bool ScriptedCaptureService::deliver(const platform::CaptureSample& sample) {
  std::shared_ptr<StreamState> state;
  {
    std::lock_guard<std::mutex> g(mutex_);
    state = current_;
  }
  if (!state) return false;
  std::lock_guard<std::mutex> serial(state->deliveryMutex);
  platform::CaptureStream::SampleHandler handler;
  {
    std::lock_guard<std::mutex> g(state->mutex);
    if (!state->capturing || !state->handler) return false;
    handler = state->handler;
  }
  handler(sample);
  return true;
}

platform::CaptureSample ScriptedCaptureService::completeSample(std::shared_ptr<platform::CapturePixelBuffer> buffer,
                                                               std::optional<std::vector<platform::CaptureRect>> dirty) {
  platform::CaptureSample sample;
  platform::CaptureFrameInfo info;
  info.status = platform::kCaptureFrameStatusComplete;
  if (dirty) {
    platform::DirtyRectsAttachment attachment;
    for (const auto& r : *dirty) attachment.elements.emplace_back(platform::DirtyRectValue{r});
    info.dirtyRects = std::move(attachment);
  }
  sample.attachments = std::vector<platform::CaptureFrameInfo>{info};
  sample.imageBuffer = std::move(buffer);
  return sample;
}

std::vector<platform::StreamConfiguration> ScriptedCaptureService::configurations() const {
  std::lock_guard<std::mutex> g(mutex_);
  return configurations_;
}

std::vector<platform::CaptureDisplay> ScriptedCaptureService::streamedDisplays() const {
  std::lock_guard<std::mutex> g(mutex_);
  return streamedDisplays_;
}

int ScriptedCaptureService::stopCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return stopCount_;
}

bool ScriptedCaptureService::capturing() const {
  std::shared_ptr<StreamState> state;
  {
    std::lock_guard<std::mutex> g(mutex_);
    state = current_;
  }
  if (!state) return false;
  std::lock_guard<std::mutex> g(state->mutex);
  return state->capturing;
}

}  // namespace platformsim
