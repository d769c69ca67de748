#include "desktopshare/RfbProtocol.hpp"

#include <bit>
#include <cstring>

#include "support/Check.hpp"

namespace desktopshare {

namespace {

void putU16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void putU32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
std::uint16_t getU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t getU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// One channel scaled from 0..255 to 0..max (rounded to nearest) and placed at its shift;
// a shift of 32 or more places nothing.
std::uint32_t placeChannel(std::uint8_t c, std::uint16_t max, std::uint8_t shift) {
  if (shift >= 32) return 0;
  const std::uint32_t scaled = (std::uint32_t{c} * max + 127) / 255;
  return static_cast<std::uint32_t>(std::uint64_t{scaled} << shift);
}

void storeValue(std::uint32_t v, bool bigEndian, std::uint8_t* out) {
  if (bigEndian) {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
  } else {
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out[2] = static_cast<std::uint8_t>(v >> 16);
    out[3] = static_cast<std::uint8_t>(v >> 24);
  }
}

void validateChannel(std::uint16_t maximum, std::uint8_t shift) {
  if (maximum == 0) throw RfbProtocolError("set_pixel_format_zero_channel_max");
  if (std::bit_width(maximum) + shift > 32) throw RfbProtocolError("set_pixel_format_channel_out_of_range");
}

std::uint32_t channelMask(std::uint16_t max, std::uint8_t shift) {
  return shift >= 32 ? 0 : static_cast<std::uint32_t>(std::uint64_t{max} << shift);
}

}  // namespace

const RfbPixelFormat RfbPixelFormat::zorvan{};

RfbPixelFormat RfbPixelFormat::parse(ByteView bytes) {
  if (bytes.size() != 16) throw RfbProtocolError("set_pixel_format_bad_length");
  const std::uint8_t* b = bytes.data();
  const std::uint8_t bigEndianFlag = b[2], trueColorFlag = b[3];
  if (bigEndianFlag > 1 || trueColorFlag > 1) throw RfbProtocolError("set_pixel_format_bad_flags");
  RfbPixelFormat f;
  f.bitsPerPixel = b[0];
  f.depth = b[1];
  f.bigEndian = bigEndianFlag == 1;
  f.trueColor = trueColorFlag == 1;
  f.redMax = getU16(b + 4);
  f.greenMax = getU16(b + 6);
  f.blueMax = getU16(b + 8);
  f.redShift = b[10];
  f.greenShift = b[11];
  f.blueShift = b[12];
  if (f.bitsPerPixel != 32 || !f.trueColor) throw RfbProtocolError("set_pixel_format_requires_32bpp_true_color");
  if (f.depth < 1 || f.depth > 32) throw RfbProtocolError("set_pixel_format_bad_depth");
  validateChannel(f.redMax, f.redShift);
  validateChannel(f.greenMax, f.greenShift);
  validateChannel(f.blueMax, f.blueShift);
  const std::uint32_t r = channelMask(f.redMax, f.redShift);
  const std::uint32_t g = channelMask(f.greenMax, f.greenShift);
  const std::uint32_t bl = channelMask(f.blueMax, f.blueShift);
  if ((r & g) | ((r | g) & bl)) throw RfbProtocolError("set_pixel_format_overlapping_channels");
  return f;
}

std::array<std::uint8_t, 16> RfbPixelFormat::bytes() const {
  return {bitsPerPixel,
          depth,
          static_cast<std::uint8_t>(bigEndian ? 1 : 0),
          static_cast<std::uint8_t>(trueColor ? 1 : 0),
          static_cast<std::uint8_t>(redMax >> 8),
          static_cast<std::uint8_t>(redMax),
          static_cast<std::uint8_t>(greenMax >> 8),
          static_cast<std::uint8_t>(greenMax),
          static_cast<std::uint8_t>(blueMax >> 8),
          static_cast<std::uint8_t>(blueMax),
          redShift,
          greenShift,
          blueShift,
          0,
          0,
          0};
}

std::uint32_t RfbPixelFormat::pixelValue(BGRAPixel p) const {
  return placeChannel(p.red, redMax, redShift) | placeChannel(p.green, greenMax, greenShift) |
         placeChannel(p.blue, blueMax, blueShift);
}

std::array<std::uint8_t, 4> RfbPixelFormat::wireBytes(BGRAPixel pixel) const {
  std::array<std::uint8_t, 4> out;
  storeValue(pixelValue(pixel), bigEndian, out.data());
  return out;
}

std::optional<int> RfbPixelFormat::compactDroppedByte() const {
  if (redMax != 255 || greenMax != 255 || blueMax != 255 || depth > 24) return std::nullopt;
  unsigned used = 0;
  for (std::uint8_t shift : {redShift, greenShift, blueShift}) {
    if (shift % 8 != 0 || shift > 24) return std::nullopt;
    used |= 1U << (shift / 8);
  }
  if (std::popcount(used) != 3) return std::nullopt;
  const int free = std::countr_one(used);  // lowest byte position without colour
  return bigEndian ? 3 - free : free;
}

std::optional<std::array<std::uint8_t, 3>> RfbPixelFormat::compactWireBytes(BGRAPixel pixel) const {
  const auto dropped = compactDroppedByte();
  if (!dropped) return std::nullopt;
  const auto wire = wireBytes(pixel);
  std::array<std::uint8_t, 3> out;
  for (int i = 0, o = 0; i < 4; ++i)
    if (i != *dropped) out[o++] = wire[i];
  return out;
}

RfbPixelConverter::RfbPixelConverter(const RfbPixelFormat& f)
    : bigEndian_(f.bigEndian), dropped_(f.compactDroppedByte()) {
  native_ = std::endian::native == std::endian::little && !f.bigEndian && f.redMax == 255 && f.greenMax == 255 &&
            f.blueMax == 255 && f.redShift == 16 && f.greenShift == 8 && f.blueShift == 0;
  for (unsigned c = 0; c < 256; ++c) {
    red_[c] = placeChannel(static_cast<std::uint8_t>(c), f.redMax, f.redShift);
    green_[c] = placeChannel(static_cast<std::uint8_t>(c), f.greenMax, f.greenShift);
    blue_[c] = placeChannel(static_cast<std::uint8_t>(c), f.blueMax, f.blueShift);
  }
}

void RfbPixelConverter::convert(const std::uint8_t* bgra, std::size_t count, std::uint8_t* out) const {
  if (native_) {
    // 0x00RRGGBB little-endian is the source pixel with its alpha byte cleared; two pixels
    // per step.
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
      std::uint64_t v;
      std::memcpy(&v, bgra + 4 * i, 8);
      v &= 0x00FFFFFF00FFFFFFULL;
      std::memcpy(out + 4 * i, &v, 8);
    }
    if (i < count) {
      std::uint32_t v;
      std::memcpy(&v, bgra + 4 * i, 4);
      v &= 0x00FFFFFFU;
      std::memcpy(out + 4 * i, &v, 4);
    }
    return;
  }
  if constexpr (std::endian::native == std::endian::little) {
    // Whole-word stores; a big-endian client gets the value byte-swapped.
    if (bigEndian_) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t v = __builtin_bswap32(value(bgra + 4 * i));
        std::memcpy(out + 4 * i, &v, 4);
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t v = value(bgra + 4 * i);
        std::memcpy(out + 4 * i, &v, 4);
      }
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) storeValue(value(bgra + 4 * i), bigEndian_, out + 4 * i);
}

