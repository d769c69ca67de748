#include "desktopshare/FrameStore.hpp"

#include "support/Check.hpp"

namespace desktopshare {

namespace {
std::size_t checkedCapacity(std::int64_t capacity) {
  JEXO_CHECK(capacity >= 1, "damage history capacity must be at least 1");
  return static_cast<std::size_t>(capacity);
}
}  // namespace

void FrameStore::DamageRing::append(DamageRecord record) {
  if (count_ < storage_.size()) {
    storage_[(start_ + count_) % storage_.size()] = std::move(record);
    ++count_;
  } else {
    storage_[start_] = std::move(record);
    start_ = (start_ + 1) % storage_.size();
  }
}

void FrameStore::DamageRing::reset() {
  for (auto& slot : storage_) slot.reset();
  start_ = 0;
  count_ = 0;
}

std::optional<std::size_t> FrameStore::DamageRing::firstAfter(std::uint64_t sequence) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (at(i).previousSequence == sequence) return i;
  return std::nullopt;
}

FrameStore::FrameStore(FrameSize size, std::int64_t damageHistoryCapacity)
    : size_(size), damageRing_(checkedCapacity(damageHistoryCapacity)) {}

void FrameStore::publish(const Frame& frame, std::uint64_t session) {
  JEXO_CHECK(frame.size() == size_, "published frame differs from the store's size");
  // Built before taking the lock: only the frame's own (immutable) rectangles are read.
  DamageSet damage(size_, tileSize);
  damage.insert(frame.dirtyRects());
  std::lock_guard guard(lock_);
  if (session != session_) return;
  if (latest_ && latest_->sequence() >= frame.sequence()) return;
  std::optional<std::uint64_t> previous;
  if (latest_) {
    previous = latest_->sequence();
  } else {
    damage.fill();  // a session's first frame is new everywhere, whatever its dirty list says
  }
  damageRing_.append(DamageRecord{previous, frame.sequence(), std::move(damage)});
  latest_ = frame;
}

std::optional<Frame> FrameStore::latestFrame() const {
  std::lock_guard guard(lock_);
  return latest_;
}

std::uint64_t FrameStore::reset() {
  std::lock_guard guard(lock_);
  latest_.reset();
  damageRing_.reset();
  return ++session_;
}

FrameStoreUpdate FrameStore::fullUpdate(const Frame& frame) const {
  DamageSet all(size_, tileSize);
  all.fill();
  return FrameStoreUpdate{frame, std::move(all), true};
}

std::optional<FrameStoreUpdate> FrameStore::changes(std::optional<std::uint64_t> after) const {
  std::lock_guard guard(lock_);
  if (!latest_) return std::nullopt;
  if (!after) return fullUpdate(*latest_);
  if (*after == latest_->sequence()) return FrameStoreUpdate{*latest_, DamageSet(size_, tileSize), false};
  const auto first = damageRing_.firstAfter(*after);
  if (!first) return fullUpdate(*latest_);
  DamageSet damage(size_, tileSize);
  std::uint64_t expected = *after;
  for (std::size_t i = *first; i < damageRing_.count(); ++i) {
    const DamageRecord& record = damageRing_.at(i);
    if (record.previousSequence != expected) return fullUpdate(*latest_);
    damage.formUnion(record.damage);
    expected = record.sequence;
  }
  if (expected != latest_->sequence()) return fullUpdate(*latest_);
  return FrameStoreUpdate{*latest_, std::move(damage), false};
}

}  // namespace desktopshare
