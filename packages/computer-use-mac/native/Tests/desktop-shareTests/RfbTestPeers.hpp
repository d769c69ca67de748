#pragma once
// Test peers of the RFB server: a byte-level client that can misbehave on purpose, a frame
// source driven by hand, and an input sink that keeps what it receives.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "desktopshare/FrameSource.hpp"
#include "desktopshare/InputSink.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "support/Fd.hpp"

namespace rfbtest {

using desktopshare::Bytes;
using namespace std::chrono_literals;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void putU16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void putU32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline std::uint32_t getU16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
inline std::uint32_t getU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline Bytes updateRequest(bool incremental, std::uint16_t x, std::uint16_t y, std::uint16_t w, std::uint16_t h) {
  Bytes b = {3, static_cast<std::uint8_t>(incremental ? 1 : 0)};
  putU16(b, x);
  putU16(b, y);
  putU16(b, w);
  putU16(b, h);
  return b;
}

inline Bytes setEncodings(const std::vector<std::int32_t>& encodings) {
  Bytes b = {2, 0};
  putU16(b, static_cast<std::uint32_t>(encodings.size()));
  for (auto e : encodings) putU32(b, static_cast<std::uint32_t>(e));
  return b;
}

struct Rect {
  std::uint32_t x, y, w, h;
  std::int32_t encoding;
  bool operator==(const Rect&) const = default;
};

// A client speaking raw bytes over one stream socket; every read has a deadline so that a
// server that never answers fails the test instead of hanging it.
class RawClient {
 public:
  explicit RawClient(support::UniqueFd fd) : fd_(std::move(fd)) {}

  static RawClient connectTo(const std::string& path) {
    support::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("connect failed: " + std::string(std::strerror(errno)));
    return RawClient(std::move(fd));
  }

  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  void send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // Exactly `count` bytes; throws "eof" or "timeout".
  Bytes read(std::size_t count, std::chrono::milliseconds timeout = 10s) {
    Bytes out(count);
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (done < count) {
      if (!waitReadable(deadline)) throw std::runtime_error("timeout");
      const ssize_t n = ::recv(fd_.get(), out.data() + done, count - done, 0);
      if (n == 0) throw std::runtime_error("eof");
      if (n < 0) {
        if (errno == EINTR) continue;
        throw std::runtime_error("eof");  // ECONNRESET and the like: the server dropped us
      }
      done += static_cast<std::size_t>(n);
    }
    return out;
  }

  // Everything that arrives until end of stream (true) or until `quiet` passes with
  // nothing new (false).
  bool readToEnd(Bytes& out, std::chrono::milliseconds quiet = 2s) {
    for (;;) {
      if (!waitReadable(std::chrono::steady_clock::now() + quiet)) return false;
      std::uint8_t buffer[65536];
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return true;
      out.insert(out.end(), buffer, buffer + n);
    }
  }

  // True when nothing arrives within `wait`.
  bool silentFor(std::chrono::milliseconds wait) { return !waitReadable(std::chrono::steady_clock::now() + wait); }

  // Version, security None, ClientInit; returns the ServerInit message.
  Bytes handshake() {
    const Bytes version = read(12);
    if (version != text("RFB 003.008\n")) throw std::runtime_error("unexpected server version");
    send(text("RFB 003.008\n"));
    if (read(2) != Bytes{1, 1}) throw std::runtime_error("unexpected security types");
    send({1});
    if (read(4) != Bytes{0, 0, 0, 0}) throw std::runtime_error("security failed");
    send({1});
    Bytes init = read(24);
    const Bytes name = read(getU32(init.data() + 20));
    init.insert(init.end(), name.begin(), name.end());
    return init;
  }

  // One FramebufferUpdate whose rectangles are all Raw in the server's 32-bit format.
  std::vector<Rect> readRawUpdate(std::vector<Bytes>* payloads = nullptr, std::chrono::milliseconds timeout = 10s) {
    const Bytes header = read(4, timeout);
    if (header[0] != 0) throw std::runtime_error("not a FramebufferUpdate");
    std::vector<Rect> rects;
    for (std::uint32_t i = 0, n = getU16(header.data() + 2); i < n; ++i) {
      const Bytes r = read(12, timeout);
      Rect rect{getU16(r.data()), getU16(r.data() + 2), getU16(r.data() + 4), getU16(r.data() + 6),
                static_cast<std::int32_t>(getU32(r.data() + 8))};
      if (rect.encoding != 0) throw std::runtime_error("not a Raw rectangle");
      Bytes payload = read(std::size_t{rect.w} * rect.h * 4, timeout);
      if (payloads) payloads->push_back(std::move(payload));
      rects.push_back(rect);
    }
    return rects;
  }

