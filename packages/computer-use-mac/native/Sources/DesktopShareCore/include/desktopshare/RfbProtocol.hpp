#pragma once
#include <stdexcept>
#include <string>

namespace desktopshare {

// The desktop-share module's error: one reason string, and what() is exactly that reason.
class RfbProtocolError : public std::runtime_error {
 public:
  explicit RfbProtocolError(std::string reason) : std::runtime_error(reason), reason_(std::move(reason)) {}
  const std::string& reason() const noexcept { return reason_; }
  bool operator==(const RfbProtocolError& o) const noexcept { return reason_ == o.reason_; }

 private:
  std::string reason_;
};

}  // namespace desktopshare
