#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>

#include "TestImages.hpp"
#include "desktopshare/RfbEncoders.hpp"

using namespace desktopshare;
using desktopshare::testing::reasonOf;
using desktopshare::testing::desktopLikeFrame;
using desktopshare::testing::expectedValue;

namespace {

RfbPixelFormat format(bool bigEndian, std::uint16_t rm, std::uint16_t gm, std::uint16_t bm, std::uint8_t rs,
                      std::uint8_t gs, std::uint8_t bs, std::uint8_t depth = 24) {
  RfbPixelFormat f;
  f.bigEndian = bigEndian;
  f.depth = depth;
  f.redMax = rm, f.greenMax = gm, f.blueMax = bm;
  f.redShift = rs, f.greenShift = gs, f.blueShift = bs;
  return f;
}

std::array<std::uint8_t, 4> expectedWire(const RfbPixelFormat& f, BGRAPixel p) {
  const std::uint32_t v = expectedValue(p.red, p.green, p.blue, f.redMax, f.greenMax, f.blueMax, f.redShift,
                                        f.greenShift, f.blueShift);
  const std::array<std::uint8_t, 4> le = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  return f.bigEndian ? std::array<std::uint8_t, 4>{le[3], le[2], le[1], le[0]} : le;
}

// Formats with a compact pixel and the wire byte that carries no colour.
struct CompactCase {
  RfbPixelFormat format;
  int droppedWireByte;
};
const std::vector<CompactCase> kCompactFormats = {
    {RfbPixelFormat::zorvan, 3},
    {format(true, 255, 255, 255, 16, 8, 0), 0},
    {format(false, 255, 255, 255, 0, 8, 16), 3},
    {format(false, 255, 255, 255, 24, 16, 8), 0},
    {format(true, 255, 255, 255, 8, 16, 24), 3},
    {format(false, 255, 255, 255, 0, 8, 24), 2},
};

// One inflate stream for the whole connection, as a ZRLE client keeps it.
class Inflater {
 public:
  Inflater() { EXPECT_EQ(inflateInit(&stream_), Z_OK); }
  ~Inflater() { inflateEnd(&stream_); }
  Bytes inflatePayload(const Bytes& payload) {
    EXPECT_GE(payload.size(), 4u);
    const std::uint32_t length = std::uint32_t{payload[0]} << 24 | payload[1] << 16 | payload[2] << 8 | payload[3];
    EXPECT_EQ(length, payload.size() - 4);
    stream_.next_in = const_cast<Bytef*>(payload.data() + 4);
    stream_.avail_in = length;
    Bytes out;
    std::uint8_t chunk[65536];
    while (stream_.avail_in > 0) {
      stream_.next_out = chunk;
      stream_.avail_out = sizeof chunk;
      const int r = inflate(&stream_, Z_SYNC_FLUSH);
      EXPECT_TRUE(r == Z_OK || r == Z_BUF_ERROR) << r;
      out.insert(out.end(), chunk, chunk + (sizeof chunk - stream_.avail_out));
      if (r != Z_OK) break;
    }
    return out;
  }

