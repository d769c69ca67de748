#include "desktopshare/RfbCommandOptions.hpp"

#include <limits>

#include "desktopshare/RfbProtocol.hpp"

namespace desktopshare {

std::optional<RfbFrameSourceKind> rfbFrameSourceKind(std::string_view v) {
  if (v == "sck") return RfbFrameSourceKind::sck;
  if (v == "synthetic") return RfbFrameSourceKind::synthetic;
  return std::nullopt;
}

std::string_view rawValue(RfbFrameSourceKind kind) { return kind == RfbFrameSourceKind::sck ? "sck" : "synthetic"; }

std::optional<RfbInputKind> rfbInputKind(std::string_view v) {
  if (v == "session") return RfbInputKind::session;
  if (v == "record") return RfbInputKind::record;
  if (v == "none") return RfbInputKind::none;
  return std::nullopt;
}

std::string_view rawValue(RfbInputKind kind) {
  switch (kind) {
    case RfbInputKind::session:
      return "session";
    case RfbInputKind::record:
      return "record";
    case RfbInputKind::none:
      break;
  }
  return "none";
}

namespace {

// Digits with one optional leading sign, no spaces, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate negatively so that the most negative value parses too.
  std::int64_t value = 0;
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (min + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == min) return std::nullopt;
    value = -value;
  }
  return value;
}

FrameSize parseGeometry(const std::string& text) {
  std::string lower = text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::vector<std::string_view> pieces;
  std::string_view rest = lower;
  for (;;) {
    const auto at = rest.find('x');
    pieces.push_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + 1);
  }
  if (pieces.size() != 2) throw RfbProtocolError("geometry_must_be_WxH");
  std::int64_t values[2];
  for (int i = 0; i < 2; ++i) {
    const auto v = parseInteger(pieces[static_cast<std::size_t>(i)]);
    if (!v || *v < 1 || *v > 65535) throw RfbProtocolError("geometry_must_be_WxH");
    values[i] = *v;
  }
  return FrameSize(values[0], values[1]);
}

}  // namespace

RfbCommandOptions RfbCommandOptions::parse(const std::vector<std::string>& arguments) {
  RfbCommandOptions options;
  std::optional<std::string> socketPath;
  bool geometryGiven = false;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const std::string& flag = arguments[i];
    if (i + 1 >= arguments.size()) throw RfbProtocolError(flag + "_requires_a_value");
    const std::string& value = arguments[i + 1];
    if (flag == "--socket") {
      socketPath = value;
    } else if (flag == "--frame-source") {
      const auto kind = rfbFrameSourceKind(value);
      if (!kind) throw RfbProtocolError("unsupported_frame_source_" + value);
      options.frameSource = *kind;
    } else if (flag == "--geometry") {
      options.geometry = parseGeometry(value);
      geometryGiven = true;
    } else if (flag == "--input") {
      const auto kind = rfbInputKind(value);
      if (!kind) throw RfbProtocolError("unsupported_input_" + value);
      options.input = *kind;
    } else if (flag == "--input-path") {
      options.inputPath = value;
    } else if (flag == "--max-clients") {
      const auto n = parseInteger(value);
      if (!n || *n <= 0) throw RfbProtocolError("max_clients_must_be_positive");
      options.maxClients = *n;
    } else if (flag == "--name") {
      options.name = value;
    } else if (flag == "--allowed-peer-pid") {
      const auto pid = parseInteger(value);
      if (!pid || *pid <= 0 || *pid > std::numeric_limits<std::int32_t>::max())
        throw RfbProtocolError("allowed_peer_pid_must_be_positive");
      options.allowedPeerPid = static_cast<std::int32_t>(*pid);
    } else {
      throw RfbProtocolError("unknown_rfb_flag_" + flag);
    }
  }
  if (!socketPath || socketPath->empty()) throw RfbProtocolError("socket_path_required");
  options.socketPath = *socketPath;
  if (geometryGiven && options.frameSource == RfbFrameSourceKind::sck)
    throw RfbProtocolError("geometry_requires_synthetic_frame_source");
  if (options.input == RfbInputKind::record && (!options.inputPath || options.inputPath->empty()))
    throw RfbProtocolError("input_path_required");
  if (options.input != RfbInputKind::record && options.inputPath)
    throw RfbProtocolError("input_path_requires_record_input");
  if (options.name.empty()) throw RfbProtocolError("desktop_name_required");
  return options;
}

}  // namespace desktopshare
