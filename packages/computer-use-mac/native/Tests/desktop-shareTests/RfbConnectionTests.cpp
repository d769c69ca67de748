// One connection served over a socketpair: the test is the client, byte by byte.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "RfbTestPeers.hpp"
#include "desktopshare/RfbConnection.hpp"

using namespace desktopshare;
using namespace rfbtest;

namespace {

Frame solidFrame(FrameSize size, std::uint64_t sequence, std::vector<FrameRect> dirty, std::uint8_t shade = 7) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.width() * size.height() * 4), shade);
  return Frame(FramePixels(std::move(bytes), size), size, dirty, sequence);
}

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    client_ = std::make_unique<RawClient>(support::UniqueFd(fds[0]));
    serverFd_ = support::UniqueFd(fds[1]);
    thread_ = std::thread([this] {
      try {
        RfbConnection connection(serverFd_.get(), store_, *session_, "ab");
        connection.serve();
      } catch (const std::exception& e) {
        reason_ = e.what();
      }
      // What the server does after serve() ends: the client sees the end of the stream.
      ::shutdown(serverFd_.get(), SHUT_RDWR);
    });
  }
  ~ConnectionTest() override {
    ::shutdown(serverFd_.get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
  }

  // Waits for serve() to end and returns its error text.
  std::string finish() {
    if (thread_.joinable()) thread_.join();
    return reason_;
  }
  void publish(std::vector<FrameRect> dirty, std::uint8_t shade = 7) {
    store_.publish(solidFrame(size_, sequence_++, std::move(dirty), shade), token_);
  }
  void activeWithFirstFrame() {
    client_->handshake();
    publish({size_.bounds()});
    client_->send(updateRequest(false, 0, 0, 1280, 800));
    client_->readRawUpdate();
  }

  const FrameSize size_{1280, 800};
  FrameStore store_{size_, 32};
  const std::uint64_t token_ = store_.reset();
  std::uint64_t sequence_ = 0;
  MemoryInputSink sink_;
  std::unique_ptr<InputSession> session_ = sink_.open();
  std::unique_ptr<RawClient> client_;
  support::UniqueFd serverFd_;
  std::thread thread_;
  std::string reason_;
};

TEST_F(ConnectionTest, HandshakeSendsVersionSecurityResultAndServerInit) {
  EXPECT_EQ(client_->handshake(), RfbHandshake::serverInit(size_, "ab"));
  publish({size_.bounds()});
  client_->send(updateRequest(false, 5, 6, 10, 10));
  std::vector<Bytes> payloads;
  EXPECT_EQ(client_->readRawUpdate(&payloads), (std::vector<Rect>{{5, 6, 10, 10, 0}}));
  EXPECT_EQ(payloads[0].size(), 400u);
  EXPECT_EQ((Bytes(payloads[0].begin(), payloads[0].begin() + 4)), (Bytes{7, 7, 7, 0}));
}

struct VersionCase {
  const char* name;
  Bytes version;
  Bytes answer;
  std::string reason;
};

Bytes refusal(std::initializer_list<std::uint8_t> head) {
  Bytes b(head);
  putU32(b, 25);
  const Bytes reason = text("Only RFB 3.8 is supported");
  b.insert(b.end(), reason.begin(), reason.end());
  return b;
}

