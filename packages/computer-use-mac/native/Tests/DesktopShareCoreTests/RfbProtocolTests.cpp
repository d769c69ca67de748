#include <gtest/gtest.h>

#include "TestImages.hpp"

#include "desktopshare/RfbProtocol.hpp"

using namespace desktopshare;

using desktopshare::testing::reasonOf;

namespace {

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size() + 1; ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return out;
}

Bytes s32s(std::initializer_list<std::int32_t> values) {
  Bytes out;
  for (std::int32_t v : values)
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> s));
  return out;
}

// Reads client messages from one buffer the way a connection reads its socket.
std::vector<RfbClientMessage::Message> readAll(const Bytes& stream) {
  RfbByteReader reader(stream);
  std::vector<RfbClientMessage::Message> out;
  while (reader.remaining() > 0) {
    const std::uint8_t type = reader.readU8();
    out.push_back(RfbClientMessage::read(type, [&](std::size_t n) {
      const ByteView v = reader.read(n);
      return Bytes(v.begin(), v.end());
    }));
  }
  return out;
}

}  // namespace

TEST(RfbPixelFormat, ServerFormatBytes) {
  const Bytes zorvan = hex("20 18 00 01 00 FF 00 FF 00 FF 10 08 00 00 00 00");
  const auto bytes = RfbPixelFormat::zorvan.bytes();
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), zorvan);
  EXPECT_EQ(RfbPixelFormat::parse(zorvan), RfbPixelFormat::zorvan);
  Bytes padded = zorvan;
  padded[13] = 0xAB;  // padding is ignored
  EXPECT_EQ(RfbPixelFormat::parse(padded), RfbPixelFormat::zorvan);
}

TEST(RfbPixelFormat, ValidationReasons) {
  // bpp depth be tc  redMax greenMax blueMax  shifts r g b
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"20 18 00 01 00 FF 00 FF 00 FF 10 08 00 00 00", "set_pixel_format_bad_length"},
      {"10 10 02 01 00 1F 00 3F 00 1F 0B 05 00 00 00 00", "set_pixel_format_bad_flags"},
      {"20 18 00 02 00 FF 00 FF 00 FF 10 08 00 00 00 00", "set_pixel_format_bad_flags"},
      {"10 10 00 01 00 1F 00 3F 00 1F 0B 05 00 00 00 00", "set_pixel_format_requires_32bpp_true_color"},
      {"20 18 00 00 00 FF 00 FF 00 FF 10 08 00 00 00 00", "set_pixel_format_requires_32bpp_true_color"},
      {"20 00 00 01 00 FF 00 FF 00 FF 10 08 00 00 00 00", "set_pixel_format_bad_depth"},
      {"20 21 00 01 00 FF 00 FF 00 FF 10 08 00 00 00 00", "set_pixel_format_bad_depth"},
      {"20 18 00 01 00 00 00 FF 00 FF 10 08 00 00 00 00", "set_pixel_format_zero_channel_max"},
      {"20 18 00 01 00 FF 00 FF 00 00 10 08 00 00 00 00", "set_pixel_format_zero_channel_max"},
      {"20 18 00 01 00 FF 00 FF 00 FF 19 08 00 00 00 00", "set_pixel_format_channel_out_of_range"},
      {"20 18 00 01 00 FF 00 FF 00 FF FF 08 00 00 00 00", "set_pixel_format_channel_out_of_range"},
      {"20 18 00 01 FF FF 00 FF 00 FF 11 08 00 00 00 00", "set_pixel_format_channel_out_of_range"},
      {"20 18 00 01 00 FF 00 FF 00 FF 08 0C 00 00 00 00", "set_pixel_format_overlapping_channels"},
      {"20 18 00 01 00 FF 00 FF 00 FF 00 08 04 00 00 00", "set_pixel_format_overlapping_channels"},
      // Accepted: depth 32 at shifts 24/16/8, red at shift 24, a 5-6-5 layout, big-endian.
      {"20 20 00 01 00 FF 00 FF 00 FF 18 10 08 00 00 00", "(no error)"},
      {"20 18 01 01 00 FF 00 FF 00 FF 18 08 00 00 00 00", "(no error)"},
      {"20 10 00 01 00 1F 00 3F 00 1F 0B 05 00 00 00 00", "(no error)"},
      {"20 18 00 01 00 05 00 FF 00 FF 10 08 00 00 00 00", "(no error)"},
  };
  for (const auto& [bytes, reason] : cases)
    EXPECT_EQ(reasonOf([&] { RfbPixelFormat::parse(hex(bytes)); }), reason) << bytes;
}

