#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "desktopshare/DamageSet.hpp"
#include "desktopshare/Frame.hpp"

namespace desktopshare {

// What a connection has to send to catch up with the latest frame.
struct FrameStoreUpdate {
  Frame frame;
  DamageSet damage;  // tile size 64; every tile set when requiresFullFrame
  bool requiresFullFrame;
};

// Latest frame plus a bounded history of per-frame damage, shared by one frame source and
// every connection. Session tokens keep frames of an earlier source run out of a new one.
class FrameStore {
 public:
  static constexpr std::int64_t tileSize = 64;

  FrameStore(FrameSize size, std::int64_t damageHistoryCapacity);
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  FrameSize size() const { return size_; }

  // Frames of another session and stale or repeated sequences are dropped. The frame must
  // have the store's size (checked).
  void publish(const Frame& frame, std::uint64_t session);
  std::optional<Frame> latestFrame() const;
  // Forgets the latest frame and the history; returns the new session token (1 first).
  std::uint64_t reset();
  // `after` is the sequence of the last frame the caller took, or none. None while nothing
  // has been published in this session.
  std::optional<FrameStoreUpdate> changes(std::optional<std::uint64_t> after) const;

 private:
  struct DamageRecord {
    std::optional<std::uint64_t> previousSequence;  // none for a session's first frame
    std::uint64_t sequence;
    DamageSet damage;
  };

  // Circular buffer, oldest record at `start`.
  class DamageRing {
   public:
    explicit DamageRing(std::size_t capacity) : storage_(capacity) {}
    void append(DamageRecord record);
    void reset();
    // Index (0 = oldest) of the first record that follows `sequence`, if any.
    std::optional<std::size_t> firstAfter(std::uint64_t sequence) const;
    std::size_t count() const { return count_; }
    const DamageRecord& at(std::size_t i) const { return *storage_[(start_ + i) % storage_.size()]; }

   private:
    std::vector<std::optional<DamageRecord>> storage_;
    std::size_t start_ = 0;
    std::size_t count_ = 0;
  };

  FrameStoreUpdate fullUpdate(const Frame& frame) const;

  const FrameSize size_;
  mutable std::mutex lock_;
  std::optional<Frame> latest_;  // guarded by lock_
  DamageRing damageRing_;        // guarded by lock_
  std::uint64_t session_ = 0;    // guarded by lock_
};

}  // namespace desktopshare