class VersionTest : public ConnectionTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, UnsupportedVersionsAreRefusedInTheirOwnForm) {
  const VersionCase& c = GetParam();
  ASSERT_EQ(client_->read(12), text("RFB 003.008\n"));
  client_->send(c.version);
  Bytes answer;
  EXPECT_TRUE(client_->readToEnd(answer));
  EXPECT_EQ(answer, c.answer);
  EXPECT_EQ(finish(), c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionTest,
    ::testing::Values(
        VersionCase{"v37", text("RFB 003.007\n"), refusal({0}), "handshake_unsupported_version_\"RFB 003.007\\n\""},
        VersionCase{"v33", text("RFB 003.003\n"), refusal({0, 0, 0, 0}),
                    "handshake_unsupported_version_\"RFB 003.003\\n\""},
        VersionCase{"v35", text("RFB 003.005\n"), {}, "handshake_unsupported_version_\"RFB 003.005\\n\""},
        VersionCase{"garbage", text("GET / HTTP/1"), {}, "handshake_unsupported_version_\"GET / HTTP/1\""},
        VersionCase{"notAscii", Bytes{'R', 'F', 'B', ' ', '0', '0', '3', '.', '0', '0', 0x80, '\n'}, {},
                    "handshake_bad_version"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, OtherSecurityTypeIsRefusedWithAReason) {
  client_->read(12);
  client_->send(text("RFB 003.008\n"));
  EXPECT_EQ(client_->read(2), (Bytes{1, 1}));
  client_->send({2});
  Bytes answer;
  EXPECT_TRUE(client_->readToEnd(answer));
  Bytes expected = {0, 0, 0, 1, 0, 0, 0, 32};
  const Bytes reason = text("Security type 2 is not supported");
  expected.insert(expected.end(), reason.begin(), reason.end());
  EXPECT_EQ(answer, expected);
  EXPECT_EQ(finish(), "handshake_unexpected_security_type_2");
}

TEST_F(ConnectionTest, RequestsAreClippedToTheFrame) {
  activeWithFirstFrame();
  client_->send(updateRequest(false, 0, 0, 10000, 10000));
  // Bands of 396 rows for a 1280-pixel width, and nothing beyond the frame.
  EXPECT_EQ(client_->readRawUpdate(),
            (std::vector<Rect>{{0, 0, 1280, 396, 0}, {0, 396, 1280, 396, 0}, {0, 792, 1280, 8, 0}}));
  client_->send(updateRequest(false, 2000, 0, 10, 10));
  EXPECT_EQ(client_->read(4), (Bytes{0, 0, 0, 0}));
}

TEST_F(ConnectionTest, FirstRequestWaitsForTheFirstFrameAndCoversItWhole) {
  client_->handshake();
  client_->send(updateRequest(true, 0, 0, 1280, 800));
  EXPECT_TRUE(client_->silentFor(150ms));
  publish({});  // no dirty rectangles, but the store reports a full frame to a new client
  EXPECT_EQ(client_->readRawUpdate(),
            (std::vector<Rect>{{0, 0, 1280, 396, 0}, {0, 396, 1280, 396, 0}, {0, 792, 1280, 8, 0}}));
}

TEST_F(ConnectionTest, IncrementalRequestWaitsForDamageInsideIt) {
  activeWithFirstFrame();
  client_->send(updateRequest(true, 0, 0, 64, 64));
  EXPECT_TRUE(client_->silentFor(150ms));
  publish({FrameRect(600, 600, 10, 10)});  // damage outside the request
  EXPECT_TRUE(client_->silentFor(150ms));
  publish({FrameRect(10, 10, 5, 5)});
  EXPECT_EQ(client_->readRawUpdate(), (std::vector<Rect>{{0, 0, 64, 64, 0}}));
  // The damage outside stays owed and goes with the next request that covers it.
  client_->send(updateRequest(true, 0, 0, 1280, 800));
  EXPECT_EQ(client_->readRawUpdate(), (std::vector<Rect>{{576, 576, 64, 64, 0}}));
}

TEST_F(ConnectionTest, IncrementalUpdatesCarryOnlyTheMissedDamage) {
  activeWithFirstFrame();
  // Three frames published while the client was busy collapse into one update.
  publish({FrameRect(0, 0, 10, 10)});
  publish({FrameRect(700, 100, 10, 10)});
  publish({FrameRect(70, 0, 10, 10)});
  client_->send(updateRequest(true, 0, 0, 1280, 800));
  EXPECT_EQ(client_->readRawUpdate(), (std::vector<Rect>{{0, 0, 128, 64, 0}, {640, 64, 128, 64, 0}}));
}

TEST_F(ConnectionTest, ALaterRequestReplacesAPendingOne) {
  activeWithFirstFrame();
  client_->send(updateRequest(true, 0, 0, 64, 64));  // pending: nothing changed there
  client_->send(updateRequest(false, 100, 100, 10, 10));
  EXPECT_EQ(client_->readRawUpdate(), (std::vector<Rect>{{100, 100, 10, 10, 0}}));
  publish({FrameRect(0, 0, 10, 10)});
  EXPECT_TRUE(client_->silentFor(200ms));  // the first request is gone
}

TEST_F(ConnectionTest, SetPixelFormatChangesLaterUpdates) {
  activeWithFirstFrame();
  RfbPixelFormat bigEndian = RfbPixelFormat::zorvan;
  bigEndian.bigEndian = true;
  Bytes message = {0, 0, 0, 0};
  const auto format = bigEndian.bytes();
  message.insert(message.end(), format.begin(), format.end());
  client_->send(message);
  client_->send(updateRequest(false, 0, 0, 1, 1));
  std::vector<Bytes> payloads;
  client_->readRawUpdate(&payloads);
  EXPECT_EQ(payloads[0], (Bytes{0, 7, 7, 7}));
}

// Messages the server reads and drops: a request sent right after must be answered, which
// shows that exactly the message's bytes were consumed.
TEST_F(ConnectionTest, IgnoredMessagesAreConsumedExactly) {
  activeWithFirstFrame();
  Bytes negativeCutText = {6, 0, 0, 0};
  putU32(negativeCutText, static_cast<std::uint32_t>(-5));
  negativeCutText.insert(negativeCutText.end(), 5, 'x');
  Bytes largestCutText = {6, 0, 0, 0};
  putU32(largestCutText, 1048576);
  largestCutText.insert(largestCutText.end(), 1048576, 'y');
  Bytes fence = {248, 0, 0, 0, 0, 0, 0, 1, 10};
  fence.insert(fence.end(), 10, 0xEE);
  Bytes desktopSize = {251, 0, 0x05, 0x00, 0x03, 0x20, 2, 0};
  desktopSize.insert(desktopSize.end(), 32, 0xDD);
  Bytes continuous = {150, 1, 0, 0, 0, 0, 0, 10, 0, 10};
  Bytes fullEncodings = setEncodings(std::vector<std::int32_t>(1024, 0));
  for (const Bytes* message : {&negativeCutText, &largestCutText, &fence, &desktopSize, &continuous, &fullEncodings}) {
    client_->send(*message);
    client_->send(updateRequest(false, 1, 2, 3, 4));
    EXPECT_EQ(client_->readRawUpdate(), (std::vector<Rect>{{1, 2, 3, 4, 0}}));
  }
}

struct FatalCase {
  const char* name;
  Bytes message;
  std::string reason;
};

class FatalMessageTest : public ConnectionTest, public ::testing::WithParamInterface<FatalCase> {};

// Each ends the connection before any further byte of the message is read.
TEST_P(FatalMessageTest, EndsTheConnection) {
  activeWithFirstFrame();
  client_->send(GetParam().message);
  EXPECT_EQ(finish(), GetParam().reason);
  Bytes rest;
  EXPECT_TRUE(client_->readToEnd(rest));
  EXPECT_TRUE(rest.empty());
}

Bytes cutTextHeader(std::uint32_t length) {
  Bytes b = {6, 0, 0, 0};
  putU32(b, length);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FatalMessageTest,
    ::testing::Values(FatalCase{"type1", {1}, "unknown_message_type_1"},
                      FatalCase{"type200", {200, 0, 0, 0}, "unknown_message_type_200"},
                      FatalCase{"encodings1025", {2, 0, 0x04, 0x01}, "set_encodings_count_too_large"},
                      FatalCase{"cutText", cutTextHeader(1048577), "client_cut_text_too_large"},
                      FatalCase{"fence65", {248, 0, 0, 0, 0, 0, 0, 0, 65}, "client_fence_payload_too_large"},
                      FatalCase{"pixelFormat16", {0, 0, 0, 0, 16, 16, 0, 1, 0, 31, 0, 63, 0, 31, 11, 5, 0, 0, 0, 0},
                                "set_pixel_format_requires_32bpp_true_color"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, ClientClosingMidMessageEndsWithConnectionClosed) {
  activeWithFirstFrame();
  client_->send({3, 0, 0});
  client_->close();
  EXPECT_EQ(finish(), "connection_closed");
}

TEST_F(ConnectionTest, ClientQuittingWithUpdatesUnreadCountsAsClosed) {
  activeWithFirstFrame();
  client_->send(updateRequest(false, 0, 0, 64, 64));
  std::this_thread::sleep_for(50ms);  // the update now sits unread on the client's side
  client_->close();                   // which resets the stream rather than closing it
  EXPECT_EQ(finish(), "connection_closed");
}

TEST_F(ConnectionTest, ShutdownFromAnotherThreadEndsTheConnection) {
  activeWithFirstFrame();
  ::shutdown(serverFd_.get(), SHUT_RDWR);
  EXPECT_EQ(finish(), "connection_closed");
}

TEST_F(ConnectionTest, KeyAndPointerEventsReachTheSessionInOrder) {
  activeWithFirstFrame();
  client_->send({4, 1, 0, 0, 0, 0, 0, 97});                 // 'a' down
  client_->send({5, 1, 0x01, 0x02, 0x03, 0x04});            // left button at (258, 772)
  client_->send({4, 0, 0, 0, 0, 0, 0xFF, 0x0D});            // Return up
  client_->send(updateRequest(false, 0, 0, 1, 1));          // a round trip: all were handled
  client_->readRawUpdate();
  EXPECT_EQ(sink_.events(), (std::vector<std::string>{"key 97 down", "pointer 258 772 1", "key 65293 up"}));
}

TEST_F(ConnectionTest, InputSessionErrorsEndTheConnectionWithTheirText) {
  activeWithFirstFrame();
  sink_.failKeys(true);
  client_->send({4, 1, 0, 0, 0, 0, 0, 97});
  EXPECT_EQ(finish(), "key_rejected");
}

}  // namespace
