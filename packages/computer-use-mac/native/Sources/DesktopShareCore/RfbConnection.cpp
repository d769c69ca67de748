#include "desktopshare/RfbConnection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace desktopshare {

namespace {

[[noreturn]] void throwErrno(const char* prefix, int error) {
  throw RfbProtocolError(prefix + std::to_string(error));
}

void putU16(std::uint8_t* p, std::uint64_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void putU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

template <std::size_t N>
ByteView view(const std::array<std::uint8_t, N>& bytes) {
  return ByteView(bytes.data(), bytes.size());
}

}  // namespace

Bytes RfbSocket::readExactly(std::size_t count) {
  Bytes buffer(count);
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t n = ::read(descriptor_, buffer.data() + filled, count - filled);
    if (n == 0) throw RfbProtocolError("connection_closed");
    if (n < 0) {
      if (errno == EINTR) continue;
      // A viewer that quits with updates still unread resets the stream: it has left as
      // surely as one that closed cleanly.
      if (errno == ECONNRESET) throw RfbProtocolError("connection_closed");
      throwErrno("socket_read_", errno);
    }
    filled += static_cast<std::size_t>(n);
  }
  return buffer;
}

void RfbSocket::writeAll(ByteView data) {
  const ByteView parts[1] = {data};
  writeAll(std::span<const ByteView>(parts));
}

void RfbSocket::writeAll(std::span<const ByteView> parts) {
  std::vector<iovec> vectors;
  vectors.reserve(parts.size());
  for (ByteView part : parts)
    if (!part.empty()) vectors.push_back({const_cast<std::uint8_t*>(part.data()), part.size()});
  std::size_t next = 0;  // first vector with bytes left
  while (next < vectors.size()) {
    msghdr message{};
    message.msg_iov = vectors.data() + next;
    message.msg_iovlen = std::min<std::size_t>(vectors.size() - next, IOV_MAX);
    // MSG_NOSIGNAL: a peer that has gone makes the write fail with EPIPE instead of killing us.
    const ssize_t n = ::sendmsg(descriptor_, &message, MSG_NOSIGNAL);
    if (n == 0) throw RfbProtocolError("socket_write_zero");
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("socket_write_", errno);
    }
    auto written = static_cast<std::size_t>(n);
    while (written > 0) {
      iovec& v = vectors[next];
      if (written >= v.iov_len) {
        written -= v.iov_len;
        ++next;
      } else {
        v.iov_base = static_cast<std::uint8_t*>(v.iov_base) + written;
        v.iov_len -= written;
        written = 0;
      }
    }
  }
}

bool RfbSocket::waitUntilReadable(int timeoutMilliseconds) {
  pollfd p{descriptor_, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMilliseconds);
    if (n >= 0) return n > 0;
    if (errno != EINTR) throwErrno("socket_poll_", errno);
  }
}

RfbConnection::RfbConnection(int descriptor, FrameStore& frameStore, InputSession& inputSession,
                             std::string desktopName, int wakeDescriptor)
    : descriptor_(descriptor),
      socket_(descriptor),
      frameStore_(frameStore),
      inputSession_(inputSession),
      desktopName_(std::move(desktopName)),
      wakeDescriptor_(wakeDescriptor),
      pendingDamage_(frameStore.size(), FrameStore::tileSize) {}

void RfbConnection::serve() {
  handshake();
  for (;;) {
    pullChanges();
    sendPendingUpdate();
    if (!waitForClientOrFrame()) continue;
    handleMessage(socket_.readExactly(1)[0]);
  }
}

void RfbConnection::pullChanges() {
  auto update = frameStore_.changes(observedSequence_);
  if (!update) return;
  observedSequence_ = update->frame.sequence();
  if (update->requiresFullFrame)
    pendingDamage_.fill();
  else
    pendingDamage_.formUnion(update->damage);
  currentFrame_ = std::move(update->frame);
}