 private:
  bool waitReadable(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_.get(), POLLIN, 0};
      const int n = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
      if (n > 0) return true;
      if (n == 0) return false;
      if (errno != EINTR) return false;
    }
  }

  support::UniqueFd fd_;
};

// A frame source whose frames the test delivers; counts starts and stops.
class ManualFrameSource final : public desktopshare::FrameSource {
 public:
  explicit ManualFrameSource(desktopshare::FrameSize size) : size_(size) {}
  desktopshare::FrameSize size() const override { return size_; }
  void start(FrameCallback onFrame, ResizeCallback) override {
    FrameCallback first;
    {
      std::lock_guard guard(lock_);
      if (onFrame_) throw desktopshare::FrameSourceError(desktopshare::FrameSourceError::Kind::alreadyStarted);
      onFrame_ = std::move(onFrame);
      ++starts_;
      first = onFrame_;
    }
    if (deliverOnStart_) first(makeFrame());
  }
  void stop() override {
    std::lock_guard guard(lock_);
    if (onFrame_) ++stops_;
    onFrame_ = nullptr;
    changed_.notify_all();
  }
  // Delivers a frame of one colour with the given dirty rectangles; false when stopped.
  bool deliver(std::vector<desktopshare::FrameRect> dirty, std::uint8_t shade = 0) {
    FrameCallback callback;
    std::uint64_t sequence;
    {
      std::lock_guard guard(lock_);
      if (!onFrame_) return false;
      callback = onFrame_;
      sequence = next_++;
    }
    callback(frameOf(sequence, std::move(dirty), shade));
    return true;
  }
  int starts() const { std::lock_guard guard(lock_); return starts_; }
  int stops() const { std::lock_guard guard(lock_); return stops_; }
  bool running() const { std::lock_guard guard(lock_); return static_cast<bool>(onFrame_); }
  bool waitUntilStopped(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [this] { return !onFrame_; });
  }
  void deliverOnStart(bool on) { deliverOnStart_ = on; }

 private:
  desktopshare::Frame makeFrame() {
    std::uint64_t sequence;
    {
      std::lock_guard guard(lock_);
      sequence = next_++;
    }
    return frameOf(sequence, {size_.bounds()}, 0);
  }
  desktopshare::Frame frameOf(std::uint64_t sequence, std::vector<desktopshare::FrameRect> dirty, std::uint8_t shade) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size_.width() * size_.height() * 4), shade);
    return desktopshare::Frame(desktopshare::FramePixels(std::move(bytes), size_), size_, dirty, sequence);
  }

  const desktopshare::FrameSize size_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  FrameCallback onFrame_;  // guarded by lock_
  std::uint64_t next_ = 0;  // guarded by lock_
  int starts_ = 0, stops_ = 0;  // guarded by lock_
  bool deliverOnStart_ = true;
};

// Keeps every event of every session, in order, as text lines.
class MemoryInputSink final : public desktopshare::InputSink {
 public:
  std::unique_ptr<desktopshare::InputSession> open() override {
    std::lock_guard guard(lock_);
    ++opened_;
    return std::make_unique<Session>(*this);
  }
  std::vector<std::string> events() const { std::lock_guard guard(lock_); return events_; }
  int opened() const { std::lock_guard guard(lock_); return opened_; }
  int closed() const { std::lock_guard guard(lock_); return closed_; }
  void failKeys(bool fail) { std::lock_guard guard(lock_); failKeys_ = fail; }

 private:
  class Session final : public desktopshare::InputSession {
   public:
    explicit Session(MemoryInputSink& sink) : sink_(sink) {}
    void pointer(const desktopshare::PointerInput& e) override {
      sink_.add("pointer " + std::to_string(e.x) + " " + std::to_string(e.y) + " " + std::to_string(e.buttonMask));
    }
    void key(const desktopshare::KeyInput& e) override {
      {
        std::lock_guard guard(sink_.lock_);
        if (sink_.failKeys_) throw std::runtime_error("key_rejected");
      }
      sink_.add("key " + std::to_string(e.keysym) + (e.down ? " down" : " up"));
    }
    void close() noexcept override {
      std::lock_guard guard(sink_.lock_);
      ++sink_.closed_;
    }

   private:
    MemoryInputSink& sink_;
  };
  void add(std::string line) {
    std::lock_guard guard(lock_);
    events_.push_back(std::move(line));
  }

  mutable std::mutex lock_;
  std::vector<std::string> events_;
  int opened_ = 0, closed_ = 0;
  bool failKeys_ = false;
};

}  // namespace rfbtest