void RfbPixelConverter::convertCompact(const std::uint8_t* bgra, std::size_t count, std::uint8_t* out) const {
  JEXO_CHECK(dropped_.has_value(), "pixel format has no compact pixel");
  if (native_) {
    for (std::size_t i = 0; i < count; ++i, bgra += 4, out += 3) {
      out[0] = bgra[0];
      out[1] = bgra[1];
      out[2] = bgra[2];
    }
    return;
  }
  const int dropped = *dropped_;
  for (std::size_t i = 0; i < count; ++i, bgra += 4) {
    std::uint8_t wire[4];
    storeValue(value(bgra), bigEndian_, wire);
    for (int b = 0; b < 4; ++b)
      if (b != dropped) *out++ = wire[b];
  }
}

std::optional<RfbEncoding> rfbEncoding(std::int32_t rawValue) {
  switch (rawValue) {
    case 0:
      return RfbEncoding::raw;
    case 7:
      return RfbEncoding::tight;
    case 16:
      return RfbEncoding::zrle;
    default:
      return std::nullopt;
  }
}

ClientEncodings ClientEncodings::parse(ByteView bytes) {
  if (bytes.size() % 4 != 0) throw RfbProtocolError("set_encodings_bad_length");
  ClientEncodings e;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const auto value = static_cast<std::int32_t>(getU32(bytes.data() + i));
    if (value == 7) {
      e.supportsTight = true;
    } else if (value == 16) {
      e.supportsZrle = true;
    } else if (value >= -32 && value <= -23) {
      e.qualityLevel = value + 32;
    } else if (value >= -256 && value <= -247) {
      e.compressionLevel = value + 256;
    }
  }
  return e;
}