 private:
  z_stream stream_{};
};

// Checks a decompressed ZRLE tile stream against the frame: tiles of 64 × 64 from the
// rectangle's corner, each a zero byte and raw 3-byte pixels.
void expectZrleTiles(const Bytes& tiles, const Frame& frame, const FrameRect& rect, const CompactCase& c) {
  std::size_t at = 0;
  for (auto ty = rect.y(); ty < rect.maxY(); ty += 64) {
    for (auto tx = rect.x(); tx < rect.maxX(); tx += 64) {
      ASSERT_LT(at, tiles.size());
      ASSERT_EQ(tiles[at++], 0) << "tile " << tx << "," << ty;
      for (auto y = ty; y < std::min(ty + 64, rect.maxY()); ++y) {
        for (auto x = tx; x < std::min(tx + 64, rect.maxX()); ++x) {
          const auto wire = expectedWire(c.format, frame.pixels().pixel(x, y));
          Bytes cpixel;
          for (int b = 0; b < 4; ++b)
            if (b != c.droppedWireByte) cpixel.push_back(wire[static_cast<std::size_t>(b)]);
          ASSERT_LE(at + 3, tiles.size());
          ASSERT_EQ(Bytes(tiles.begin() + static_cast<std::ptrdiff_t>(at), tiles.begin() + static_cast<std::ptrdiff_t>(at + 3)), cpixel)
              << x << "," << y;
          at += 3;
        }
      }
    }
  }
  EXPECT_EQ(at, tiles.size());
}

struct JpegError {
  double mean;
  int max;
};

// Decodes a Tight JPEG payload with TurboJPEG and compares it with the frame.
JpegError decodeTightJpeg(const Bytes& payload, const Frame& frame, const FrameRect& rect) {
  EXPECT_EQ(payload.at(0), 0x90);
  std::size_t length = payload[1] & 0x7F, at = 2;
  if (payload[1] & 0x80) {
    length |= (payload[2] & 0x7F) << 7;
    at = 3;
    if (payload[2] & 0x80) {
      length |= std::size_t{payload[3]} << 14;
      at = 4;
    }
  }
  EXPECT_EQ(at + length, payload.size());
  tjhandle d = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  EXPECT_EQ(tjDecompressHeader3(d, payload.data() + at, length, &w, &h, &sub, &space), 0);
  EXPECT_EQ(w, rect.width());
  EXPECT_EQ(h, rect.height());
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w * h * 3));
  EXPECT_EQ(tjDecompress2(d, payload.data() + at, length, rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
  tjDestroy(d);
  double total = 0;
  int worst = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const BGRAPixel p = frame.pixels().pixel(rect.x() + x, rect.y() + y);
      const std::uint8_t* q = rgb.data() + (y * w + x) * 3;
      for (auto [a, b] : {std::pair<int, int>{p.red, q[0]}, {p.green, q[1]}, {p.blue, q[2]}}) {
        total += std::abs(a - b);
        worst = std::max(worst, std::abs(a - b));
      }
    }
  }
  return {total / (3.0 * w * h), worst};
}

}  // namespace

