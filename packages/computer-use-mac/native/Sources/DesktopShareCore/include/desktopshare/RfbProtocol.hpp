#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "desktopshare/Frame.hpp"

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

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// A client's (or the server's) pixel format. Only 32-bit true-colour formats are accepted
// from clients.
struct RfbPixelFormat {
  std::uint8_t bitsPerPixel = 32;
  std::uint8_t depth = 24;
  bool bigEndian = false;
  bool trueColor = true;
  std::uint16_t redMax = 255;
  std::uint16_t greenMax = 255;
  std::uint16_t blueMax = 255;
  std::uint8_t redShift = 16;
  std::uint8_t greenShift = 8;
  std::uint8_t blueShift = 0;

  // The server's own format: little-endian 0x00RRGGBB, i.e. wire bytes B, G, R, 0.
  static const RfbPixelFormat zorvan;

  // Validates a 16-byte PIXEL_FORMAT record from SetPixelFormat; throws RfbProtocolError.
  static RfbPixelFormat parse(ByteView bytes);
  std::array<std::uint8_t, 16> bytes() const;

  // The 32-bit pixel value: each channel scaled to its maximum (rounded) and shifted.
  std::uint32_t pixelValue(BGRAPixel pixel) const;
  std::array<std::uint8_t, 4> wireBytes(BGRAPixel pixel) const;
  // ZRLE's 3-byte CPIXEL: the wire bytes without the one byte that carries no colour;
  // none unless the format is 8 bits per channel on byte boundaries within depth 24.
  std::optional<std::array<std::uint8_t, 3>> compactWireBytes(BGRAPixel pixel) const;
  // Wire index of the byte a compact pixel drops, or none without a compact form.
  std::optional<int> compactDroppedByte() const;

  bool operator==(const RfbPixelFormat&) const = default;
};

// Converts rows of BGRA pixels into a client pixel format. Built once per format; the
// server's own format is a straight copy with alpha cleared.
class RfbPixelConverter {
 public:
  explicit RfbPixelConverter(const RfbPixelFormat& format);
  bool hasCompactForm() const { return dropped_.has_value(); }
  // 4 bytes per pixel.
  void convert(const std::uint8_t* bgra, std::size_t count, std::uint8_t* out) const;
  // 3 bytes per pixel; requires hasCompactForm() (checked).
  void convertCompact(const std::uint8_t* bgra, std::size_t count, std::uint8_t* out) const;

 private:
  std::uint32_t value(const std::uint8_t* bgra) const { return blue_[bgra[0]] | green_[bgra[1]] | red_[bgra[2]]; }

  bool native_ = false;  // wire bytes are the source bytes with alpha cleared
  bool bigEndian_;
  std::optional<int> dropped_;
  std::array<std::uint32_t, 256> red_{}, green_{}, blue_{};
};

enum class RfbEncoding : std::int32_t { raw = 0, tight = 7, zrle = 16 };
// None for any number the server cannot emit.
std::optional<RfbEncoding> rfbEncoding(std::int32_t rawValue);
inline std::int32_t rawValue(RfbEncoding e) { return static_cast<std::int32_t>(e); }

// What the client's last SetEncodings allows (Raw is always allowed).
struct ClientEncodings {
  bool supportsZrle = false;
  bool supportsTight = false;
  std::optional<int> qualityLevel;      // 0..9, from pseudo-encodings -32..-23
  std::optional<int> compressionLevel;  // 0..9, from pseudo-encodings -256..-247

  // The list of S32 encoding numbers that follows SetEncodings' header.
  static ClientEncodings parse(ByteView bytes);
  bool operator==(const ClientEncodings&) const = default;
};

struct FramebufferUpdateRequest {
  bool incremental = false;
  FrameRect rect;

  static FramebufferUpdateRequest parse(ByteView body);  // the 9-byte body
  bool operator==(const FramebufferUpdateRequest&) const = default;
};

struct ClientFenceHeader {
  std::uint32_t flags = 0;
  std::uint8_t length = 0;  // payload bytes that follow, at most 64