TEST(RfbPixelFormat, WireAndCompactPixels) {
  const BGRAPixel p{0x56, 0x34, 0x12, 0xEE};
  RfbPixelFormat big = RfbPixelFormat::zorvan;
  big.bigEndian = true;
  RfbPixelFormat r565 = RfbPixelFormat::zorvan;
  r565.redMax = 31, r565.greenMax = 63, r565.blueMax = 31, r565.redShift = 11, r565.greenShift = 5,
  r565.blueShift = 0;
  RfbPixelFormat high = RfbPixelFormat::zorvan;
  high.redShift = 24, high.greenShift = 8, high.blueShift = 0;
  RfbPixelFormat deep = RfbPixelFormat::zorvan;
  deep.depth = 32;
  RfbPixelFormat narrowRed = RfbPixelFormat::zorvan;
  narrowRed.redMax = 127;

  struct Case {
    RfbPixelFormat format;
    std::array<std::uint8_t, 4> wire;
    std::optional<std::array<std::uint8_t, 3>> compact;
  };
  const std::vector<Case> cases = {
      {RfbPixelFormat::zorvan, {0x56, 0x34, 0x12, 0x00}, {{0x56, 0x34, 0x12}}},
      {big, {0x00, 0x12, 0x34, 0x56}, {{0x12, 0x34, 0x56}}},
      // 5-6-5: red 2, green 13, blue 10.
      {r565, {static_cast<std::uint8_t>(13 << 5 | 10), static_cast<std::uint8_t>(2 << 3 | 13 >> 3), 0, 0},
       std::nullopt},
      // Shifts 0, 8, 24: byte 2 carries no colour and is dropped.
      {high, {0x56, 0x34, 0x00, 0x12}, {{0x56, 0x34, 0x12}}},
      {deep, {0x56, 0x34, 0x12, 0x00}, std::nullopt},
      {narrowRed, {0x56, 0x34, 0x09, 0x00}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.format.wireBytes(p), c.wire);
    EXPECT_EQ(c.format.compactWireBytes(p), c.compact);
    // The bulk converter agrees with the single-pixel form.
    const RfbPixelConverter converter(c.format);
    const std::uint8_t src[4] = {p.blue, p.green, p.red, p.alpha};
    std::array<std::uint8_t, 4> out{};
    converter.convert(src, 1, out.data());
    EXPECT_EQ(out, c.wire);
    EXPECT_EQ(converter.hasCompactForm(), c.compact.has_value());
    if (c.compact) {
      std::array<std::uint8_t, 3> compact{};
      converter.convertCompact(src, 1, compact.data());
      EXPECT_EQ(compact, *c.compact);
    }
  }
  EXPECT_EQ(RfbPixelFormat::zorvan.pixelValue(BGRAPixel{0xFF, 0xFF, 0xFF, 0xFF}), 0x00FFFFFFu);
}

TEST(ClientEncodings, ParsesSetEncodingsList) {
  const auto e = ClientEncodings::parse(s32s({16, 7, -23, -30}));
  EXPECT_TRUE(e.supportsZrle);
  EXPECT_TRUE(e.supportsTight);
  EXPECT_EQ(e.qualityLevel, 2);
  EXPECT_FALSE(e.compressionLevel);
  EXPECT_EQ(ClientEncodings::parse({}), ClientEncodings{});
  EXPECT_EQ(ClientEncodings::parse(s32s({-33, -246, 0, 5, -224, -239})), ClientEncodings{});
  const auto levels = ClientEncodings::parse(s32s({-256, -32, -247}));
  EXPECT_EQ(levels.compressionLevel, 9);
  EXPECT_EQ(levels.qualityLevel, 0);
  EXPECT_EQ(reasonOf([] { ClientEncodings::parse(Bytes(6)); }), "set_encodings_bad_length");
}

