// End-to-end decoding by libvncclient: a minimal server on a Unix socket runs the handshake,
// reads the client's messages with our parsers and answers its update requests with our
// encoders; libvncclient's own Raw, ZRLE and Tight decoders paint its framebuffer, which must
// match the frame.
#include <gtest/gtest.h>
#include <rfb/rfbclient.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "TestImages.hpp"
#include "desktopshare/RfbEncoders.hpp"

using namespace desktopshare;
using desktopshare::testing::desktopLikeFrame;
using desktopshare::testing::expectedValue;

namespace {

void quiet(const char*, ...) {}

void writeAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw RfbProtocolError("socket_write");
    done += static_cast<std::size_t>(n);
  }
}

Bytes readExactly(int fd, std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, out.data() + done, count - done);
    if (n <= 0) throw RfbProtocolError("connection_closed");
    done += static_cast<std::size_t>(n);
  }
  return out;
}

// Serves `updates` full-frame updates, one per FramebufferUpdateRequest, each as the given
// rectangles (several rectangles and updates exercise the persistent ZRLE stream).
class MiniServer {
 public:
  MiniServer(const Frame& frame, std::vector<FrameRect> rects, int updates)
      : frame_(frame), rects_(std::move(rects)), updates_(updates) {
    char pattern[] = "/tmp/desktopshare-vnc-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = (dir_ / "s").string();
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~MiniServer() {
    thread_.join();
    ::close(listener_);
    std::filesystem::remove_all(dir_);
  }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  RfbPixelFormat clientFormat() const { return format_; }
  std::vector<RfbEncoding> sentEncodings() const { return sent_; }

 private:
  void serve() {
    const int fd = ::accept(listener_, nullptr, nullptr);
    try {
      writeAll(fd, Bytes(RfbHandshake::version.begin(), RfbHandshake::version.end()));
      readExactly(fd, 12);
      writeAll(fd, Bytes(RfbHandshake::securityTypes.begin(), RfbHandshake::securityTypes.end()));
      readExactly(fd, 1);
      writeAll(fd, Bytes(RfbHandshake::securityResult.begin(), RfbHandshake::securityResult.end()));
      readExactly(fd, 1);
      writeAll(fd, RfbHandshake::serverInit(frame_.size(), "test"));
      RfbEncoderSession encoder;
      ClientEncodings encodings;
      // Serve until the client hangs up: closing first with its requests unread would reset
      // the connection under the last update.
      for (int sent = 0;;) {
        const auto message = RfbClientMessage::read(readExactly(fd, 1)[0], [&](std::size_t n) { return readExactly(fd, n); });
        if (const auto* f = std::get_if<RfbPixelFormat>(&message)) format_ = *f;
        if (const auto* e = std::get_if<ClientEncodings>(&message)) encodings = *e;
        if (std::holds_alternative<FramebufferUpdateRequest>(message) && sent < updates_) {
          const auto rectangles = encoder.encode(frame_, rects_, encodings, format_);
          for (const auto& r : rectangles) sent_.push_back(r.encoding);
          writeAll(fd, framebufferUpdate(rectangles));
          ++sent;
        }
      }
    } catch (const std::exception& e) {
      if (std::string(e.what()) != "connection_closed") error_ = e.what();
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  Frame frame_;
  std::vector<FrameRect> rects_;
  int updates_;
  std::filesystem::path dir_;
  std::string path_;
  int listener_ = -1;
  std::thread thread_;
  std::string error_;
  RfbPixelFormat format_ = RfbPixelFormat::zorvan;
  std::vector<RfbEncoding> sent_;
};

int finishedUpdates = 0;
void onFinished(rfbClient*) { ++finishedUpdates; }

struct ClientSetup {
  const char* encodings;
  bool bigEndian;
  int redShift, greenShift, blueShift;
  int quality = 6;
};

// Runs libvncclient against the mini server and returns its framebuffer.
Bytes decodeWithVncClient(MiniServer& server, const ClientSetup& setup, int updates) {
  std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up must fail the test, not kill it
  if (!std::getenv("DESKTOPSHARE_VNC_LOG")) {
    rfbClientLog = quiet;
    rfbClientErr = quiet;
  }
  rfbClient* client = rfbGetClient(8, 3, 4);
  client->format.bigEndian = setup.bigEndian;
  client->format.redShift = static_cast<std::uint8_t>(setup.redShift);
  client->format.greenShift = static_cast<std::uint8_t>(setup.greenShift);
  client->format.blueShift = static_cast<std::uint8_t>(setup.blueShift);
  client->appData.encodingsString = setup.encodings;
  client->appData.qualityLevel = setup.quality;
  client->appData.enableJPEG = TRUE;
  std::free(client->serverHost);
  client->serverHost = strdup(server.path().c_str());
  client->FinishedFrameBufferUpdate = onFinished;
  finishedUpdates = 0;
  Bytes framebuffer;
  if (!rfbInitClient(client, nullptr, nullptr)) {  // frees the client on failure
    ADD_FAILURE() << "libvncclient could not connect";
    return framebuffer;
  }
  for (int round = 0; round < 200 && finishedUpdates < updates; ++round) {
    const int ready = WaitForMessage(client, 100000);
    if (ready < 0) break;
    if (ready > 0 && !HandleRFBServerMessage(client)) break;
    if (finishedUpdates < updates && ready > 0) SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, FALSE);
  }
  EXPECT_EQ(finishedUpdates, updates);
  framebuffer.assign(client->frameBuffer, client->frameBuffer + client->width * client->height * 4);
  // The cleanup leaves the framebuffer and the JPEG decoder to the application.
  std::free(client->frameBuffer);
  client->frameBuffer = nullptr;
#if defined(LIBVNCSERVER_HAVE_LIBZ) && defined(LIBVNCSERVER_HAVE_LIBJPEG)
  if (client->tjhnd) tjDestroy(client->tjhnd);
  client->tjhnd = nullptr;
#endif
  rfbClientCleanup(client);
  return framebuffer;
}


}  // namespace

TEST(VncClientDecoding, RawAndZrleAreExact) {
  const Frame frame = desktopLikeFrame(200, 130);
  const std::vector<FrameRect> rects = {FrameRect(0, 0, 200, 70), FrameRect(0, 70, 130, 60),
                                        FrameRect(130, 70, 70, 60), FrameRect(3, 3, 10, 10)};
  struct Case {
    ClientSetup setup;
    RfbEncoding expected;
  };
  const std::vector<Case> cases = {
      {{"raw", false, 16, 8, 0}, RfbEncoding::raw},   {{"raw", true, 16, 8, 0}, RfbEncoding::raw},
      {{"raw", false, 0, 8, 16}, RfbEncoding::raw},   {{"zrle raw", false, 16, 8, 0}, RfbEncoding::zrle},
      {{"zrle raw", false, 0, 8, 16}, RfbEncoding::zrle}, {{"zrle raw", false, 24, 16, 8}, RfbEncoding::zrle},
      // Big-endian ZRLE is left to the zlib-level test: libvncclient assembles big-endian
      // 3-byte pixels from the wrong bytes.
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.setup.encodings) + (c.setup.bigEndian ? " big-endian " : " little-endian ") +
                 std::to_string(c.setup.redShift) + "/" + std::to_string(c.setup.greenShift) + "/" +
                 std::to_string(c.setup.blueShift));
    MiniServer server(frame, rects, 2);
    const Bytes decoded = decodeWithVncClient(server, c.setup, 2);
    EXPECT_EQ(server.error(), "");
    const auto sent = server.sentEncodings();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[0], c.expected);
    EXPECT_EQ(sent[3], RfbEncoding::raw);  // 10 × 10 is below the small-band threshold
    // Colour bits only: libvncclient's ZRLE decoder leaves junk in the byte without colour,
    // and paints pixels in host byte order whatever the client format's byte order.
    const bool hostOrder = c.expected == RfbEncoding::zrle;
    const std::uint32_t colourBits = 0xFFu << c.setup.redShift | 0xFFu << c.setup.greenShift | 0xFFu << c.setup.blueShift;
    ASSERT_EQ(decoded.size(), static_cast<std::size_t>(200 * 130 * 4));
    std::size_t mismatches = 0;
    for (std::int64_t i = 0; i < 200 * 130; ++i) {
      const BGRAPixel p = frame.pixels().pixel(i % 200, i / 200);
      const std::uint32_t want = expectedValue(p.red, p.green, p.blue, 255, 255, 255, c.setup.redShift,
                                               c.setup.greenShift, c.setup.blueShift);
      const std::uint8_t* d = decoded.data() + 4 * i;
      const bool big = c.setup.bigEndian && !hostOrder;
      const std::uint32_t got = big ? std::uint32_t{d[0]} << 24 | d[1] << 16 | d[2] << 8 | d[3]
                                    : std::uint32_t{d[3]} << 24 | d[2] << 16 | d[1] << 8 | d[0];
      if ((got & colourBits) != want && mismatches++ < 5)
        ADD_FAILURE() << "pixel " << i << " got " << std::hex << got << " want " << want;
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

TEST(VncClientDecoding, TightJpegIsClose) {
  const Frame frame = desktopLikeFrame(200, 130);
  for (int quality : {0, 6, 9}) {
    const ClientSetup setup{"tight raw", false, 16, 8, 0, quality};
    MiniServer server(frame, {frame.size().bounds()}, 1);
    const Bytes decoded = decodeWithVncClient(server, setup, 1);
    EXPECT_EQ(server.error(), "");
    ASSERT_EQ(server.sentEncodings(), std::vector<RfbEncoding>{RfbEncoding::tight});
    ASSERT_EQ(decoded.size(), static_cast<std::size_t>(200 * 130 * 4));
    double total = 0;
    for (std::int64_t i = 0; i < 200 * 130; ++i) {
      const BGRAPixel p = frame.pixels().pixel(i % 200, i / 200);
      const std::uint8_t* d = decoded.data() + 4 * i;  // blue, green, red in a 16/8/0 little-endian format
      total += std::abs(d[0] - p.blue) + std::abs(d[1] - p.green) + std::abs(d[2] - p.red);
    }
    const double mean = total / (3.0 * 200 * 130);
    EXPECT_LE(mean, quality == 0 ? 12.0 : quality == 6 ? 6.0 : 1.0) << "quality " << quality;
  }
}
