#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktopshare/Frame.hpp"

namespace desktopshare {

enum class RfbFrameSourceKind { sck, synthetic };
enum class RfbInputKind { session, record, none };

// Matched exactly, with case.
std::optional<RfbFrameSourceKind> rfbFrameSourceKind(std::string_view rawValue);
std::string_view rawValue(RfbFrameSourceKind kind);
std::optional<RfbInputKind> rfbInputKind(std::string_view rawValue);
std::string_view rawValue(RfbInputKind kind);

// Settings of a desktop-share server from its command-line flags; parsed and cross-checked,
// nothing created.
struct RfbCommandOptions {
  std::string socketPath;
  RfbFrameSourceKind frameSource = RfbFrameSourceKind::sck;
  FrameSize geometry{1280, 800};
  RfbInputKind input = RfbInputKind::session;
  std::optional<std::string> inputPath;
  std::int64_t maxClients = 4;
  std::string name = "Zorvan Agent Desktop";
  std::optional<std::int32_t> allowedPeerPid;

  // Flags and values only (no program name). Every flag takes the next word verbatim as its
  // value. Throws RfbProtocolError with the first problem found.
  static RfbCommandOptions parse(const std::vector<std::string>& arguments);

  bool operator==(const RfbCommandOptions&) const = default;
};

}  // namespace desktopshare