TEST(RfbEncoder, CompactLengthAndQualityTables) {
  const std::vector<std::pair<std::int64_t, Bytes>> lengths = {
      {0, {0x00}},        {100, {0x64}},
      {127, {0x7F}},      {128, {0x80, 0x01}},
      {200, {0xC8, 0x01}}, {16383, {0xFF, 0x7F}},
      {16384, {0x80, 0x80, 0x01}}, {20000, {0xA0, 0x9C, 0x01}},
      {4194303, {0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [n, bytes] : lengths) EXPECT_EQ(RfbEncoder::compactLength(n), bytes) << n;
  EXPECT_EQ(reasonOf([] { RfbEncoder::compactLength(4194304); }), "tight_payload_too_large");

  EXPECT_DOUBLE_EQ(RfbEncoder::jpegQuality(6), 0.72);
  EXPECT_DOUBLE_EQ(RfbEncoder::jpegQuality(0), 0.1);
  EXPECT_DOUBLE_EQ(RfbEncoder::jpegQuality(9), 1.0);
  EXPECT_DOUBLE_EQ(RfbEncoder::jpegQuality(-4), 0.1);
  EXPECT_DOUBLE_EQ(RfbEncoder::jpegQuality(12), 1.0);
  const std::vector<int> turbo = {10, 20, 30, 40, 50, 60, 72, 82, 92, 100};
  for (int level = 0; level < 10; ++level) EXPECT_EQ(RfbEncoder::turboJpegQuality(level), turbo[level]);
}

TEST(RfbEncoder, RawIsExactForEveryFormat) {
  const Frame frame = desktopLikeFrame(97, 45);
  const FrameRect rect(3, 5, 90, 40);
  std::vector<RfbPixelFormat> formats = {format(false, 31, 63, 31, 11, 5, 0, 16),
                                         format(true, 31, 63, 31, 11, 5, 0, 16),
                                         format(true, 1023, 1023, 1023, 20, 10, 0, 30),
                                         format(false, 7, 3, 65535, 29, 27, 0, 32),
                                         format(false, 255, 255, 255, 31, 30, 29, 24)};  // only the low bit of red fits
  for (const auto& c : kCompactFormats) formats.push_back(c.format);
  for (const auto& f : formats) {
    const Bytes raw = RfbEncoder::raw(frame, rect, f);
    ASSERT_EQ(raw.size(), static_cast<std::size_t>(90 * 40 * 4));
    for (std::int64_t y = 0; y < rect.height(); ++y)
      for (std::int64_t x = 0; x < rect.width(); ++x) {
        const auto wire = expectedWire(f, frame.pixels().pixel(rect.x() + x, rect.y() + y));
        ASSERT_TRUE(std::equal(wire.begin(), wire.end(), raw.begin() + (y * rect.width() + x) * 4))
            << x << "," << y << " shifts " << int(f.redShift) << " be " << f.bigEndian;
      }
  }
  const Frame one(FramePixels(Bytes{0x56, 0x34, 0x12, 0xFF}, FrameSize(1, 1)), FrameSize(1, 1), {}, 0);
  EXPECT_EQ(RfbEncoder::raw(one, FrameRect(0, 0, 1, 1), RfbPixelFormat::zorvan), (Bytes{0x56, 0x34, 0x12, 0x00}));
}

TEST(RfbEncoder, ZrleTilesDecodeThroughOnePersistentStream) {
  const Frame frame = desktopLikeFrame(230, 150);
  const std::vector<FrameRect> rects = {FrameRect(0, 0, 100, 70), FrameRect(130, 10, 100, 140),
                                        FrameRect(5, 80, 64, 64), FrameRect(0, 0, 230, 150)};
  for (const auto& c : kCompactFormats) {
    ZlibStream stream(6);
    Inflater inflater;
    for (std::size_t i = 0; i < rects.size(); ++i) {
      const Bytes payload = RfbEncoder::zrle(frame, rects[i], c.format, stream);
      // Only the first rectangle of the stream carries the zlib header.
      EXPECT_EQ(payload.at(4) == 0x78, i == 0);
      expectZrleTiles(inflater.inflatePayload(payload), frame, rects[i], c);
    }
  }
  ZlibStream stream(1);
  EXPECT_EQ(reasonOf([&] { RfbEncoder::zrle(frame, FrameRect(0, 0, 8, 8), format(false, 127, 255, 255, 16, 8, 0), stream); }),
            "zrle_requires_24_bit_compact_pixel");
}

TEST(RfbEncoder, ZrleTileStreamLayout) {
  // 100 × 70: tiles 64 × 64, 36 × 64, 64 × 6, 36 × 6 and 4 + 100 × 70 × 3 bytes in all.
  const Frame frame = desktopLikeFrame(100, 70);
  ZlibStream stream(0);  // stored blocks: the tile stream is visible as is
  Inflater inflater;
  const Bytes tiles = inflater.inflatePayload(RfbEncoder::zrle(frame, FrameRect(0, 0, 100, 70), RfbPixelFormat::zorvan, stream));
  ASSERT_EQ(tiles.size(), 21004u);
  EXPECT_EQ(tiles[0], 0);
  EXPECT_EQ(tiles[1 + 64 * 64 * 3], 0);
  EXPECT_EQ(tiles[2 + 64 * 64 * 3 + 36 * 64 * 3], 0);
  EXPECT_EQ(tiles[3 + 64 * 64 * 3 + 36 * 64 * 3 + 64 * 6 * 3], 0);
  // A stream survives empty input and output that ends exactly on a chunk boundary.
  EXPECT_NO_THROW(stream.compress(Bytes{}));
  EXPECT_NO_THROW(stream.compress(Bytes{}));
  ZlibStream big(0);
  EXPECT_NO_THROW(big.compress(Bytes(65536 * 3, 7)));
  EXPECT_EQ(reasonOf([] { ZlibStream bad(42); }), "zlib_init_-2");
}

TEST(RfbEncoder, TightJpegStaysWithinErrorBounds) {
  const Frame frame = desktopLikeFrame(320, 200);
  const FrameRect rect(10, 20, 300, 170);
  // Mean absolute error per channel (0..255); the top level must also be nearly lossless.
  struct Bound {
    int level;
    double mean;
    int max;
  };
  double previousSize = 0;
  for (const Bound& b : {Bound{0, 12.0, 255}, Bound{6, 6.0, 255}, Bound{9, 1.0, 8}}) {
    const Bytes payload = RfbEncoder::tightJPEG(frame, rect, b.level);
    const JpegError e = decodeTightJpeg(payload, frame, rect);
    EXPECT_LE(e.mean, b.mean) << "level " << b.level;
    EXPECT_LE(e.max, b.max) << "level " << b.level;
    EXPECT_GT(static_cast<double>(payload.size()), previousSize);  // higher quality, more bytes
    previousSize = static_cast<double>(payload.size());
  }
  // JPEG cannot describe a side longer than 65500 pixels.
  const FrameSize wide(65501, 1);
  const Frame wideFrame(FramePixels(Bytes(65501 * 4), wide), wide, {}, 0);
  EXPECT_EQ(reasonOf([&] { RfbEncoder::tightJPEG(wideFrame, wide.bounds(), 6); }), "tight_jpeg_image_creation_failed");
  EXPECT_NO_THROW(RfbEncoder::tightJPEG(wideFrame, FrameRect(1, 0, 65500, 1), 6));
  // Clamped: out-of-range levels behave as 0 and 9.
  EXPECT_EQ(RfbEncoder::tightJPEG(frame, rect, -3), RfbEncoder::tightJPEG(frame, rect, 0));
  EXPECT_EQ(RfbEncoder::tightJPEG(frame, rect, 40), RfbEncoder::tightJPEG(frame, rect, 9));
}

TEST(RfbEncoderSession, ChoosesEncodingsPerBand) {
  const Frame frame = desktopLikeFrame(64, 64);
  const ClientEncodings both{true, true, std::nullopt, std::nullopt};
  RfbEncoderSession session;
  auto out = session.encode(frame, {FrameRect(0, 0, 16, 16), FrameRect(0, 0, 15, 17), FrameRect(3, 3, 0, 9)}, both,
                            RfbPixelFormat::zorvan);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].encoding, RfbEncoding::tight);
  EXPECT_EQ(out[0].payload, RfbEncoder::tightJPEG(frame, FrameRect(0, 0, 16, 16), 6));
  EXPECT_EQ(out[1].encoding, RfbEncoding::raw);
  EXPECT_FALSE(session.zlibStream());

  const ClientEncodings zrleOnly{true, false, std::nullopt, 1};
  const RfbPixelFormat noCompact = format(false, 31, 63, 31, 11, 5, 0, 16);
  out = session.encode(frame, {FrameRect(0, 0, 32, 32)}, zrleOnly, noCompact);
  EXPECT_EQ(out[0].encoding, RfbEncoding::raw);
  EXPECT_FALSE(session.zlibStream());
  out = session.encode(frame, {FrameRect(0, 0, 32, 32)}, zrleOnly, RfbPixelFormat::zorvan);
  EXPECT_EQ(out[0].encoding, RfbEncoding::zrle);
  ASSERT_TRUE(session.zlibStream());
  EXPECT_EQ(session.zlibStream()->level(), 1);
  out = session.encode(frame, {FrameRect(0, 0, 32, 32)}, ClientEncodings{true, false, std::nullopt, 9},
                       RfbPixelFormat::zorvan);
  EXPECT_EQ(session.zlibStream()->level(), 1);  // the stream keeps its first level

  out = session.encode(frame, {FrameRect(0, 0, 32, 32)}, ClientEncodings{}, RfbPixelFormat::zorvan);
  EXPECT_EQ(out[0].encoding, RfbEncoding::raw);
}