  static ClientFenceHeader parse(ByteView bytes);  // the 8-byte fixed part
};

struct EncodedRectangle {
  FrameRect rect;
  RfbEncoding encoding;
  Bytes payload;
};

// Sequential reads over a message body; never reads past its end.
class RfbByteReader {
 public:
  explicit RfbByteReader(ByteView bytes) : bytes_(bytes) {}
  // Throws "message_truncated", without advancing, when fewer than `count` bytes remain.
  ByteView read(std::size_t count);
  std::uint8_t readU8() { return read(1)[0]; }
  std::uint16_t readU16();
  std::uint32_t readU32();
  std::size_t remaining() const { return bytes_.size() - offset_; }

 private:
  ByteView bytes_;
  std::size_t offset_ = 0;
};

// Handshake bytes and the server-to-client messages.
namespace RfbHandshake {
inline constexpr std::array<std::uint8_t, 12> version = {'R', 'F', 'B', ' ', '0', '0', '3', '.', '0', '0', '8', '\n'};
inline constexpr std::array<std::uint8_t, 2> securityTypes = {1, 1};
inline constexpr std::array<std::uint8_t, 4> securityResult = {0, 0, 0, 0};

// Throws "framebuffer_size_exceeds_rfb_limit" or "desktop_name_too_long".
Bytes serverInit(FrameSize size, std::string_view name);

// The client's 12 ProtocolVersion bytes as text; throws "handshake_bad_version" when a byte
// is not ASCII.
std::string clientVersionText(ByteView bytes);
// Minor version of "RFB 003.xyz\n" (an optional sign is accepted), none otherwise.
std::optional<int> parseMinorVersion(std::string_view text);
// What to send an unsupported client version before dropping it: the 3.8 refusal for
// minor 7 or more, the 3.3 form for minor 3, nothing (empty) otherwise.
Bytes versionRefusal(std::string_view clientVersion);
// The reason for an unsupported version: the text quoted with escapes, e.g.
// handshake_unsupported_version_"RFB 003.003\n".
std::string unsupportedVersionReason(std::string_view clientVersion);
// SecurityResult failure for a chosen type other than None.
Bytes securityFailure(std::uint8_t type);
}  // namespace RfbHandshake

// Server-to-client FramebufferUpdate, built whole in memory so a failure writes nothing.
// Throws "framebuffer_update_too_many_rectangles" or "framebuffer_rectangle_out_of_range".
Bytes framebufferUpdate(const std::vector<EncodedRectangle>& rectangles);

// Client-to-server messages after the handshake.
namespace RfbClientMessage {
inline constexpr std::uint8_t setPixelFormat = 0, setEncodings = 2, framebufferUpdateRequest = 3, keyEvent = 4,
                              pointerEvent = 5, clientCutText = 6, enableContinuousUpdates = 150,
                              clientFence = 248, setDesktopSize = 251;
inline constexpr std::size_t maxEncodings = 1024;
inline constexpr std::size_t maxCutText = 0x100000;

struct KeyEvent {
  bool down;
  std::uint32_t keysym;
  bool operator==(const KeyEvent&) const = default;
};
struct PointerEvent {
  std::uint8_t buttonMask;
  std::uint16_t x, y;
  bool operator==(const PointerEvent&) const = default;
};
// Cut text, continuous updates, fences and desktop-size requests are read and dropped.
struct Ignored {
  bool operator==(const Ignored&) const = default;
};
using Message =
    std::variant<RfbPixelFormat, ClientEncodings, FramebufferUpdateRequest, KeyEvent, PointerEvent, Ignored>;

// Must return exactly `count` bytes or throw.
using ReadExactly = std::function<Bytes(std::size_t count)>;

// Reads the body of a message whose type byte was already read. Every length taken from
// the client is bounded before anything of that length is read; throws RfbProtocolError
// ("unknown_message_type_<n>", "set_encodings_count_too_large", "client_cut_text_too_large",
// or a parser's reason).
Message read(std::uint8_t type, const ReadExactly& readExactly);
}  // namespace RfbClientMessage

}  // namespace desktopshare
