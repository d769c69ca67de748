#include "desktopshare/RfbEncoders.hpp"

#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/Check.hpp"

namespace desktopshare {

ZlibStream::ZlibStream(int level) : stream_(std::make_unique<z_stream>()), level_(level) {
  std::memset(stream_.get(), 0, sizeof(z_stream));
  const int result = deflateInit(stream_.get(), level);
  if (result != Z_OK) throw RfbProtocolError("zlib_init_" + std::to_string(result));
  initialized_ = true;
}

ZlibStream::~ZlibStream() {
  if (initialized_) deflateEnd(stream_.get());
}

Bytes ZlibStream::compress(ByteView input) {
  Bytes out;
  compress(input, out);
  return out;
}

void ZlibStream::compress(ByteView input, Bytes& out) {
  constexpr std::size_t chunk = 65536;
  if (input.size() > 0xFFFFFFFFULL) throw RfbProtocolError("zlib_input_too_large");
  z_stream& s = *stream_;
  s.next_in = const_cast<Bytef*>(input.data());  // zlib does not write through next_in
  s.avail_in = static_cast<uInt>(input.size());
  for (;;) {
    const std::size_t before = out.size();
    out.resize(before + chunk);
    s.next_out = out.data() + before;
    s.avail_out = chunk;
    const int result = deflate(&s, Z_SYNC_FLUSH);
    const std::size_t produced = chunk - s.avail_out;
    out.resize(before + produced);
    // Z_BUF_ERROR with nothing left to do only means the previous chunk ended exactly at
    // the flush point (or the input was empty after an earlier flush): the data is complete.
    if (result == Z_BUF_ERROR && s.avail_in == 0 && produced == 0) break;
    if (result != Z_OK) throw RfbProtocolError("zlib_deflate_" + std::to_string(result));
    if (s.avail_in == 0 && s.avail_out != 0) break;
  }
  s.next_in = nullptr;
  s.next_out = nullptr;
}

namespace {

void checkInside(const Frame& frame, const FrameRect& rect) {
  JEXO_CHECK(rect.x() >= 0 && rect.y() >= 0 && rect.maxX() <= frame.size().width() &&
                 rect.maxY() <= frame.size().height(),
             "rectangle outside the frame");
}

const std::uint8_t* pixelAt(const Frame& frame, std::int64_t x, std::int64_t y) {
  return frame.pixels().row(y) + 4 * x;
}

// TurboJPEG compressor kept per thread: creating one per band would cost more than small bands.
class JpegCompressor {
 public:
  JpegCompressor() : handle_(tjInitCompress()) {}
  ~JpegCompressor() {
    if (handle_) tjDestroy(handle_);
  }
  JpegCompressor(const JpegCompressor&) = delete;
  JpegCompressor& operator=(const JpegCompressor&) = delete;
  tjhandle get() const { return handle_; }

 private:
  tjhandle handle_;
};

}  // namespace

std::int64_t RfbEncoder::bandRows(std::int64_t width) {
  if (width >= 0x7C001) return 1;
  return bandBudget / (4 * width);
}

Bytes RfbEncoder::raw(const Frame& frame, const FrameRect& rect, const RfbPixelFormat& pixelFormat) {
  return raw(frame, rect, RfbPixelConverter(pixelFormat));
}

Bytes RfbEncoder::raw(const Frame& frame, const FrameRect& rect, const RfbPixelConverter& converter) {
  checkInside(frame, rect);
  const auto w = static_cast<std::size_t>(rect.width());
  Bytes out(w * static_cast<std::size_t>(rect.height()) * 4);
  std::uint8_t* o = out.data();
  for (std::int64_t y = rect.y(); y < rect.maxY(); ++y, o += 4 * w) converter.convert(pixelAt(frame, rect.x(), y), w, o);
  return out;
}

double RfbEncoder::jpegQuality(int level) {
  static constexpr double table[10] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.72, 0.82, 0.92, 1.0};
  return table[std::clamp(level, 0, 9)];
}

int RfbEncoder::turboJpegQuality(int level) { return static_cast<int>(std::lround(jpegQuality(level) * 100)); }

Bytes RfbEncoder::compactLength(std::int64_t n) {
  if (n > tightLengthLimit) throw RfbProtocolError("tight_payload_too_large");
  JEXO_CHECK(n >= 0, "negative length");
  Bytes out;
  out.push_back(static_cast<std::uint8_t>((n & 0x7F) | (n > 127 ? 0x80 : 0)));
  if (n > 127) out.push_back(static_cast<std::uint8_t>(((n >> 7) & 0x7F) | (n > 16383 ? 0x80 : 0)));
  if (n > 16383) out.push_back(static_cast<std::uint8_t>(n >> 14));
  return out;
}