TEST(RfbWire, RequestsFencesAndReader) {
  const auto request = FramebufferUpdateRequest::parse(hex("02 00 01 00 02 FF FF 00 04"));
  EXPECT_TRUE(request.incremental);
  EXPECT_EQ(request.rect, FrameRect(1, 2, 65535, 4));
  EXPECT_FALSE(FramebufferUpdateRequest::parse(Bytes(9)).incremental);
  EXPECT_EQ(reasonOf([] { FramebufferUpdateRequest::parse(Bytes(8)); }), "framebuffer_update_request_bad_length");

  EXPECT_EQ(ClientFenceHeader::parse(hex("00 00 00 80 00 00 01 40")).length, 64);
  EXPECT_EQ(ClientFenceHeader::parse(hex("00 00 00 80 00 00 01 40")).flags, 0x80000001u);
  EXPECT_EQ(reasonOf([] { ClientFenceHeader::parse(hex("00 00 00 00 00 00 00 41")); }),
            "client_fence_payload_too_large");
  EXPECT_EQ(reasonOf([] { ClientFenceHeader::parse(Bytes(9)); }), "client_fence_bad_header");

  const Bytes data = hex("01 02 03");
  RfbByteReader reader(data);
  EXPECT_EQ(reader.readU16(), 0x0102);
  EXPECT_EQ(reasonOf([&] { reader.read(2); }), "message_truncated");
  EXPECT_EQ(reader.readU8(), 3);  // the failed read did not advance
  EXPECT_EQ(rfbEncoding(16), RfbEncoding::zrle);
  EXPECT_FALSE(rfbEncoding(1));
  EXPECT_EQ(rawValue(RfbEncoding::tight), 7);
}

TEST(RfbHandshake, ServerMessages) {
  EXPECT_EQ(std::string(RfbHandshake::version.begin(), RfbHandshake::version.end()), "RFB 003.008\n");
  Bytes expected = hex("05 00 03 20 20 18 00 01 00 FF 00 FF 00 FF 10 08 00 00 00 00 00 00 00 02 61 62");
  EXPECT_EQ(RfbHandshake::serverInit(FrameSize(1280, 800), "ab"), expected);
  EXPECT_EQ(reasonOf([] { RfbHandshake::serverInit(FrameSize(65536, 1), "x"); }),
            "framebuffer_size_exceeds_rfb_limit");
  EXPECT_EQ(RfbHandshake::serverInit(FrameSize(65535, 65535), "").size(), 24u);

  const std::string refusal = "Only RFB 3.8 is supported";
  Bytes v38 = {0, 0, 0, 0, 25};
  v38.insert(v38.end(), refusal.begin(), refusal.end());
  Bytes v33 = {0, 0, 0, 0, 0, 0, 0, 25};
  v33.insert(v33.end(), refusal.begin(), refusal.end());
  const std::vector<std::pair<std::string, Bytes>> versions = {
      {"RFB 003.007\n", v38}, {"RFB 003.889\n", v38}, {"RFB 003.003\n", v33}, {"RFB 003.+03\n", v33},
      {"RFB 003.005\n", {}},  {"RFB 003.-07\n", {}},  {"RFB 004.008\n", {}},  {"RFB 003.0a8\n", {}},
      {"RFB 003.008 ", {}},
  };
  for (const auto& [text, bytes] : versions) EXPECT_EQ(RfbHandshake::versionRefusal(text), bytes) << text;

  EXPECT_EQ(RfbHandshake::unsupportedVersionReason("RFB 003.003\n"),
            "handshake_unsupported_version_\"RFB 003.003\\n\"");
  EXPECT_EQ(RfbHandshake::unsupportedVersionReason(std::string("a\r\t\0\"'\\\x01\x1f\x7f", 10)),
            "handshake_unsupported_version_\"a\\r\\t\\0\\\"\\'\\\\\\u{1}\\u{1f}\\u{7f}\"");
  EXPECT_EQ(RfbHandshake::clientVersionText(RfbHandshake::version), "RFB 003.008\n");
  EXPECT_EQ(reasonOf([] { RfbHandshake::clientVersionText(hex("52 46 42 80")); }), "handshake_bad_version");

  Bytes security = {0, 0, 0, 1, 0, 0, 0, 32};
  const std::string text = "Security type 2 is not supported";
  security.insert(security.end(), text.begin(), text.end());
  EXPECT_EQ(RfbHandshake::securityFailure(2), security);
}

