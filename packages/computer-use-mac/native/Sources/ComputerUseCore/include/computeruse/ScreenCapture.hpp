#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "computeruse/Models.hpp"
#include "platform/Image.hpp"
#include "platform/Screenshots.hpp"
#include "platform/WindowList.hpp"

namespace computeruse {

// The window screenshot returned with the accessibility tree, as PNG, never enlarged and with its
// longer side at most maxDimension pixels. Falls back to the first display when the process has
// no suitable on-screen window. Never fails: every problem gives an absent result.
class ScreenCapture {
 public:
  struct Result {
    std::vector<std::uint8_t> png;
    double scale = 1.0;
    bool isWindowCapture = false;
    Rect sourceFrame;
    std::int64_t screenshotWidth = 1;
    std::int64_t screenshotHeight = 1;
  };

  static constexpr double kContentTimeoutSeconds = 5.0;
  static constexpr double kImageTimeoutSeconds = 8.0;

  ScreenCapture(platform::WindowList& windows, platform::Screenshots& screenshots);

  std::optional<Result> captureWindow(std::int32_t pid, std::optional<std::uint32_t> windowID,
                                      std::int64_t maxDimension);
  std::optional<std::uint32_t> resolveCaptureWindowID(std::int32_t pid, std::optional<std::uint32_t> preferredWindowID);

  std::optional<platform::ShareableContent> shareableContent();

  static const platform::ShareableWindow* resolveCaptureWindow(std::int32_t pid,
                                                               std::optional<std::uint32_t> preferredWindowID,
                                                               const platform::ShareableContent& content);
  static std::optional<std::uint32_t> resolveCaptureWindowID(std::int32_t pid,
                                                             std::optional<std::uint32_t> preferredWindowID,
                                                             const platform::ShareableContent& content);
  // Scale min(maxDimension / longer side, 1), or 1 for an empty area.
  static double scaleFor(double width, double height, std::int64_t maxDimension);
  // Points to pixels: rounded half away from zero, at least 1.
  static std::int64_t pixelExtent(double points, double scale);

  static std::optional<std::vector<std::uint8_t>> pngData(const platform::RgbaImage& image);

 private:
  platform::WindowList& windows_;
  platform::Screenshots& screenshots_;
};

}  // namespace computeruse
