#pragma once
#include <optional>
#include <string>

namespace platform {

// How the process presents itself to the window system. The helper asks to be an accessory
// application: no Dock icon or menu bar, but allowed to own windows.
class ApplicationSetup {
 public:
  virtual ~ApplicationSetup() = default;
  // Returns what the platform answered; callers may ignore it.
  virtual bool setAccessoryActivationPolicy() = 0;
};

// The running program's bundle information dictionary.
class BundleInfo {
 public:
  virtual ~BundleInfo() = default;
  // The entry as a string, or nothing when it is missing or not a string.
  virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
};

}  // namespace platform
