// The server in this process, real clients on its Unix socket.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "RfbTestPeers.hpp"
#include "desktopshare/RfbServer.hpp"
#include "support/RunLoop.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace desktopshare;
using namespace rfbtest;

namespace {

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::size_t entriesIn(const char* directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(directory)) ++n;
  return n;
}

class LogLines {
 public:
  RfbServer::Log sink() {
    return [this](const std::string& line) {
      std::lock_guard guard(lock_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(lock_);
    return lines_;
  }
  bool contains(const std::string& line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

class ServerTest : public ::testing::Test {
 protected:
  RfbServerConfiguration configuration(std::int64_t maxClients = 4, std::optional<std::int32_t> peer = {}) {
    return RfbServerConfiguration{socketPath_, maxClients, "test desk", peer};
  }
  std::unique_ptr<RfbServer> makeServer(RfbServerConfiguration c, RfbServer::ConnectionGuard guard = {}) {
    return std::make_unique<RfbServer>(std::move(c), source_, sink_, std::move(guard), log_.sink());
  }
  RawClient activeClient() {
    RawClient client = RawClient::connectTo(socketPath_);
    client.handshake();
    return client;
  }
  // A refused client sees its connection closed before any byte.
  bool refusedWithoutBytes() {
    RawClient client = RawClient::connectTo(socketPath_);
    Bytes received;
    return client.readToEnd(received) && received.empty();
  }

  testsupport::TempDir dir_;
  const std::string socketPath_ = dir_ / "desk.sock";
  ManualFrameSource source_{FrameSize(256, 128)};
  MemoryInputSink sink_;
  LogLines log_;
};

TEST_F(ServerTest, StartRefusesBadConfigurations) {
  testsupport::writeFile(dir_ / "taken", "keep me");
  struct Case {
    RfbServerConfiguration configuration;
    std::string reason;
  };
  const std::string longPath = dir_.path() + "/" + std::string(104 - dir_.path().size() - 1, 'p');
  ASSERT_EQ(longPath.size(), 104u);
  const std::vector<Case> cases = {
      {{"", 1, "d", {}}, "socket_path_required"},
      {{std::string("/tmp/a\0b", 8), 1, "d", {}}, "socket_path_contains_null"},
      {{socketPath_, 0, "d", {}}, "max_clients_must_be_positive"},
      {{dir_ / "taken", 1, "d", {}}, "socket_path_exists"},
      {{longPath, 1, "d", {}}, "socket_path_too_long"},
      {{dir_ / "missing/desk.sock", 1, "d", {}}, "socket_bind_2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    auto server = makeServer(c.configuration);
    try {
      server->start();
      ADD_FAILURE() << "started";
    } catch (const RfbProtocolError& e) {
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
  EXPECT_EQ(testsupport::readFile(dir_ / "taken"), "keep me");
  EXPECT_FALSE(std::filesystem::exists(longPath));
  EXPECT_EQ(entriesIn(dir_.path().c_str()), 1u);

  ManualFrameSource huge(FrameSize(65536, 1));
  RfbServer tooWide(configuration(), huge, sink_, {}, log_.sink());
  EXPECT_THROW(
      {
        try {
          tooWide.start();
        } catch (const RfbProtocolError& e) {
          EXPECT_EQ(e.reason(), "framebuffer_size_exceeds_rfb_limit");
          throw;
        }
      },
      RfbProtocolError);
}

TEST_F(ServerTest, SocketIsPrivateWhileRunningAndGoneAfterStop) {
  const std::string path = dir_.path() + "/" + std::string(103 - dir_.path().size() - 1, 's');
  ASSERT_EQ(path.size(), 103u);
  auto server = makeServer(RfbServerConfiguration{path, 2, "d", {}});
  server->start();
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  server->stop();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServerTest, StartsOnlyWhenStoppedAndCanStartAgain) {
  auto server = makeServer(configuration());
  server->start();
  try {
    server->start();
    ADD_FAILURE() << "started twice";
  } catch (const RfbProtocolError& e) {
    EXPECT_EQ(e.reason(), "server_already_started");
  }
  server->stop();
  server->stop();
  server->start();
  RawClient client = activeClient();
  client.send(updateRequest(false, 0, 0, 8, 8));
  EXPECT_EQ(client.readRawUpdate(), (std::vector<Rect>{{0, 0, 8, 8, 0}}));
  server->stop();
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ServerTest, ClientLimitClosesTheExtraClientWithoutBytes) {
  auto server = makeServer(configuration(2));
  server->start();
  RawClient first = activeClient();
  RawClient second = activeClient();
  EXPECT_TRUE(refusedWithoutBytes());
  EXPECT_TRUE(eventually([&] { return log_.contains("[desktop-share] connection not admitted: max_clients_reached"); }));
  first.close();
  // Once a viewer has left the next one is admitted.
  EXPECT_TRUE(eventually([&] {
    try {
      activeClient();
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }));
}

TEST_F(ServerTest, PeerProcessCheck) {
  {
    auto server = makeServer(configuration(4, ::getpid() + 1));
    server->start();
    EXPECT_TRUE(refusedWithoutBytes());
    EXPECT_TRUE(eventually([&] { return log_.contains("[desktop-share] connection not admitted: peer_pid_mismatch"); }));
    EXPECT_EQ(source_.starts(), 0);
  }
  auto server = makeServer(configuration(4, ::getpid()));
  server->start();
  EXPECT_NO_THROW(activeClient());
}

TEST_F(ServerTest, FrameSourceRunsWhileAnyViewerIsConnected) {
  auto server = makeServer(configuration());
  server->start();
  EXPECT_FALSE(source_.running());
  auto first = std::make_unique<RawClient>(activeClient());
  auto second = std::make_unique<RawClient>(activeClient());
  EXPECT_EQ(source_.starts(), 1);
  first.reset();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(source_.running());
  second.reset();
  EXPECT_TRUE(source_.waitUntilStopped(5s));
  EXPECT_EQ(source_.stops(), 1);
  // A new run starts a new store session: its first frame is served whole.
  RawClient third = activeClient();
  EXPECT_EQ(source_.starts(), 2);
  third.send(updateRequest(true, 0, 0, 256, 128));
  EXPECT_EQ(third.readRawUpdate(), (std::vector<Rect>{{0, 0, 256, 128, 0}}));
  EXPECT_TRUE(log_.lines().empty()) << "normal disconnects are not logged";
}

TEST_F(ServerTest, GuardRefusalAtAdmissionAndMidSession) {
  std::atomic<int> refusal{-1};  // -1: allowed, else a SessionGuardRefusal
  auto server = makeServer(configuration(), [&]() -> std::optional<SessionGuardRefusal> {
    const int r = refusal.load();
    if (r < 0) return std::nullopt;
    return static_cast<SessionGuardRefusal>(r);
  });
  refusal = static_cast<int>(SessionGuardRefusal::noGuiSession);
  server->start();
  EXPECT_TRUE(refusedWithoutBytes());
  EXPECT_TRUE(eventually([&] { return log_.contains("[desktop-share] connection not admitted: connection_refused_no_gui_session"); }));
  EXPECT_EQ(source_.starts(), 0);

  refusal = -1;
  RawClient first = activeClient();
  RawClient second = activeClient();
  refusal = static_cast<int>(SessionGuardRefusal::sessionLocked);
  Bytes rest;
  EXPECT_TRUE(first.readToEnd(rest, 3s));
  EXPECT_TRUE(second.readToEnd(rest, 3s));
  EXPECT_TRUE(log_.contains("[desktop-share] session guard refused mid-session (session_locked); disconnecting viewers"));
  EXPECT_TRUE(source_.waitUntilStopped(5s));
  EXPECT_TRUE(refusedWithoutBytes());
  EXPECT_TRUE(eventually([&] { return log_.contains("[desktop-share] connection not admitted: connection_refused_session_locked"); }));

  refusal = -1;
  EXPECT_NO_THROW(activeClient());
}

// A source may deliver a frame after its stop() has returned, even after the server is gone.
TEST_F(ServerTest, AFrameDeliveredAfterTheServerIsGoneIsHarmless) {
  class LateSource final : public FrameSource {
   public:
    FrameSize size() const override { return FrameSize(64, 64); }
    void start(FrameCallback onFrame, ResizeCallback) override { late = std::move(onFrame); }
    void stop() override {}  // keeps the callback, as a frame already in production would
    FrameCallback late;
  } source;
  {
    RfbServer server(configuration(), source, sink_, {}, log_.sink());
    server.start();
    activeClient();
  }
  ASSERT_TRUE(source.late);
  source.late(Frame(FramePixels(std::vector<std::uint8_t>(64 * 64 * 4), FrameSize(64, 64)), FrameSize(64, 64), {}, 1));
}

TEST_F(ServerTest, StopEndsViewersClosesTheirSessionsAndIsIdempotent) {
  auto server = makeServer(configuration());
  server->start();
  RawClient first = activeClient();
  RawClient second = activeClient();
  const auto began = std::chrono::steady_clock::now();
  server->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
  Bytes rest;
  EXPECT_TRUE(first.readToEnd(rest));
  EXPECT_TRUE(second.readToEnd(rest));
  EXPECT_EQ(sink_.opened(), 2);
  EXPECT_EQ(sink_.closed(), 2);
  EXPECT_FALSE(source_.running());
  EXPECT_FALSE(std::filesystem::exists(socketPath_));
  const auto again = std::chrono::steady_clock::now();
  server->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - again, 100ms);
}

TEST_F(ServerTest, RunOnTheMainThreadKeepsItsRunLoopTurning) {
  auto server = makeServer(configuration());
  support::RunLoop& mainLoop = support::RunLoop::current();
  std::atomic<bool> ranOnMain{false};
  std::thread other([&] {
    std::this_thread::sleep_for(100ms);
    mainLoop.post([&] {
      ranOnMain = true;
      server->stop();
    });
  });
  server->run();
  other.join();
  EXPECT_TRUE(ranOnMain);
}

// Counts the updates a well-behaved viewer receives while the test does other things.
class Watcher {
 public:
  explicit Watcher(const std::string& path) : client_(RawClient::connectTo(path)) {
    client_.handshake();
    thread_ = std::thread([this] {
      try {
        for (;;) {
          client_.send(updateRequest(true, 0, 0, 0xFFFF, 0xFFFF));
          client_.readRawUpdate(nullptr, 5s);
          ++updates_;
        }
      } catch (const std::exception&) {
      }
    });
  }
  ~Watcher() {
    ::shutdown(client_.fd(), SHUT_RDWR);
    thread_.join();
  }
  int updates() const { return updates_; }
  // True when at least `count` more updates arrive.
  bool receives(int count) {
    const int from = updates_;
    return eventually([&] { return updates_ >= from + count; }, 5s);
  }

 private:
  RawClient client_;
  std::atomic<int> updates_{0};
  std::thread thread_;
};

TEST_F(ServerTest, BadClientsEndOnlyTheirOwnConnection) {
  SyntheticFrameSource synthetic(FrameSize(320, 240), 60);
  RfbServer server(configuration(16), synthetic, sink_, {}, log_.sink());
  server.start();
  Watcher watcher(socketPath_);
  ASSERT_TRUE(watcher.receives(3));
  constexpr int later = 10;

  auto versionClient = [&](const Bytes& version) {
    RawClient c = RawClient::connectTo(socketPath_);
    c.read(12);
    c.send(version);
    Bytes rest;
    EXPECT_TRUE(c.readToEnd(rest));
  };
  versionClient(text("RFB 003.003\n"));
  versionClient(text("RFB 003.007\n"));
  versionClient(text("HELLO WORLD!"));
  {
    RawClient c = RawClient::connectTo(socketPath_);
    c.read(12);
    c.send(text("RFB 003.008\n"));
    c.read(2);
    c.send({2});
    Bytes rest;
    EXPECT_TRUE(c.readToEnd(rest));
  }
  for (const Bytes& message : {Bytes{2, 0, 0xFF, 0xFF}, Bytes{6, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF}, Bytes{77}}) {
    RawClient c = activeClient();
    c.send(message);
    Bytes rest;
    EXPECT_TRUE(c.readToEnd(rest));
  }
  {  // truncated: half a request, then gone
    RawClient c = activeClient();
    c.send({3, 0, 0, 0});
  }
  {  // gone in the middle of a large update
    RawClient c = activeClient();
    c.send(updateRequest(false, 0, 0, 320, 240));
    c.read(100);
  }
  // A viewer that asks and never reads: its writes block, nobody else's do.
  RawClient stalled = activeClient();
  for (int i = 0; i < 50; ++i) stalled.send(updateRequest(false, 0, 0, 320, 240));
  EXPECT_TRUE(watcher.receives(later));

  EXPECT_TRUE(eventually([&] {
    const auto lines = log_.lines();
    for (const char* expected :
         {"[desktop-share] connection closed: handshake_unsupported_version_\"RFB 003.003\\n\"",
          "[desktop-share] connection closed: handshake_unsupported_version_\"RFB 003.007\\n\"",
          "[desktop-share] connection closed: handshake_unsupported_version_\"HELLO WORLD!\"",
          "[desktop-share] connection closed: handshake_unexpected_security_type_2",
          "[desktop-share] connection closed: set_encodings_count_too_large",
          "[desktop-share] connection closed: client_cut_text_too_large",
          "[desktop-share] connection closed: unknown_message_type_77"})
      if (std::find(lines.begin(), lines.end(), expected) == lines.end()) return false;
    return true;
  }));
  // The stalled viewer does not hold up stop().
  const auto began = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
}

TEST_F(ServerTest, SoakLeavesNoDescriptorOrThreadBehind) {
  ManualFrameSource small(FrameSize(64, 64));
  // Room for connections whose teardown lags a quick reconnect on a loaded machine.
  RfbServer server(configuration(1000), small, sink_, {}, log_.sink());
  server.start();
  // Warm up once so lazily created process-wide resources are counted in the baseline.
  {
    RawClient c = activeClient();
    c.send(updateRequest(false, 0, 0, 64, 64));
    c.readRawUpdate();
  }
  ASSERT_TRUE(eventually([&] { return !small.running(); }));
  const std::size_t fds = entriesIn("/proc/self/fd");
  const std::size_t threads = entriesIn("/proc/self/task");

  constexpr int workers = 4, cyclesPerWorker = 500;
  std::atomic<int> completed{0};
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&] {
      for (int i = 0; i < cyclesPerWorker; ++i) {
        try {
          RawClient c = activeClient();
          c.send(updateRequest(false, 0, 0, 64, 64));
          c.readRawUpdate();
          ++completed;
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what() << (log_.lines().empty() ? "" : "; last log line: " + log_.lines().back());
          return;
        }
      }
    });
  }
  for (auto& t : pool) t.join();
  EXPECT_EQ(completed, workers * cyclesPerWorker);
  EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/fd") <= fds && entriesIn("/proc/self/task") <= threads; }))
      << "descriptors " << entriesIn("/proc/self/fd") << " (was " << fds << "), threads "
      << entriesIn("/proc/self/task") << " (was " << threads << ")";
  EXPECT_EQ(sink_.opened(), sink_.closed());
  EXPECT_TRUE(log_.lines().empty()) << log_.lines().front();
  server.stop();
}

}  // namespace
