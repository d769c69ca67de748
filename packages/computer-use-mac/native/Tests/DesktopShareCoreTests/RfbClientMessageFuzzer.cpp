// Feeds arbitrary bytes to the parsers a client reaches: the 12-byte ProtocolVersion, then a
// stream of client messages read the way a connection reads its socket. Every input must end
// in a value or an RfbProtocolError, never a crash, an over-read or a huge allocation.
#include <cstddef>
#include <cstdint>

#include "desktopshare/RfbProtocol.hpp"

using namespace desktopshare;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RfbByteReader reader(ByteView(data, size));
  try {
    const ByteView version = reader.read(12);
    const std::string text = RfbHandshake::clientVersionText(version);
    (void)RfbHandshake::versionRefusal(text);
    (void)RfbHandshake::unsupportedVersionReason(text);
  } catch (const RfbProtocolError&) {
  }
  const auto readExactly = [&](std::size_t n) {
    const ByteView v = reader.read(n);
    return Bytes(v.begin(), v.end());
  };
  while (reader.remaining() > 0) {
    try {
      const auto message = RfbClientMessage::read(reader.readU8(), readExactly);
      if (const auto* format = std::get_if<RfbPixelFormat>(&message)) {
        // Accepted formats must convert any pixel without trouble.
        const std::uint8_t pixels[8] = {1, 2, 3, 4, 250, 128, 7, 0};
        std::uint8_t out[8];
        const RfbPixelConverter converter(*format);
        converter.convert(pixels, 2, out);
        if (converter.hasCompactForm()) converter.convertCompact(pixels, 2, out);
        (void)format->compactWireBytes(BGRAPixel{9, 8, 7, 6});
      }
    } catch (const RfbProtocolError&) {
      // A connection ends here; keep going to reach more of the parsers.
    }
  }
  try {
    (void)RfbPixelFormat::parse(ByteView(data, size < 16 ? size : 16));
    (void)ClientEncodings::parse(ByteView(data, size));
  } catch (const RfbProtocolError&) {
  }
  return 0;
}
