#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Image.hpp"

namespace platform {

// What one screenshot shows: a single window on its own, or a whole display.
struct CaptureFilter {
  enum class Kind { window, display };
  Kind kind = Kind::window;
  std::uint32_t id = 0;  // window number or display id
};

struct CaptureConfiguration {
  std::int32_t width = 0;   // output pixels
  std::int32_t height = 0;  // output pixels
  bool showsCursor = true;
  bool ignoresShadows = false;
};

struct ScreenshotResult {
  std::optional<RgbaImage> image;
  std::optional<std::string> errorDescription;
};

// Screenshots of windows and displays, scaled to the configured size, and the screen-recording
// permission they need.
class Screenshots {
 public:
  virtual ~Screenshots() = default;
  // Whether capture is allowed; never prompts.
  virtual bool preflightAccess() = 0;
  // Asks the user for permission when not yet decided; answers the current state.
  virtual bool requestAccess() = 0;
  // The completion is called at most once, later (callers bound their wait).
  virtual void captureImage(const CaptureFilter& filter, const CaptureConfiguration& configuration,
                            std::function<void(ScreenshotResult)> completion) = 0;
};

}  // namespace platform