FramebufferUpdateRequest FramebufferUpdateRequest::parse(ByteView body) {
  if (body.size() != 9) throw RfbProtocolError("framebuffer_update_request_bad_length");
  const std::uint8_t* b = body.data();
  return {b[0] != 0, FrameRect(getU16(b + 1), getU16(b + 3), getU16(b + 5), getU16(b + 7))};
}

ClientFenceHeader ClientFenceHeader::parse(ByteView bytes) {
  if (bytes.size() != 8) throw RfbProtocolError("client_fence_bad_header");
  ClientFenceHeader h{getU32(bytes.data() + 3), bytes[7]};
  if (h.length > 64) throw RfbProtocolError("client_fence_payload_too_large");
  return h;
}

ByteView RfbByteReader::read(std::size_t count) {
  if (count > remaining()) throw RfbProtocolError("message_truncated");
  ByteView out = bytes_.subspan(offset_, count);
  offset_ += count;
  return out;
}

std::uint16_t RfbByteReader::readU16() { return getU16(read(2).data()); }
std::uint32_t RfbByteReader::readU32() { return getU32(read(4).data()); }

namespace RfbHandshake {

Bytes serverInit(FrameSize size, std::string_view name) {
  if (size.width() > 0xFFFF || size.height() > 0xFFFF) throw RfbProtocolError("framebuffer_size_exceeds_rfb_limit");
  if (name.size() > 0xFFFFFFFFULL) throw RfbProtocolError("desktop_name_too_long");
  Bytes out;
  out.reserve(24 + name.size());
  putU16(out, static_cast<std::uint32_t>(size.width()));
  putU16(out, static_cast<std::uint32_t>(size.height()));
  const auto format = RfbPixelFormat::zorvan.bytes();
  out.insert(out.end(), format.begin(), format.end());
  putU32(out, static_cast<std::uint32_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

std::string clientVersionText(ByteView bytes) {
  for (std::uint8_t b : bytes)
    if (b >= 0x80) throw RfbProtocolError("handshake_bad_version");
  return std::string(bytes.begin(), bytes.end());
}

std::optional<int> parseMinorVersion(std::string_view text) {
  if (text.size() != 12 || text.substr(0, 8) != "RFB 003." || text.back() != '\n') return std::nullopt;
  std::string_view digits = text.substr(8, 3);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

namespace {
const std::string_view onlyVersion38 = "Only RFB 3.8 is supported";
}

Bytes versionRefusal(std::string_view clientVersion) {
  const auto minor = parseMinorVersion(clientVersion);
  Bytes out;
  if (!minor) return out;
  if (*minor >= 7) {
    out.push_back(0);
  } else if (*minor == 3) {
    putU32(out, 0);
  } else {
    return out;
  }
  putU32(out, static_cast<std::uint32_t>(onlyVersion38.size()));
  out.insert(out.end(), onlyVersion38.begin(), onlyVersion38.end());
  return out;
}

std::string unsupportedVersionReason(std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      case '\0': quoted += "\\0"; break;
      case '"': quoted += "\\\""; break;
      case '\'': quoted += "\\'"; break;
      case '\\': quoted += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          quoted += "\\u{";
          if (c >= 16) quoted += hex[c >> 4];
          quoted += hex[c & 15];
          quoted += '}';
        } else {
          quoted += ch;
        }
    }
  }
  return "handshake_unsupported_version_" + quoted + "\"";
}

Bytes securityFailure(std::uint8_t type) {
  const std::string reason = "Security type " + std::to_string(type) + " is not supported";
  Bytes out;
  putU32(out, 1);
  putU32(out, static_cast<std::uint32_t>(reason.size()));
  out.insert(out.end(), reason.begin(), reason.end());
  return out;
}

}  // namespace RfbHandshake