bool RfbConnection::waitForClientOrFrame() {
  if (wakeDescriptor_ < 0) return socket_.waitUntilReadable(pollMilliseconds);
  pollfd p[2] = {{descriptor_, POLLIN, 0}, {wakeDescriptor_, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(p, 2, pollMilliseconds);
    if (n >= 0) break;
    if (errno != EINTR) throwErrno("socket_poll_", errno);
  }
  if (p[1].revents & POLLIN) {
    std::uint64_t drained;
    // Non-blocking eventfd: a concurrent drain between poll and read is harmless.
    [[maybe_unused]] const ssize_t ignored = ::read(wakeDescriptor_, &drained, sizeof drained);
  }
  return p[0].revents != 0;
}

void RfbConnection::handshake() {
  socket_.writeAll(view(RfbHandshake::version));
  const std::string version = RfbHandshake::clientVersionText(socket_.readExactly(12));
  if (version != "RFB 003.008\n") {
    const Bytes refusal = RfbHandshake::versionRefusal(version);
    if (!refusal.empty()) socket_.writeAll(refusal);
    throw RfbProtocolError(RfbHandshake::unsupportedVersionReason(version));
  }
  phase_ = Phase::security;
  socket_.writeAll(view(RfbHandshake::securityTypes));
  const std::uint8_t chosen = socket_.readExactly(1)[0];
  if (chosen != 1) {
    socket_.writeAll(RfbHandshake::securityFailure(chosen));
    throw RfbProtocolError("handshake_unexpected_security_type_" + std::to_string(chosen));
  }
  socket_.writeAll(view(RfbHandshake::securityResult));
  phase_ = Phase::clientInit;
  socket_.readExactly(1);  // ClientInit: every client shares the desktop
  socket_.writeAll(RfbHandshake::serverInit(frameStore_.size(), desktopName_));
  phase_ = Phase::active;
}

void RfbConnection::handleMessage(std::uint8_t type) {
  if (phase_ != Phase::active) throw RfbProtocolError("message_before_server_init");
  const auto message = RfbClientMessage::read(type, [this](std::size_t n) { return socket_.readExactly(n); });
  if (const auto* format = std::get_if<RfbPixelFormat>(&message)) {
    pixelFormat_ = *format;
  } else if (const auto* encodings = std::get_if<ClientEncodings>(&message)) {
    encodings_ = *encodings;
  } else if (const auto* request = std::get_if<FramebufferUpdateRequest>(&message)) {
    pendingRequest_ = *request;
  } else if (const auto* key = std::get_if<RfbClientMessage::KeyEvent>(&message)) {
    inputSession_.key(KeyInput{key->keysym, key->down});
  } else if (const auto* pointer = std::get_if<RfbClientMessage::PointerEvent>(&message)) {
    inputSession_.pointer(PointerInput{pointer->x, pointer->y, pointer->buttonMask});
  }
}

void RfbConnection::sendPendingUpdate() {
  if (!pendingRequest_ || !currentFrame_) return;
  const FrameSize size = currentFrame_->size();
  const auto clip = pendingRequest_->rect.intersection(FrameRect(0, 0, size.width(), size.height()));
  if (!clip) {
    writeFramebufferUpdate({});
    pendingRequest_.reset();
    return;
  }
  std::vector<FrameRect> rects;
  if (pendingRequest_->incremental) {
    for (const FrameRect& span : pendingDamage_.spans())
      if (auto part = span.intersection(*clip)) rects.push_back(*part);
    if (rects.empty()) return;  // answered as soon as damage inside it arrives
  } else {
    rects.push_back(*clip);
  }
  writeFramebufferUpdate(encoder_.encode(*currentFrame_, rects, encodings_, pixelFormat_));
  pendingDamage_.removeTiles(*clip);
  pendingRequest_.reset();
}

void RfbConnection::writeFramebufferUpdate(const std::vector<EncodedRectangle>& rectangles) {
  if (rectangles.size() > 0xFFFF) throw RfbProtocolError("framebuffer_update_too_many_rectangles");
  // Headers are laid out first and checked whole, so a bad rectangle writes nothing.
  Bytes headers(4 + 12 * rectangles.size());
  putU16(headers.data() + 2, rectangles.size());
  std::vector<ByteView> parts;
  parts.reserve(1 + 2 * rectangles.size());
  parts.emplace_back(headers.data(), 4);
  for (std::size_t i = 0; i < rectangles.size(); ++i) {
    const EncodedRectangle& r = rectangles[i];
    if (r.rect.x() < 0 || r.rect.y() < 0 || r.rect.maxX() > 65536 || r.rect.maxY() > 65536)
      throw RfbProtocolError("framebuffer_rectangle_out_of_range");
    std::uint8_t* h = headers.data() + 4 + 12 * i;
    putU16(h, static_cast<std::uint64_t>(r.rect.x()));
    putU16(h + 2, static_cast<std::uint64_t>(r.rect.y()));
    putU16(h + 4, static_cast<std::uint64_t>(r.rect.width()));
    putU16(h + 6, static_cast<std::uint64_t>(r.rect.height()));
    putU32(h + 8, static_cast<std::uint32_t>(rawValue(r.encoding)));
    parts.emplace_back(h, 12);
    parts.emplace_back(r.payload.data(), r.payload.size());
  }
  socket_.writeAll(std::span<const ByteView>(parts));
}

}  // namespace desktopshare
