#include "proc_scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace zorvan::proclist {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
// A stat line is a few hundred bytes; the command name in it is at most 64.
constexpr std::size_t kMaxStatBytes = 4096;
constexpr std::size_t kMaxNameBytes = 4096;
// 1024 pids of up to 7 digits and a separator fit well below this.
constexpr std::size_t kMaxChildrenFileBytes = 16384;
constexpr std::size_t kMaxMemInfoBytes = 65536;

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class ScopedDir {
 public:
  explicit ScopedDir(DIR* dir) : dir_(dir) {}
  ~ScopedDir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  ScopedDir(const ScopedDir&) = delete;
  ScopedDir& operator=(const ScopedDir&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Opens a fresh description of a directory below the tree (not a dup: a shared
// offset would let concurrent scans disturb each other's readdir).
DIR* openDirectory(const ProcFs& fs, const char* relativePath) {
  ScopedFd fd(::openat(fs.dirFd(), relativePath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return nullptr;
  DIR* dir = ::fdopendir(fd.get());
  if (dir != nullptr) fd.release();
  return dir;
}

template <typename Int>
std::optional<Int> parseInteger(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kU64Max : product;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? kU64Max : sum;
}

// Both are fixed for the life of the process; magic statics make the first use thread-safe.
std::uint64_t ticksPerSecond() {
  static const std::uint64_t ticks = [] {
    long value = ::sysconf(_SC_CLK_TCK);
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
  }();
  return ticks;
}

std::uint64_t pageSize() {
  static const std::uint64_t size = [] {
    long value = ::sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
  }();
  return size;
}

// An argument area is usable only within the accepted size range.
bool readArgumentArea(const ProcFs& fs, const char* path, std::string& out) {
  return fs.readFile(path, out, kMaxArgumentAreaBytes, ProcFs::Reads::shortReadEnds) &&
         !out.empty() && out.size() <= kMaxArgumentAreaBytes;
}

// Lists a parent's children, at most kMaxChildrenPerListing per query. Without the
// kernel's per-task children files, the parent map is built once per scan, on first use.
class ChildLister {
 public:
  ChildLister(const ProcFs& fs, StatCache* statCache) : fs_(fs), statCache_(statCache) {}

  void list(std::int32_t parent, std::vector<std::int32_t>& out) {
    out.clear();
    if (fs_.hasChildrenFiles()) {
      listFromChildrenFiles(parent, out);
      return;
    }
    if (!mapBuilt_) buildParentMap();
    auto it = children_.find(parent);
    if (it == children_.end()) return;
    std::size_t n = std::min(it->second.size(), kMaxChildrenPerListing);
    out.assign(it->second.begin(), it->second.begin() + static_cast<std::ptrdiff_t>(n));
  }

 private:
  void listFromChildrenFiles(std::int32_t parent, std::vector<std::int32_t>& out) {
    char path[64];
    std::snprintf(path, sizeof path, "%d/task", parent);
    ScopedDir tasks(openDirectory(fs_, path));
    if (tasks.get() == nullptr) return;
    // Children belong to the thread that forked them, so every task is asked, in tid order.
    tids_.clear();
    while (dirent* entry = ::readdir(tasks.get())) {
      if (auto tid = parseInteger<std::int32_t>(entry->d_name)) tids_.push_back(*tid);
    }
    std::sort(tids_.begin(), tids_.end());
    for (std::int32_t tid : tids_) {
      std::snprintf(path, sizeof path, "%d/task/%d/children", parent, tid);
      if (!fs_.readFile(path, buffer_, kMaxChildrenFileBytes, ProcFs::Reads::untilEnd)) continue;
      std::string_view text(buffer_);
      std::size_t pos = 0;
      // Only separator-terminated numbers count: a file cut at the limit ends mid-number.
      while (pos < text.size()) {
        std::size_t end = text.find_first_of(" \n", pos);
        if (end == std::string_view::npos) break;
        if (auto pid = parseInteger<std::int32_t>(text.substr(pos, end - pos))) {
          out.push_back(*pid);
          if (out.size() >= kMaxChildrenPerListing) return;
        }
        pos = end + 1;
      }
    }
  }

  void buildParentMap() {
    mapBuilt_ = true;
    ScopedDir proc(openDirectory(fs_, "."));
    if (proc.get() == nullptr) return;
    char path[64];
    while (dirent* entry = ::readdir(proc.get())) {
      auto pid = parseInteger<std::int32_t>(entry->d_name);
      if (!pid || *pid <= 0) continue;
      std::snprintf(path, sizeof path, "%d/stat", *pid);
      if (!fs_.readFile(path, buffer_, kMaxStatBytes, ProcFs::Reads::shortReadEnds) ||
          buffer_.size() > kMaxStatBytes) {
        continue;
      }
      if (auto stat = parseStat(buffer_)) {
        children_[stat->ppid].push_back(*pid);
        if (statCache_ != nullptr) statCache_->insert_or_assign(*pid, *stat);
      }
    }
    // Ascending ids, as the kernel lists /proc; other trees may list in any order.
    for (auto& [parent, pids] : children_) std::sort(pids.begin(), pids.end());
  }

  const ProcFs& fs_;
  StatCache* statCache_;
  bool mapBuilt_ = false;
  std::unordered_map<std::int32_t, std::vector<std::int32_t>> children_;
  std::vector<std::int32_t> tids_;
  std::string buffer_;
};

}  // namespace

ProcFs::ProcFs(const std::string& root) {
  dirFd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ >= 0) hasChildrenFiles_ = ::faccessat(dirFd_, "thread-self/children", F_OK, 0) == 0;
}

ProcFs::~ProcFs() {
  if (dirFd_ >= 0) ::close(dirFd_);
}

bool ProcFs::readFile(const char* relativePath, std::string& out, std::size_t limit, Reads reads,
                      int* error) const {
  out.clear();
  if (error != nullptr) *error = 0;
  auto fail = [&](int code) {
    out.clear();
    if (error != nullptr) *error = code;
    return false;
  };
  if (dirFd_ < 0) return fail(EBADF);
  ScopedFd fd(::openat(dirFd_, relativePath, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return fail(errno);
  const std::size_t cap = limit + 1;
  std::size_t size = 0;
  out.resize(std::min<std::size_t>(cap, 4096));
  for (;;) {
    if (size == out.size()) {
      if (size >= cap) break;
      out.resize(std::min(cap, size * 2));
    }
    const std::size_t wanted = out.size() - size;
    ssize_t n = ::read(fd.get(), out.data() + size, wanted);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
    if (reads == Reads::shortReadEnds && static_cast<std::size_t>(n) < wanted) break;
  }
  out.resize(size);
  return true;
}

std::optional<StatFields> parseStat(std::string_view stat) {
  // The command name sits in parentheses and may itself hold spaces and parentheses,
  // so the fixed fields start after the last ')'.
  std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // Fields after the name, from 0: state, ppid, ..., utime (11), stime (12), rss (21).
  std::string_view fields[22];
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < 22 && pos < rest.size()) {
    while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\n')) ++pos;
    std::size_t end = rest.find_first_of(" \n", pos);
    if (end == std::string_view::npos) end = rest.size();
    if (end > pos) fields[count++] = rest.substr(pos, end - pos);
    pos = end;
  }
  if (count < 2) return std::nullopt;
  auto ppid = parseInteger<std::int32_t>(fields[1]);
  if (!ppid) return std::nullopt;
  StatFields result;
  result.ppid = *ppid;
  // The later fields only feed figures that default to 0.
  if (count > 12) {
    auto utime = parseInteger<std::uint64_t>(fields[11]);
    auto stime = parseInteger<std::uint64_t>(fields[12]);
    if (utime && stime) {
      result.utimeTicks = *utime;
      result.stimeTicks = *stime;
    }
  }
  if (count > 21) {
    if (auto rss = parseInteger<std::uint64_t>(fields[21])) result.residentPages = *rss;
  }
  return result;
}

std::string firstArgument(std::string_view cmdline) {
  std::size_t nul = cmdline.find('\0');
  if (nul == std::string_view::npos) return {};
  return std::string(cmdline.substr(0, nul));
}

std::vector<std::string> keptArguments(std::string_view cmdline) {
  std::vector<std::string> args;
  if (static_cast<std::size_t>(std::count(cmdline.begin(), cmdline.end(), '\0')) > kMaxArgumentCount) {
    return args;
  }
  std::size_t total = 0;
  std::size_t pos = 0;
  while (pos < cmdline.size()) {
    std::size_t nul = cmdline.find('\0', pos);
    if (nul == std::string_view::npos) break;  // unterminated tail
    std::size_t length = nul - pos;
    if (length > 0) {
      if (total + length > kMaxKeptArgumentBytes) break;
      total += length;
      args.emplace_back(cmdline.substr(pos, length));
    }
    pos = nul + 1;
  }
  return args;
}

std::string environmentValue(std::string_view environ, std::string_view prefix) {
  std::size_t pos = 0;
  while (pos < environ.size()) {
    std::size_t nul = environ.find('\0', pos);
    if (nul == std::string_view::npos) break;
    std::string_view entry = environ.substr(pos, nul - pos);
    if (entry.empty()) break;
    if (entry.size() > prefix.size() && entry.substr(0, prefix.size()) == prefix) {
      return std::string(entry.substr(prefix.size()));
    }
    pos = nul + 1;
  }
  return {};
}

std::uint64_t cpuMilliseconds(std::uint64_t utimeTicks, std::uint64_t stimeTicks,
                              std::uint64_t ticksPerSecond) {
  if (ticksPerSecond == 0) return 0;
  std::uint64_t sum = saturatingAdd(saturatingMul(utimeTicks, 1000), saturatingMul(stimeTicks, 1000));
  if (sum == kU64Max) return sum;
  return sum / ticksPerSecond;
}

bool parseMemInfo(std::string_view meminfo, SystemMemoryInfo& info) {
  std::optional<std::uint64_t> total;
  std::optional<std::uint64_t> available;
  std::size_t pos = 0;
  while (pos < meminfo.size()) {
    std::size_t end = meminfo.find('\n', pos);
    if (end == std::string_view::npos) end = meminfo.size();
    std::string_view line = meminfo.substr(pos, end - pos);
    pos = end + 1;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon);
    if (key != "MemTotal" && key != "MemAvailable") continue;
    std::string_view value = line.substr(colon + 1);
    std::size_t begin = value.find_first_not_of(' ');
    if (begin == std::string_view::npos) continue;
    value = value.substr(begin);
    std::size_t digits = value.find_first_not_of("0123456789");
    if (digits == std::string_view::npos) digits = value.size();
    auto number = parseInteger<std::uint64_t>(value.substr(0, digits));
    if (!number) continue;
    std::string_view unit = value.substr(digits);
    std::size_t unitBegin = unit.find_first_not_of(' ');
    unit = unitBegin == std::string_view::npos ? std::string_view() : unit.substr(unitBegin);
    std::uint64_t bytes;
    if (unit == "kB") {
      bytes = saturatingMul(*number, 1024);
    } else if (unit.empty()) {
      bytes = *number;
    } else {
      continue;
    }
    (key == "MemTotal" ? total : available) = bytes;
  }
  if (!total || *total == 0 || !available) return false;
  info.totalBytes = *total;
  info.availableBytes = *available;
  // Linux has no counterpart of the discrete pressure levels (PSI reports stall time
  // shares), so no level is reported rather than an invented one.
  info.pressureLevel = 0;
  info.hasPressureLevel = false;
  return true;
}

std::vector<std::int32_t> getDescendantPids(const ProcFs& fs, const std::vector<std::int32_t>& roots,
                                            bool includeRoots, StatCache* statCache) {
  std::vector<std::int32_t> result;
  std::unordered_set<std::int32_t> visited;
  ChildLister lister(fs, statCache);
  std::vector<std::int32_t> children;
  std::vector<std::int32_t> queue;
  for (std::int32_t root : roots) {
    if (root <= 0 || !visited.insert(root).second) continue;
    std::size_t count = 0;
    if (includeRoots) {
      result.push_back(root);
      count = 1;
    }
    queue.assign(1, root);
    for (std::size_t head = 0; head < queue.size() && count < kMaxProcessesPerRoot; ++head) {
      lister.list(queue[head], children);
      for (std::int32_t child : children) {
        if (child <= 0 || !visited.insert(child).second) continue;
        result.push_back(child);
        queue.push_back(child);
        if (++count >= kMaxProcessesPerRoot) break;
      }
    }
  }
  return result;
}

bool getProcessInformation(const ProcFs& fs, std::int32_t pid, ProcessInfo& info,
                           const StatFields* knownStat) {
  if (pid <= 0) return false;
  char path[64];
  std::string buffer;
  std::optional<StatFields> stat;
  if (knownStat != nullptr) {
    stat = *knownStat;
  } else {
    std::snprintf(path, sizeof path, "%d/stat", pid);
    if (!fs.readFile(path, buffer, kMaxStatBytes, ProcFs::Reads::shortReadEnds) ||
        buffer.size() > kMaxStatBytes) {
      return false;
    }
    stat = parseStat(buffer);
    if (!stat) return false;
  }

  std::snprintf(path, sizeof path, "%d/cmdline", pid);
  int error = 0;
  bool haveArguments =
      fs.readFile(path, buffer, kMaxArgumentAreaBytes, ProcFs::Reads::shortReadEnds, &error);
  // A process gone since its stat record was read drops out like one never seen.
  if (knownStat != nullptr && (error == ENOENT || error == ESRCH)) return false;
  info.pid = pid;
  info.ppid = stat->ppid;
  if (haveArguments && !buffer.empty() && buffer.size() <= kMaxArgumentAreaBytes) {
    info.command = firstArgument(buffer);
    info.args = keptArguments(buffer);
  }
  if (info.command.empty()) {
    std::snprintf(path, sizeof path, "%d/comm", pid);
    if (fs.readFile(path, buffer, kMaxNameBytes, ProcFs::Reads::shortReadEnds)) {
      buffer.resize(std::min({buffer.size(), kMaxNameBytes, buffer.find_first_of('\n')}));
      info.command = buffer;
    }
    if (info.command.empty()) info.command = kUnknownCommand;
  }

  // Another user's environment is unreadable: the identifiers then stay empty.
  std::snprintf(path, sizeof path, "%d/environ", pid);
  if (readArgumentArea(fs, path, buffer)) {
    info.spawnedByExtensionId = environmentValue(buffer, kExtensionIdPrefix);
    info.conversationId = environmentValue(buffer, kConversationIdPrefix);
    info.requestId = environmentValue(buffer, kRequestIdPrefix);
  }

  info.cpuTimeMs = cpuMilliseconds(stat->utimeTicks, stat->stimeTicks, ticksPerSecond());
  info.residentMiB = saturatingMul(stat->residentPages, pageSize()) >> 20;
  return true;
}

bool getSystemMemoryInfo(const ProcFs& fs, SystemMemoryInfo& info) {
  std::string buffer;
  if (!fs.readFile("meminfo", buffer, kMaxMemInfoBytes, ProcFs::Reads::shortReadEnds)) return false;
  return parseMemInfo(buffer, info);
}

}  // namespace zorvan::proclist
