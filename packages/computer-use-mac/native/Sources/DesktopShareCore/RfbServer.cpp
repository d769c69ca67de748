#include "desktopshare/RfbServer.hpp"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "desktopshare/RfbConnection.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "support/RunLoop.hpp"

namespace desktopshare {

namespace {

[[noreturn]] void throwErrno(const char* prefix, int error) {
  throw RfbProtocolError(prefix + std::to_string(error));
}

// Big enough that a full-frame Raw update crosses the socket in a handful of wake-ups.
constexpr int clientSendBuffer = 4 << 20;

void writeToStderr(const std::string& line) {
  const std::string whole = line + "\n";
  std::size_t done = 0;
  while (done < whole.size()) {
    const ssize_t n = ::write(STDERR_FILENO, whole.data() + done, whole.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::optional<pid_t> peerProcessId(int descriptor) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
    return std::nullopt;
  return credentials.pid;
}

bool onMainThread() { return ::getpid() == static_cast<pid_t>(::syscall(SYS_gettid)); }

void joinUnlessSelf(std::thread& thread) {
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

}  // namespace

RfbServer::RfbServer(RfbServerConfiguration configuration, FrameSource& frameSource, InputSink& inputSink,
                     ConnectionGuard connectionGuard, Log log)
    : configuration_(std::move(configuration)),
      size_(frameSource.size()),
      frameSource_(frameSource),
      inputSink_(inputSink),
      connectionGuard_(std::move(connectionGuard)),
      log_(log ? std::move(log) : Log(writeToStderr)),
      fanout_(std::make_shared<FrameFanout>(frameSource.size())),
      frameStore_(fanout_->store) {}

RfbServer::~RfbServer() {
  stop();
  std::vector<std::thread> leftovers;
  {
    std::lock_guard guard(lock_);
    leftovers = std::move(finishedThreads_);
    if (acceptThread_.joinable()) leftovers.push_back(std::move(acceptThread_));
    if (guardThread_.joinable()) leftovers.push_back(std::move(guardThread_));
  }
  for (auto& t : leftovers) joinUnlessSelf(t);
  for (auto& t : leftovers)
    if (t.joinable()) t.detach();  // only when destroyed from one of its own threads
}

void RfbServer::start() {
  {
    std::lock_guard guard(lock_);
    if (state_ != State::stopped) throw RfbProtocolError("server_already_started");
    state_ = State::starting;
  }
  // Threads left by a stop() that ran on one of them.
  std::vector<std::thread> leftovers;
  {
    std::lock_guard guard(lock_);
    leftovers = std::move(finishedThreads_);
    finishedThreads_.clear();
    if (acceptThread_.joinable()) leftovers.push_back(std::move(acceptThread_));
    if (guardThread_.joinable()) leftovers.push_back(std::move(guardThread_));
  }
  for (auto& t : leftovers) {
    joinUnlessSelf(t);
    if (t.joinable()) {  // restarted from one of its own threads: joined later
      std::lock_guard guard(lock_);
      finishedThreads_.push_back(std::move(t));
    }
  }

  int listener = -1;
  try {
    const std::string& path = configuration_.socketPath;
    if (path.empty()) throw RfbProtocolError("socket_path_required");
    if (path.find('\0') != std::string::npos) throw RfbProtocolError("socket_path_contains_null");
    if (configuration_.maxClients < 1) throw RfbProtocolError("max_clients_must_be_positive");
    if (size_.width() > 0xFFFF || size_.height() > 0xFFFF)
      throw RfbProtocolError("framebuffer_size_exceeds_rfb_limit");

    // The server never deletes a file it did not create, a stale socket included.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) throw RfbProtocolError("socket_path_exists");
    if (errno != ENOENT) throwErrno("socket_path_lstat_", errno);

    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throwErrno("socket_create_", errno);
    // Writes to a gone peer fail with EPIPE: every send passes MSG_NOSIGNAL (Linux has no
    // per-socket SO_NOSIGPIPE).

    sockaddr_un address{};
    if (path.size() > 103) throw RfbProtocolError("socket_path_too_long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());

    // Bound under a umask that leaves the socket to its owner from its first moment: another
    // local user must not be able to connect in the window before the chmod below.
    const mode_t previousMask = ::umask(0177);
    const int bound = ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previousMask);
    if (bound != 0) throwErrno("socket_bind_", bindError);

    if (::chmod(path.c_str(), 0600) != 0) {
      const int error = errno;
      ::unlink(path.c_str());
      throwErrno("socket_chmod_", error);
    }
    const int backlog = static_cast<int>(std::min<std::int64_t>(configuration_.maxClients, INT_MAX));
    if (::listen(listener, backlog) != 0) {
      const int error = errno;
      ::unlink(path.c_str());
      throwErrno("socket_listen_", error);
    }
  } catch (...) {
    if (listener >= 0) ::close(listener);
    std::lock_guard guard(lock_);
    listener_ = -1;
    ownsSocketPath_ = false;
    state_ = State::stopped;
    condition_.notify_all();
    throw;
  }

  std::lock_guard guard(lock_);
  if (state_ != State::starting) {
    // stop() ran meanwhile and is finishing the server off; this start does not happen.
    ::close(listener);
    ::unlink(configuration_.socketPath.c_str());
    throw RfbProtocolError("server_stopping");
  }
  listener_ = listener;
  ownsSocketPath_ = true;
  state_ = State::running;
  condition_.notify_all();
  acceptThread_ = std::thread([this] { acceptLoop(); });
  if (connectionGuard_) guardThread_ = std::thread([this] { guardMonitor(); });
}

void RfbServer::acceptLoop() {
  int listener;
  {
    std::lock_guard guard(lock_);
    if (state_ != State::running || listener_ < 0) return;
    listener = listener_;
  }
  bool failed = false;
  for (;;) {
    const int descriptor = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (descriptor >= 0) {
      try {
        admit(descriptor);
      } catch (const std::exception& e) {
        writeLog(std::string("[desktop-share] connection not admitted: ") + e.what());
        ::close(descriptor);
      }
    } else if (errno != EINTR && errno != ECONNABORTED) {
      // ECONNABORTED is one client giving up in the queue, not a fault of the listener.
      failed = true;
      break;
    }
    joinFinishedThreads();
    std::lock_guard guard(lock_);
    if (state_ != State::running || listener_ < 0) return;
  }
  if (failed) {
    {
      std::lock_guard guard(lock_);
      if (state_ != State::running) return;
    }
    stop();
  }
}

std::optional<SessionGuardRefusal> RfbServer::evaluateGuard() const {
  if (!connectionGuard_) return std::nullopt;
  return connectionGuard_();
}

void RfbServer::admit(int descriptor) {
  if (configuration_.allowedPeerPid) {
    const auto peer = peerProcessId(descriptor);
    if (!peer || *peer != *configuration_.allowedPeerPid) throw RfbProtocolError("peer_pid_mismatch");
  }
  if (const auto refusal = evaluateGuard())
    throw RfbProtocolError("connection_refused_" + std::string(rawValue(*refusal)));

  std::uint64_t id;
  {
    std::unique_lock guard(lock_);
    if (state_ != State::running) throw RfbProtocolError("server_stopping");
    if (static_cast<std::int64_t>(connections_.size()) >= configuration_.maxClients)
      throw RfbProtocolError("max_clients_reached");
    if (!frameSourceActive_) {
      // First viewer: start the source outside the lock; admission is serial, so no other
      // start can race this one.
      frameSourceActive_ = true;
      frameSourceStarting_ = true;
      guard.unlock();
      const std::uint64_t token = frameStore_.reset();
      try {
        frameSource_.start([fanout = fanout_, token](const Frame& frame) { fanout->publish(frame, token); },
                           [](FrameSize) {});
      } catch (...) {
        guard.lock();
        frameSourceActive_ = false;
        frameSourceStarting_ = false;
        condition_.notify_all();
        throw;
      }
      const auto refusal = evaluateGuard();
      guard.lock();
      frameSourceStarting_ = false;
      if (state_ != State::running || refusal) {
        frameSourceActive_ = false;
        condition_.notify_all();
        guard.unlock();
        frameSource_.stop();
        if (refusal) throw RfbProtocolError("connection_refused_" + std::string(rawValue(*refusal)));
        throw RfbProtocolError("server_stopping");
      }
    }
    id = nextConnectionId_++;
    connections_.emplace(id, Connection{descriptor, -1, {}});
    condition_.notify_all();
  }

  std::unique_ptr<InputSession> session;
  int wake = -1;
  try {
    session = inputSink_.open();
    wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) throwErrno("eventfd_", errno);
  } catch (...) {
    // Not admitted after all: forget the viewer so the count and the source stay right.
    if (session) session->close();
    connectionEnded(id);
    throw;
  }
  const int sendBuffer = clientSendBuffer;
  ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);  // best effort
  {
    std::lock_guard guard(fanout_->wakeLock);
    fanout_->wakeDescriptors.push_back(wake);
  }
  std::lock_guard guard(lock_);
  Connection& connection = connections_.at(id);
  connection.wakeDescriptor = wake;
  // Created under the lock so the thread cannot reach connectionEnded before its handle is stored.
  connection.thread = std::thread([this, id, descriptor, wake, s = std::move(session)]() mutable {
    serveConnection(id, descriptor, wake, std::move(s));
  });
}

void RfbServer::serveConnection(std::uint64_t id, int descriptor, int wakeDescriptor,
                                std::unique_ptr<InputSession> session) {
  try {
    RfbConnection connection(descriptor, frameStore_, *session, configuration_.desktopName, wakeDescriptor);
    connection.serve();
  } catch (const RfbProtocolError& e) {
    if (e.reason() != "connection_closed") writeLog("[desktop-share] connection closed: " + e.reason());
  } catch (const std::exception& e) {
    writeLog(std::string("[desktop-share] connection closed: ") + e.what());
  }
  session->close();
  {
    std::lock_guard guard(fanout_->wakeLock);
    std::erase(fanout_->wakeDescriptors, wakeDescriptor);
  }
  ::close(wakeDescriptor);
  // The descriptor stays open until it has left the set, so a shutdown from another thread
  // can never hit a reused descriptor number.
  connectionEnded(id);
  ::close(descriptor);
}

void RfbServer::connectionEnded(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (it->second.thread.joinable()) finishedThreads_.push_back(std::move(it->second.thread));
  connections_.erase(it);
  if (connections_.empty() && frameSourceActive_ && !frameSourceStarting_) {
    frameSource_.stop();
    frameSourceActive_ = false;
  }
  condition_.notify_all();
}

void RfbServer::FrameFanout::publish(const Frame& frame, std::uint64_t session) {
  store.publish(frame, session);
  const std::uint64_t one = 1;
  std::lock_guard guard(wakeLock);
  for (int wake : wakeDescriptors) [[maybe_unused]] const ssize_t ignored = ::write(wake, &one, sizeof one);
}

void RfbServer::guardMonitor() {
  std::unique_lock guard(lock_);
  for (;;) {
    if (condition_.wait_for(guard, guardInterval, [this] { return state_ != State::running; })) return;
    if (connections_.empty()) continue;
    guard.unlock();
    const auto refusal = evaluateGuard();
    guard.lock();
    if (!refusal) continue;
    writeLog("[desktop-share] session guard refused mid-session (" + std::string(rawValue(*refusal)) +
             "); disconnecting viewers");
    // Under the lock, so no descriptor here can have been closed and reused meanwhile. The
    // connections end on their own; the listener stays open.
    for (const auto& [id, connection] : connections_) ::shutdown(connection.descriptor, SHUT_RDWR);
  }
}

void RfbServer::stop() {
  int listener;
  bool stopSource = false;
  bool ownedPath;
  {
    std::lock_guard guard(lock_);
    if (state_ == State::stopped || state_ == State::stopping) return;
    state_ = State::stopping;
    listener = std::exchange(listener_, -1);
    if (frameSourceActive_ && !frameSourceStarting_) {
      stopSource = true;
      frameSourceActive_ = false;
    }
    ownedPath = std::exchange(ownsSocketPath_, false);
    // Shut down under the lock: a descriptor in the set is still open (see serveConnection).
    for (const auto& [id, connection] : connections_) ::shutdown(connection.descriptor, SHUT_RDWR);
    condition_.notify_all();
  }
  const auto began = std::chrono::steady_clock::now();
  if (listener >= 0) ::shutdown(listener, SHUT_RDWR);  // wakes the accept loop
  if (stopSource) frameSource_.stop();
  if (ownedPath) ::unlink(configuration_.socketPath.c_str());

  std::thread acceptThread, guardThread;
  {
    std::lock_guard guard(lock_);
    acceptThread = std::move(acceptThread_);
    guardThread = std::move(guardThread_);
  }
  const bool onAcceptThread = acceptThread.joinable() && acceptThread.get_id() == std::this_thread::get_id();
  joinUnlessSelf(acceptThread);
  // Closed only once the accept loop is gone, so it never accepts on a reused number.
  if (listener >= 0) ::close(listener);
  joinUnlessSelf(guardThread);

  std::vector<std::thread> threads;
  {
    std::unique_lock guard(lock_);
    condition_.wait_until(guard, began + stopGrace,
                          [this] { return connections_.empty() && !frameSourceStarting_; });
    threads = std::move(finishedThreads_);
    finishedThreads_.clear();
    for (auto& [id, connection] : connections_)
      if (connection.thread.joinable()) threads.push_back(std::move(connection.thread));
    if (onAcceptThread) finishedThreads_.push_back(std::move(acceptThread));
    if (guardThread.joinable()) finishedThreads_.push_back(std::move(guardThread));
  }
  // Connections still running after the grace period have been shut down and end soon.
  for (auto& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      std::lock_guard guard(lock_);
      finishedThreads_.push_back(std::move(t));
    } else {
      t.join();
    }
  }
  std::lock_guard guard(lock_);
  state_ = State::stopped;
  condition_.notify_all();
}

void RfbServer::joinFinishedThreads() {
  std::vector<std::thread> finished;
  {
    std::lock_guard guard(lock_);
    finished = std::move(finishedThreads_);
    finishedThreads_.clear();
  }
  for (auto& t : finished) {
    joinUnlessSelf(t);
    if (t.joinable()) {
      std::lock_guard guard(lock_);
      finishedThreads_.push_back(std::move(t));
    }
  }
}

void RfbServer::run() {
  start();
  waitUntilStopped();
}

void RfbServer::waitUntilStopped() {
  std::unique_lock guard(lock_);
  if (!onMainThread()) {
    condition_.wait(guard, [this] { return state_ == State::stopped; });
    return;
  }
  // On the main thread its run loop keeps turning, so work posted there still runs.
  while (state_ != State::stopped) {
    guard.unlock();
    support::RunLoop::current().runOnce(std::chrono::milliseconds(50));
    guard.lock();
  }
}

void RfbServer::writeLog(const std::string& line) const { log_(line); }

}  // namespace desktopshare
