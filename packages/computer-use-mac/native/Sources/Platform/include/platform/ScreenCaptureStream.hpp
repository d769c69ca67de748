#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A display the capture service can stream, with its size in pixels.
struct CaptureDisplay {
  std::uint32_t displayId = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const CaptureDisplay&) const = default;
};

// A rectangle exactly as the capture system reports it: floating point, possibly null,
// infinite or not finite. Consumers validate it.
struct CaptureRect {
  double x = 0, y = 0, width = 0, height = 0;
};

// The shapes one element of a sample's dirty-rectangle list can take.
struct DirtyRectDictionary {
  std::optional<CaptureRect> rect;  // none when the dictionary does not read as a rectangle
};
struct DirtyRectValue {
  CaptureRect rect;  // a boxed rectangle
};
struct OtherAttachmentValue {};
using DirtyRectElement = std::variant<DirtyRectDictionary, DirtyRectValue, OtherAttachmentValue>;

// The dirty-rectangles entry of a frame's info: an array of elements, or a value of another type.
struct DirtyRectsAttachment {
  bool isArray = true;
  std::vector<DirtyRectElement> elements;
};

// One frame-info dictionary attached to a sample.
struct CaptureFrameInfo {
  std::optional<std::int64_t> status;               // none when missing or not an integer; 0 = complete
  std::optional<DirtyRectsAttachment> dirtyRects;    // none when the entry is absent
};

inline constexpr std::int64_t kCaptureFrameStatusComplete = 0;
inline constexpr std::int64_t kCaptureFrameStatusIdle = 1;
inline constexpr std::uint32_t kPixelFormat32BGRA = 0x42475241;  // 'BGRA'

// A captured image. The base address is valid only between a successful lockReadOnly() and
// unlock().
class CapturePixelBuffer {
 public:
  virtual ~CapturePixelBuffer() = default;
  virtual std::int64_t width() const = 0;
  virtual std::int64_t height() const = 0;
  virtual std::uint32_t pixelFormat() const = 0;
  virtual bool lockReadOnly() = 0;
  virtual const std::uint8_t* baseAddress() const = 0;
  virtual std::int64_t bytesPerRow() const = 0;
  virtual void unlock() = 0;
};

enum class CaptureOutputType { screen, audio, microphone };

// One sample delivered by a stream.
struct CaptureSample {
  CaptureOutputType outputType = CaptureOutputType::screen;
  bool isValid = true;
  // None when the sample carries no attachments array or it is not an array of dictionaries.
  std::optional<std::vector<CaptureFrameInfo>> attachments;
  std::shared_ptr<CapturePixelBuffer> imageBuffer;  // null when the sample has no image
};

struct StreamConfiguration {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t pixelFormat = kPixelFormat32BGRA;
  bool showsCursor = true;
  // Minimum frame interval as value / timescale seconds.
  std::int64_t minimumFrameIntervalValue = 1;
  std::int32_t minimumFrameIntervalTimescale = 60;
  int queueDepth = 3;
  bool operator==(const StreamConfiguration&) const = default;
};

using CaptureCompletion = std::function<void(std::optional<std::string> error)>;

// One display stream. Samples reach the screen output one at a time on a thread of the
// stream's; completions may run on any thread.
class CaptureStream {
 public:
  using SampleHandler = std::function<void(const CaptureSample&)>;
  virtual ~CaptureStream() = default;
  // Throws PlatformError when the output cannot be added.
  virtual void addScreenOutput(SampleHandler handler) = 0;
  // The completion receives the platform's error description, or none once capture runs.
  virtual void startCapture(CaptureCompletion completion) = 0;
  virtual void stopCapture(CaptureCompletion completion) = 0;
};

class ScreenCaptureService {
 public:
  using ContentHandler =
      std::function<void(std::optional<std::vector<CaptureDisplay>> displays, std::optional<std::string> error)>;
  virtual ~ScreenCaptureService() = default;
  // The displays that can be captured; the handler may run on any thread, before or after
  // this call returns.
  virtual void shareableContent(ContentHandler completion) = 0;
  virtual std::uint32_t mainDisplayId() = 0;
  virtual std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                                    const StreamConfiguration& configuration) = 0;
};

}  // namespace platform
