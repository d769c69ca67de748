#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "desktopshare/Frame.hpp"
#include "desktopshare/RfbProtocol.hpp"

struct z_stream_s;

namespace desktopshare {

// One zlib-format deflate stream that lives as long as its connection: ZRLE data of every
// rectangle continues the same stream, each rectangle ending on a sync flush.
class ZlibStream {
 public:
  // Throws "zlib_init_<code>".
  explicit ZlibStream(int level);
  ~ZlibStream();
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;

  int level() const { return level_; }
  // Throws "zlib_input_too_large" or "zlib_deflate_<code>".
  Bytes compress(ByteView input);
  // As compress, appending to `out`.
  void compress(ByteView input, Bytes& out);

 private:
  std::unique_ptr<z_stream_s> stream_;
  bool initialized_ = false;
  int level_;
};

// The rectangle encoders. Every rectangle must lie inside its frame (checked).
struct RfbEncoder {
  static constexpr std::int64_t bandBudget = 0x1F0000;  // bytes of 4-byte source pixels per band
  static constexpr std::int64_t smallBandThreshold = 256;
  static constexpr int defaultQualityLevel = 6;
  static constexpr int defaultZlibLevel = 6;
  static constexpr std::uint8_t tightJpegControl = 0x90;
  static constexpr std::int64_t tightLengthLimit = 0x3FFFFF;
  static constexpr std::int64_t zrleTileSize = 64;

  // Rows per band for a rectangle of this width: bands hold about 2 MB of source pixels.
  static std::int64_t bandRows(std::int64_t width);

  // width × height × 4 bytes in the client's pixel format.
  static Bytes raw(const Frame& frame, const FrameRect& rect, const RfbPixelFormat& pixelFormat);
  static Bytes raw(const Frame& frame, const FrameRect& rect, const RfbPixelConverter& converter);
  // Tight with JPEG compression: control byte 0x90, compact length, JPEG data.
  static Bytes tightJPEG(const Frame& frame, const FrameRect& rect, int qualityLevel);
  // U32 length, then the rectangle's 64 × 64 raw-CPIXEL tiles through the connection's stream.
  static Bytes zrle(const Frame& frame, const FrameRect& rect, const RfbPixelFormat& pixelFormat,
                    ZlibStream& stream);
  static Bytes zrle(const Frame& frame, const FrameRect& rect, const RfbPixelConverter& converter,
                    ZlibStream& stream);
  // Tight's 1-3 byte length; throws "tight_payload_too_large" above 4194303.
  static Bytes compactLength(std::int64_t length);

  // Lossy quality 0.1 ... 1.0 for quality levels 0 ... 9 (clamped).
  static double jpegQuality(int level);
  // The same on TurboJPEG's 1...100 scale: round(100 × quality), so 10, 20, ..., 72, 82, 92, 100.
  static int turboJpegQuality(int level);
};

// A connection's encoder state: cuts rectangles into bands, picks an encoding per band from
// what the client announced, and owns the connection's zlib stream from its first ZRLE band.
class RfbEncoderSession {
 public:
  // Output keeps the input order, each rectangle as bands top to bottom. Throws the first
  // encoder failure; nothing partial is returned.
  std::vector<EncodedRectangle> encode(const Frame& frame, const std::vector<FrameRect>& rects,
                                       const ClientEncodings& encodings, const RfbPixelFormat& pixelFormat);
  const ZlibStream* zlibStream() const { return zlibStream_.get(); }

 private:
  std::unique_ptr<ZlibStream> zlibStream_;
};

}  // namespace desktopshare
