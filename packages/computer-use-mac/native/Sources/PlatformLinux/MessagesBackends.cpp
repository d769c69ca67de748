#include "platformlinux/MessagesBackends.hpp"

namespace platformlinux {

namespace {
class InvisiblePanel final : public platform::OverlayPanel {
 public:
  void setFrame(const platform::OverlayRect&) override {}
  bool isVisible() const override { return false; }
  void orderFrontWithoutActivating() override {}
  void close() override {}
};
}  // namespace

std::unique_ptr<platform::OverlayPanel> LinuxOverlayWindows::makePanel(platform::OverlayContent) {
  return std::make_unique<InvisiblePanel>();
}

}  // namespace platformlinux