TEST(RfbWire, FramebufferUpdate) {
  EXPECT_EQ(framebufferUpdate({}), hex("00 00 00 00"));
  const Bytes one = framebufferUpdate({{FrameRect(1, 2, 3, 4), RfbEncoding::zrle, {0xAA, 0xBB}}});
  EXPECT_EQ(one, hex("00 00 00 01 00 01 00 02 00 03 00 04 00 00 00 10 AA BB"));
  EXPECT_EQ(framebufferUpdate({{FrameRect(65535, 0, 1, 1), RfbEncoding::raw, {}}}).size(), 16u);
  for (const FrameRect& bad : {FrameRect(65535, 0, 2, 1), FrameRect(-1, 0, 1, 1), FrameRect(0, 65000, 1, 537),
                               FrameRect(0, 0, 65536, 1)})
    EXPECT_EQ(reasonOf([&] { framebufferUpdate({{FrameRect(0, 0, 1, 1), RfbEncoding::raw, {1}}, {bad, RfbEncoding::raw, {}}}); }),
              "framebuffer_rectangle_out_of_range");
  std::vector<EncodedRectangle> many(65536, {FrameRect(0, 0, 1, 1), RfbEncoding::raw, {}});
  EXPECT_EQ(reasonOf([&] { framebufferUpdate(many); }), "framebuffer_update_too_many_rectangles");
}

TEST(RfbClientMessages, ReadsEveryUnderstoodMessage) {
  Bytes stream;
  auto add = [&](std::string_view h) {
    const Bytes b = hex(h);
    stream.insert(stream.end(), b.begin(), b.end());
  };
  add("00 000000 20 18 00 01 00 FF 00 FF 00 FF 10 08 00 00 00 00");  // SetPixelFormat
  add("02 00 0002 00000010 FFFFFFE9");                                 // SetEncodings ZRLE, quality 9
  add("03 01 0000 0000 0500 0320");                                    // FramebufferUpdateRequest
  add("04 01 0000 0000FF0D");                                          // KeyEvent
  add("05 05 0010 0020");                                              // PointerEvent
  add("06 000000 FFFFFFFD 616263");                                    // ClientCutText, length -3
  add("96 01 0000 0000 0010 0010");                                    // EnableContinuousUpdates
  add("F8 000000 00000001 02 AAAA");                                   // ClientFence
  add("FB 00 0400 0300 01 00 00000001 00000000 04000300 00000000");    // SetDesktopSize, 1 screen
  const auto messages = readAll(stream);
  ASSERT_EQ(messages.size(), 9u);
  EXPECT_EQ(std::get<RfbPixelFormat>(messages[0]), RfbPixelFormat::zorvan);
  EXPECT_EQ(std::get<ClientEncodings>(messages[1]), (ClientEncodings{true, false, 9, std::nullopt}));
  EXPECT_EQ(std::get<FramebufferUpdateRequest>(messages[2]), (FramebufferUpdateRequest{true, FrameRect(0, 0, 1280, 800)}));
  EXPECT_EQ(std::get<RfbClientMessage::KeyEvent>(messages[3]), (RfbClientMessage::KeyEvent{true, 0xFF0D}));
  EXPECT_EQ(std::get<RfbClientMessage::PointerEvent>(messages[4]), (RfbClientMessage::PointerEvent{5, 16, 32}));
  for (std::size_t i = 5; i < 9; ++i) EXPECT_TRUE(std::holds_alternative<RfbClientMessage::Ignored>(messages[i]));
}

TEST(RfbClientMessages, RefusesBadInputBeforeReadingIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"01", "unknown_message_type_1"},
      {"FF", "unknown_message_type_255"},
      {"02 00 0401", "set_encodings_count_too_large"},
      {"06 000000 00100001", "client_cut_text_too_large"},
      {"06 000000 80000000", "client_cut_text_too_large"},
      {"F8 000000 00000000 41", "client_fence_payload_too_large"},
      {"00 000000 10 10 00 01 00 1F 00 3F 00 1F 0B 05 00 00 00 00", "set_pixel_format_requires_32bpp_true_color"},
      {"03 00 0000", "message_truncated"},
      {"02 00 0002 00000010", "message_truncated"},
      {"FB 00 0400 0300 02 00 00000001 00000000 04000300 00000000", "message_truncated"},
  };
  for (const auto& [h, reason] : cases) {
    std::size_t largest = 0;
    const Bytes bytes = hex(h);
    RfbByteReader reader(bytes);
    const std::string got = reasonOf([&] {
      const std::uint8_t type = reader.readU8();
      RfbClientMessage::read(type, [&](std::size_t n) {
        largest = std::max(largest, n);
        const ByteView v = reader.read(n);
        return Bytes(v.begin(), v.end());
      });
    });
    EXPECT_EQ(got, reason) << h;
    EXPECT_LE(largest, 32u) << h;  // an oversized length is refused before it is read
  }
  // The largest cut text that is allowed is read and dropped.
  Bytes cut = hex("06 000000 FFF00000");
  cut.resize(cut.size() + 0x100000);
  EXPECT_EQ(readAll(cut).size(), 1u);
}