Bytes framebufferUpdate(const std::vector<EncodedRectangle>& rectangles) {
  if (rectangles.size() > 0xFFFF) throw RfbProtocolError("framebuffer_update_too_many_rectangles");
  std::size_t total = 4;
  for (const auto& r : rectangles) {
    const FrameRect& f = r.rect;
    // A width or height of 65536 would wrap to 0 in its U16 field, so it is refused too.
    if (f.x() < 0 || f.y() < 0 || f.maxX() > 65536 || f.maxY() > 65536 || f.width() > 0xFFFF ||
        f.height() > 0xFFFF)
      throw RfbProtocolError("framebuffer_rectangle_out_of_range");
    total += 12 + r.payload.size();
  }
  Bytes out;
  out.reserve(total);
  out.push_back(0);
  out.push_back(0);
  putU16(out, static_cast<std::uint32_t>(rectangles.size()));
  for (const auto& r : rectangles) {
    putU16(out, static_cast<std::uint32_t>(r.rect.x()));
    putU16(out, static_cast<std::uint32_t>(r.rect.y()));
    putU16(out, static_cast<std::uint32_t>(r.rect.width()));
    putU16(out, static_cast<std::uint32_t>(r.rect.height()));
    putU32(out, static_cast<std::uint32_t>(rawValue(r.encoding)));
    out.insert(out.end(), r.payload.begin(), r.payload.end());
  }
  return out;
}

namespace RfbClientMessage {

namespace {
Bytes readChecked(const ReadExactly& readExactly, std::size_t count) {
  if (count == 0) return {};
  Bytes bytes = readExactly(count);
  JEXO_CHECK(bytes.size() == count, "reader returned the wrong number of bytes");
  return bytes;
}
}  // namespace

Message read(std::uint8_t type, const ReadExactly& readExactly) {
  switch (type) {
    case setPixelFormat: {
      const Bytes body = readChecked(readExactly, 19);
      return RfbPixelFormat::parse(ByteView(body).subspan(3));
    }
    case setEncodings: {
      const Bytes header = readChecked(readExactly, 3);
      const std::size_t count = getU16(header.data() + 1);
      if (count > maxEncodings) throw RfbProtocolError("set_encodings_count_too_large");
      return ClientEncodings::parse(readChecked(readExactly, 4 * count));
    }
    case framebufferUpdateRequest:
      return FramebufferUpdateRequest::parse(readChecked(readExactly, 9));
    case keyEvent: {
      const Bytes body = readChecked(readExactly, 7);
      return KeyEvent{body[0] != 0, getU32(body.data() + 3)};
    }
    case pointerEvent: {
      const Bytes body = readChecked(readExactly, 5);
      return PointerEvent{body[0], getU16(body.data() + 1), getU16(body.data() + 3)};
    }
    case clientCutText: {
      const Bytes header = readChecked(readExactly, 7);
      const auto length = static_cast<std::int32_t>(getU32(header.data() + 3));
      const std::int64_t magnitude = length < 0 ? -std::int64_t{length} : length;
      if (magnitude > static_cast<std::int64_t>(maxCutText)) throw RfbProtocolError("client_cut_text_too_large");
      readChecked(readExactly, static_cast<std::size_t>(magnitude));
      return Ignored{};
    }
    case enableContinuousUpdates:
      readChecked(readExactly, 9);
      return Ignored{};
    case clientFence: {
      const ClientFenceHeader header = ClientFenceHeader::parse(readChecked(readExactly, 8));
      readChecked(readExactly, header.length);
      return Ignored{};
    }
    case setDesktopSize: {
      const Bytes header = readChecked(readExactly, 7);
      readChecked(readExactly, 16 * std::size_t{header[5]});
      return Ignored{};
    }
    default:
      throw RfbProtocolError("unknown_message_type_" + std::to_string(type));
  }
}

}  // namespace RfbClientMessage

}  // namespace desktopshare
