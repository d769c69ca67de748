#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

#include "desktopshare/Frame.hpp"

namespace desktopshare {

class FrameSourceError : public std::runtime_error {
 public:
  enum class Kind { alreadyStarted };
  explicit FrameSourceError(Kind kind) : std::runtime_error("already_started"), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Produces the frames the desktop share serves. Every delivered frame has `size()`;
// sequences strictly increase within a run; the frame with sequence 0 is dirty everywhere.
// Callbacks may run on other threads, and a frame already in production when `stop()`
// returns may still be delivered (owners guard with the frame store's session token).
class FrameSource {
 public:
  using FrameCallback = std::function<void(const Frame&)>;
  using ResizeCallback = std::function<void(FrameSize)>;

  virtual ~FrameSource() = default;
  virtual FrameSize size() const = 0;
  // Throws FrameSourceError(alreadyStarted), changing nothing, when already started.
  virtual void start(FrameCallback onFrame, ResizeCallback onResize) = 0;
  // Ends delivery and drops the callbacks; a stopped source can start again.
  virtual void stop() = 0;
};

// A generated pattern (gradient background, a moving block, a binary sequence counter) at a
// fixed rate; needs no permissions and makes damage tracking visible.
class SyntheticFrameSource final : public FrameSource {
 public:
  // framesPerSecond > 0 and 1e9 / framesPerSecond must fit a 64-bit integer (checked).
  SyntheticFrameSource(FrameSize size, double framesPerSecond);
  ~SyntheticFrameSource() override;
  SyntheticFrameSource(const SyntheticFrameSource&) = delete;
  SyntheticFrameSource& operator=(const SyntheticFrameSource&) = delete;

  FrameSize size() const override { return size_; }
  std::chrono::nanoseconds interval() const { return interval_; }
  // The first frame is delivered synchronously on the caller's thread, the rest one at a
  // time on the source's own thread every interval.
  void start(FrameCallback onFrame, ResizeCallback onResize) override;
  void stop() override;

  // The pattern for one sequence number; needs no running source.
  static Frame frame(FrameSize size, std::uint64_t sequence);
  Frame frame(std::uint64_t sequence) const { return frame(size_, sequence); }

 private:
  struct State;  // shared with the timer thread, which keeps it alive while it runs

  const FrameSize size_;
  const std::chrono::nanoseconds interval_;
  std::shared_ptr<State> state_;
};

}  // namespace desktopshare
