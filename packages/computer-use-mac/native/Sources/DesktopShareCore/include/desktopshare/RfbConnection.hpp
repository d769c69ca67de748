#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "desktopshare/DamageSet.hpp"
#include "desktopshare/FrameStore.hpp"
#include "desktopshare/InputSink.hpp"
#include "desktopshare/RfbEncoders.hpp"
#include "desktopshare/RfbProtocol.hpp"

namespace desktopshare {

// Blocking I/O on one connected stream socket. It never closes the descriptor: the server
// owns it, and other threads end a connection only with shutdown(2).
class RfbSocket {
 public:
  explicit RfbSocket(int descriptor) : descriptor_(descriptor) {}
  int descriptor() const { return descriptor_; }

  // Throws "connection_closed" at end of stream, "socket_read_<errno>" on failure.
  Bytes readExactly(std::size_t count);
  // Writes without raising SIGPIPE (a gone peer fails with EPIPE); throws
  // "socket_write_zero" or "socket_write_<errno>".
  void writeAll(ByteView data);
  // One message from several pieces, handed to the kernel as a gathered write so a large
  // update costs few system calls and no extra copy.
  void writeAll(std::span<const ByteView> parts);
  // True when a byte (or end of stream) can be read before the timeout; throws
  // "socket_poll_<errno>".
  bool waitUntilReadable(int timeoutMilliseconds);

 private:
  int descriptor_;
};

// Serves one RFB 3.8 client: handshake, then a single-threaded loop that pulls damage from
// the shared frame store, answers update requests and forwards input to the session.
class RfbConnection {
 public:
  // `wakeDescriptor`, when given, is an eventfd the server signals on every published frame,
  // so a pending request is answered as soon as a frame arrives rather than at the next poll.
  RfbConnection(int descriptor, FrameStore& frameStore, InputSession& inputSession, std::string desktopName,
                int wakeDescriptor = -1);
  RfbConnection(const RfbConnection&) = delete;
  RfbConnection& operator=(const RfbConnection&) = delete;

  // Only ends by throwing: RfbProtocolError("connection_closed") when the client goes away,
  // another RfbProtocolError for a protocol or socket failure, or the input session's or
  // encoder's own error.
  [[noreturn]] void serve();

  static constexpr int pollMilliseconds = 50;

 private:
  enum class Phase { version, security, clientInit, active };

  void handshake();
  void handleMessage(std::uint8_t type);
  void sendPendingUpdate();
  void writeFramebufferUpdate(const std::vector<EncodedRectangle>& rectangles);
  void pullChanges();
  // Waits for client bytes or a frame signal; true when the client has something to read.
  bool waitForClientOrFrame();

  int descriptor_;
  RfbSocket socket_;
  FrameStore& frameStore_;
  InputSession& inputSession_;
  std::string desktopName_;
  int wakeDescriptor_;
  RfbEncoderSession encoder_;
  Phase phase_ = Phase::version;
  RfbPixelFormat pixelFormat_ = RfbPixelFormat::zorvan;
  ClientEncodings encodings_;
  std::optional<FramebufferUpdateRequest> pendingRequest_;
  DamageSet pendingDamage_;
  std::optional<std::uint64_t> observedSequence_;
  std::optional<Frame> currentFrame_;
};

}  // namespace desktopshare
