#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktopshare/FrameSource.hpp"
#include "desktopshare/FrameStore.hpp"
#include "desktopshare/InputSink.hpp"
#include "desktopshare/SessionGuard.hpp"

namespace desktopshare {

struct RfbServerConfiguration {
  std::string socketPath;
  std::int64_t maxClients;  // also the listen backlog
  std::string desktopName;  // sent in ServerInit
  std::optional<std::int32_t> allowedPeerPid;  // only this peer process is admitted
};

// Publishes the desktop to local RFB viewers on a Unix-domain socket. The frame source runs
// while at least one viewer is connected; a guard, when given, is asked at admission and
// every second while viewers are connected, and its refusal disconnects them all.
//
// Threads: one accept loop (admission is serial), one guard monitor, one per viewer. Every
// thread is joined by stop(), which the destructor calls.
class RfbServer {
 public:
  using ConnectionGuard = std::function<std::optional<SessionGuardRefusal>()>;
  // Receives each diagnostic line without its line feed; the default writes it to stderr.
  using Log = std::function<void(const std::string& line)>;

  // The frame source and the input sink must outlive the server.
  RfbServer(RfbServerConfiguration configuration, FrameSource& frameSource, InputSink& inputSink,
            ConnectionGuard connectionGuard = {}, Log log = {});
  ~RfbServer();
  RfbServer(const RfbServer&) = delete;
  RfbServer& operator=(const RfbServer&) = delete;

  const RfbServerConfiguration& configuration() const { return configuration_; }
  FrameSize size() const { return size_; }

  // Creates the socket (mode 0600, never accessible to others) and starts accepting; throws
  // RfbProtocolError and leaves the server stopped (and no socket file) on failure.
  void start();
  // start(), then waits until stopped.
  void run();
  // Idempotent and callable from any thread; returns once stopped. Viewers are shut down and
  // given up to 2 seconds to end; the socket file is removed.
  void stop();
  void waitUntilStopped();

  static constexpr int damageHistoryCapacity = 32;
  static constexpr std::chrono::seconds guardInterval{1};
  static constexpr std::chrono::seconds stopGrace{2};

 private:
  enum class State { stopped, starting, running, stopping };
  struct Connection {
    int descriptor;
    int wakeDescriptor;
    std::thread thread;
  };

  void acceptLoop();
  void admit(int descriptor);
  void serveConnection(std::uint64_t id, int descriptor, int wakeDescriptor, std::unique_ptr<InputSession> session);
  void connectionEnded(std::uint64_t id);
  void guardMonitor();
  void joinFinishedThreads();
  std::optional<SessionGuardRefusal> evaluateGuard() const;
  void writeLog(const std::string& line) const;

  const RfbServerConfiguration configuration_;
  const FrameSize size_;
  FrameSource& frameSource_;
  InputSink& inputSink_;
  const ConnectionGuard connectionGuard_;
  const Log log_;

  // The store and the eventfds of the running connections, signalled on every published
  // frame. Shared with the frame source's callback: a source may deliver a frame after its
  // stop() has returned, even after this server is gone. The wake list has a lock of its
  // own, so the source's thread never waits for the server lock.
  struct FrameFanout {
    explicit FrameFanout(FrameSize size) : store(size, damageHistoryCapacity) {}
    void publish(const Frame& frame, std::uint64_t session);
    FrameStore store;
    std::mutex wakeLock;
    std::vector<int> wakeDescriptors;  // guarded by wakeLock
  };
  const std::shared_ptr<FrameFanout> fanout_;
  FrameStore& frameStore_;

  mutable std::mutex lock_;
  std::condition_variable condition_;
  State state_ = State::stopped;                    // guarded by lock_
  int listener_ = -1;                               // guarded by lock_; >= 0 exactly while running
  bool ownsSocketPath_ = false;                     // guarded by lock_
  std::map<std::uint64_t, Connection> connections_;  // guarded by lock_; admitted, still running
  std::uint64_t nextConnectionId_ = 0;              // guarded by lock_
  bool frameSourceActive_ = false;                  // guarded by lock_
  bool frameSourceStarting_ = false;                // guarded by lock_
  std::thread acceptThread_;                        // guarded by lock_
  std::thread guardThread_;                         // guarded by lock_
  std::vector<std::thread> finishedThreads_;        // guarded by lock_; ended, not yet joined
};

}  // namespace desktopshare