Bytes RfbEncoder::tightJPEG(const Frame& frame, const FrameRect& rect, int qualityLevel) {
  checkInside(frame, rect);
  // JPEG cannot describe images larger than 65500 pixels on a side.
  if (rect.isEmpty() || rect.width() > 65500 || rect.height() > 65500)
    throw RfbProtocolError("tight_jpeg_image_creation_failed");
  thread_local JpegCompressor compressor;
  if (!compressor.get()) throw RfbProtocolError("tight_jpeg_destination_creation_failed");
  const int level = std::clamp(qualityLevel, 0, 9);
  // Full chroma at the top level, where the quality promises no visible loss.
  const int subsampling = level == 9 ? TJSAMP_444 : TJSAMP_420;
  const auto w = static_cast<int>(rect.width()), h = static_cast<int>(rect.height());
  // JPEG data goes to a per-thread scratch buffer that is reused (never zero-filled) and
  // then only its real size is copied into the payload.
  thread_local std::unique_ptr<unsigned char[]> scratch;
  thread_local unsigned long scratchSize = 0;
  const unsigned long needed = tjBufSize(w, h, subsampling);
  if (needed == static_cast<unsigned long>(-1)) throw RfbProtocolError("tight_jpeg_image_creation_failed");
  if (scratchSize < needed) {
    scratch.reset(new unsigned char[needed]);
    scratchSize = needed;
  }
  unsigned char* jpeg = scratch.get();
  unsigned long jpegSize = scratchSize;
  // The rectangle is read in place with the frame's row pitch; alpha is ignored (BGRX).
  if (tjCompress2(compressor.get(), pixelAt(frame, rect.x(), rect.y()), w,
                  static_cast<int>(frame.pixels().bytesPerRow()), h, TJPF_BGRX, &jpeg, &jpegSize, subsampling,
                  turboJpegQuality(level), TJFLAG_NOREALLOC) != 0)
    throw RfbProtocolError("tight_jpeg_encoding_failed");
  Bytes out;
  out.reserve(4 + jpegSize);
  out.push_back(tightJpegControl);
  const Bytes length = compactLength(static_cast<std::int64_t>(jpegSize));
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), jpeg, jpeg + jpegSize);
  return out;
}

Bytes RfbEncoder::zrle(const Frame& frame, const FrameRect& rect, const RfbPixelFormat& pixelFormat,
                       ZlibStream& stream) {
  return zrle(frame, rect, RfbPixelConverter(pixelFormat), stream);
}

Bytes RfbEncoder::zrle(const Frame& frame, const FrameRect& rect, const RfbPixelConverter& converter,
                       ZlibStream& stream) {
  checkInside(frame, rect);
  if (!converter.hasCompactForm()) throw RfbProtocolError("zrle_requires_24_bit_compact_pixel");
  const std::int64_t tileColumns = (rect.width() + zrleTileSize - 1) / zrleTileSize;
  const std::int64_t tileRows = (rect.height() + zrleTileSize - 1) / zrleTileSize;
  Bytes tiles(static_cast<std::size_t>(tileColumns * tileRows + rect.width() * rect.height() * 3));
  std::uint8_t* o = tiles.data();
  for (std::int64_t ty = rect.y(); ty < rect.maxY(); ty += zrleTileSize) {
    const std::int64_t th = std::min(zrleTileSize, rect.maxY() - ty);
    for (std::int64_t tx = rect.x(); tx < rect.maxX(); tx += zrleTileSize) {
      const std::int64_t tw = std::min(zrleTileSize, rect.maxX() - tx);
      *o++ = 0;  // raw CPIXELs
      for (std::int64_t y = ty; y < ty + th; ++y, o += 3 * tw)
        converter.convertCompact(pixelAt(frame, tx, y), static_cast<std::size_t>(tw), o);
    }
  }
  Bytes out(4);
  stream.compress(tiles, out);
  const std::size_t compressed = out.size() - 4;
  if (compressed > 0xFFFFFFFFULL) throw RfbProtocolError("zrle_rectangle_too_large");
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(compressed >> (24 - 8 * i));
  return out;
}

std::vector<EncodedRectangle> RfbEncoderSession::encode(const Frame& frame, const std::vector<FrameRect>& rects,
                                                        const ClientEncodings& encodings,
                                                        const RfbPixelFormat& pixelFormat) {
  const RfbPixelConverter converter(pixelFormat);
  std::vector<EncodedRectangle> out;
  for (const FrameRect& rect : rects) {
    if (rect.isEmpty()) continue;
    const std::int64_t rows = RfbEncoder::bandRows(rect.width());
    for (std::int64_t y = rect.y(); y < rect.maxY(); y += rows) {
      const FrameRect band(rect.x(), y, rect.width(), std::min(rows, rect.maxY() - y));
      if (band.width() * band.height() < RfbEncoder::smallBandThreshold) {
        out.push_back({band, RfbEncoding::raw, RfbEncoder::raw(frame, band, converter)});
      } else if (encodings.supportsTight) {
        out.push_back({band, RfbEncoding::tight,
                       RfbEncoder::tightJPEG(frame, band,
                                             encodings.qualityLevel.value_or(RfbEncoder::defaultQualityLevel))});
      } else if (encodings.supportsZrle && converter.hasCompactForm()) {
        if (!zlibStream_)
          zlibStream_ = std::make_unique<ZlibStream>(
              std::clamp(encodings.compressionLevel.value_or(RfbEncoder::defaultZlibLevel), 0, 9));
        out.push_back({band, RfbEncoding::zrle, RfbEncoder::zrle(frame, band, converter, *zlibStream_)});
      } else {
        out.push_back({band, RfbEncoding::raw, RfbEncoder::raw(frame, band, converter)});
      }
    }
  }
  return out;
}

}  // namespace desktopshare
