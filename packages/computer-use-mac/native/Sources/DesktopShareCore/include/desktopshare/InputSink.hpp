#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "support/Fd.hpp"

namespace desktopshare {

// Pointer state as an RFB client reports it. buttonMask: bit 0 left, 1 middle, 2 right,
// 3 to 6 wheel up, down, left, right.
struct PointerInput {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::uint8_t buttonMask = 0;
  bool operator==(const PointerInput&) const = default;
};

struct KeyInput {
  std::uint32_t keysym = 0;  // X11 keysym
  bool down = false;
  bool operator==(const KeyInput&) const = default;
};

// JSON objects with exactly the field names; every key is required when decoding.
void to_json(nlohmann::json& j, const PointerInput& p);
void from_json(const nlohmann::json& j, PointerInput& p);
void to_json(nlohmann::json& j, const KeyInput& k);
void from_json(const nlohmann::json& j, KeyInput& k);

// One client's input stream.
class InputSession {
 public:
  virtual ~InputSession() = default;
  virtual void pointer(const PointerInput& event) = 0;
  virtual void key(const KeyInput& event) = 0;
  virtual void close() noexcept = 0;
};

class InputSink {
 public:
  virtual ~InputSink() = default;
  virtual std::unique_ptr<InputSession> open() = 0;
};

// View-only sharing: every event is dropped.
class NullInputSink final : public InputSink {
 public:
  std::unique_ptr<InputSession> open() override;
};

// Appends every event of every session as one compact JSON line to one file, flushed to
// stable storage before the call returns, so the file is complete even if the process dies.
class RecordingInputSink final : public InputSink {
 public:
  // Creates missing parent directories and truncates the file (mode 0600 when new).
  // Throws std::filesystem::filesystem_error or std::system_error.
  explicit RecordingInputSink(const std::string& path);
  std::unique_ptr<InputSession> open() override;

  // The line a record becomes, without its line feed.
  static std::string pointerRecord(const PointerInput& event);
  static std::string keyRecord(const KeyInput& event);
  static std::string closeRecord();

 private:
  // Sessions share it, so the file stays open while any session lives.
  class File {
   public:
    explicit File(support::UniqueFd fd) : fd_(std::move(fd)) {}
    // Writes the line and its line feed, then fsyncs; throws std::system_error.
    void append(const std::string& line);

   private:
    std::mutex lock_;
    support::UniqueFd fd_;  // written under lock_
  };
  class Session;

  std::shared_ptr<File> file_;
};

}  // namespace desktopshare
