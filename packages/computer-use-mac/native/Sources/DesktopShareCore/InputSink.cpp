#include "desktopshare/InputSink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>

namespace desktopshare {

namespace {
// An integer member within T's range; fractions, strings and out-of-range values are refused
// rather than truncated.
template <typename T>
T integerMember(const nlohmann::json& j, const char* key) {
  const nlohmann::json& v = j.at(key);
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(u);
  } else if (v.is_number_integer()) {
    const auto i = v.get<std::int64_t>();
    if (i >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
        (i < 0 || static_cast<std::uint64_t>(i) <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
      return static_cast<T>(i);
  }
  throw nlohmann::json::type_error::create(302, std::string("\"") + key + "\" is not an integer in range", &v);
}
}  // namespace

void to_json(nlohmann::json& j, const PointerInput& p) {
  j = nlohmann::json{{"x", p.x}, {"y", p.y}, {"buttonMask", p.buttonMask}};
}
void from_json(const nlohmann::json& j, PointerInput& p) {
  p.x = integerMember<std::int64_t>(j, "x");
  p.y = integerMember<std::int64_t>(j, "y");
  p.buttonMask = integerMember<std::uint8_t>(j, "buttonMask");
}
void to_json(nlohmann::json& j, const KeyInput& k) { j = nlohmann::json{{"keysym", k.keysym}, {"down", k.down}}; }
void from_json(const nlohmann::json& j, KeyInput& k) {
  k.keysym = integerMember<std::uint32_t>(j, "keysym");
  j.at("down").get_to(k.down);  // a boolean only
}

namespace {
class NullInputSession final : public InputSession {
 public:
  void pointer(const PointerInput&) override {}
  void key(const KeyInput&) override {}
  void close() noexcept override {}
};

int posixErrno() {
  // An errno outside the known range is reported as EIO.
  const int e = errno;
  return (e > 0 && e < 4096) ? e : EIO;
}
}  // namespace

std::unique_ptr<InputSession> NullInputSink::open() { return std::make_unique<NullInputSession>(); }

class RecordingInputSink::Session final : public InputSession {
 public:
  explicit Session(std::shared_ptr<File> file) : file_(std::move(file)) {}
  void pointer(const PointerInput& event) override { file_->append(pointerRecord(event)); }
  void key(const KeyInput& event) override { file_->append(keyRecord(event)); }
  void close() noexcept override {
    try {
      file_->append(closeRecord());
    } catch (...) {
      // Closing never reports failure.
    }
  }

 private:
  std::shared_ptr<File> file_;
};

RecordingInputSink::RecordingInputSink(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  support::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) throw std::system_error(posixErrno(), std::generic_category(), path);
  file_ = std::make_shared<File>(std::move(fd));
}

std::unique_ptr<InputSession> RecordingInputSink::open() { return std::make_unique<Session>(file_); }

std::string RecordingInputSink::pointerRecord(const PointerInput& e) {
  return "{\"type\":\"pointer\",\"x\":" + std::to_string(e.x) + ",\"y\":" + std::to_string(e.y) +
         ",\"buttonMask\":" + std::to_string(e.buttonMask) + "}";
}

std::string RecordingInputSink::keyRecord(const KeyInput& e) {
  return "{\"type\":\"key\",\"keysym\":" + std::to_string(e.keysym) + ",\"down\":" + (e.down ? "true" : "false") +
         "}";
}

std::string RecordingInputSink::closeRecord() { return "{\"type\":\"close\"}"; }

void RecordingInputSink::File::append(const std::string& record) {
  const std::string line = record + '\n';
  std::lock_guard guard(lock_);
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_.get(), line.data() + written, line.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(posixErrno(), std::generic_category(), "write");
    }
    if (n == 0) throw std::system_error(EIO, std::generic_category(), "write");
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd_.get()) != 0) throw std::system_error(posixErrno(), std::generic_category(), "fsync");
}

}  // namespace desktopshare
