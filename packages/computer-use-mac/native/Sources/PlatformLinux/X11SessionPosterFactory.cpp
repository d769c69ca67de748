#include "platformlinux/X11Desktop.hpp"

namespace platformlinux {

std::unique_ptr<platform::SessionEventPoster> makeX11SessionEventPoster(const std::optional<std::string>& displayName) {
  return std::make_unique<X11SessionEventPoster>(displayName);
}

}  // namespace platformlinux