TEST(RfbEncoderSession, CutsBands) {
  EXPECT_EQ(RfbEncoder::bandRows(1280), 396);
  EXPECT_EQ(RfbEncoder::bandRows(1920), 264);
  EXPECT_EQ(RfbEncoder::bandRows(3840), 132);
  EXPECT_EQ(RfbEncoder::bandRows(507904), 1);
  EXPECT_EQ(RfbEncoder::bandRows(507905), 1);
  EXPECT_EQ(RfbEncoder::bandRows(1), 507904);

  struct Case {
    std::int64_t w, h;
    std::vector<std::int64_t> heights;
  };
  for (const Case& c : {Case{1920, 1080, {264, 264, 264, 264, 24}},
                        Case{3840, 2160, {132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 132, 48}}}) {
    const FrameSize size(c.w, c.h);
    const Frame frame(FramePixels(Bytes(static_cast<std::size_t>(c.w * c.h * 4)), size), size, {}, 0);
    RfbEncoderSession session;
    const auto out = session.encode(frame, {size.bounds()}, ClientEncodings{}, RfbPixelFormat::zorvan);
    ASSERT_EQ(out.size(), c.heights.size());
    std::int64_t y = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].rect, FrameRect(0, y, c.w, c.heights[i]));
      y += c.heights[i];
    }
  }
}

TEST(RfbEncoderDeath, RectanglesOutsideTheFrameStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Frame frame = desktopLikeFrame(16, 16);
  EXPECT_DEATH(RfbEncoder::raw(frame, FrameRect(8, 8, 9, 1), RfbPixelFormat::zorvan), "outside the frame");
  EXPECT_DEATH(RfbEncoder::tightJPEG(frame, FrameRect(-1, 0, 4, 4), 5), "outside the frame");
}
