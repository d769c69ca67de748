// Process-tree scan and system-memory query over the Linux /proc file system.
// Free of Node-API so that it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zorvan::proclist {

inline constexpr std::size_t kMaxRootElements = 1024;
inline constexpr std::size_t kMaxRoots = 64;
inline constexpr std::size_t kMaxProcessesPerRoot = 4096;
inline constexpr std::size_t kMaxChildrenPerListing = 1024;
inline constexpr std::size_t kMaxArgumentAreaBytes = 262144;
inline constexpr std::size_t kMaxArgumentCount = 10000;
inline constexpr std::size_t kMaxKeptArgumentBytes = 4096;

inline constexpr std::string_view kExtensionIdPrefix = "ZORVAN_SPAWNED_BY_EXTENSION_ID=";
inline constexpr std::string_view kConversationIdPrefix = "ZORVAN_CONVERSATION_ID=";
inline constexpr std::string_view kRequestIdPrefix = "ZORVAN_REQUEST_ID=";
inline constexpr std::string_view kUnknownCommand = "<unknown>";

struct ProcessInfo {
  std::int32_t pid = 0;
  std::int32_t ppid = 0;
  std::string command;
  std::string spawnedByExtensionId;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t residentMiB = 0;
  std::vector<std::string> args;
  std::string conversationId;
  std::string requestId;
};

struct SystemMemoryInfo {
  std::uint64_t totalBytes = 0;
  std::uint64_t availableBytes = 0;
  std::int32_t pressureLevel = 0;
  bool hasPressureLevel = false;
};

// The fields of /proc/<pid>/stat that a scan needs.
struct StatFields {
  std::int32_t ppid = 0;
  std::uint64_t utimeTicks = 0;
  std::uint64_t stimeTicks = 0;
  std::uint64_t residentPages = 0;
};

// A /proc tree: the kernel's, or a directory laid out like it (tests). Holds one
// directory descriptor that every read is relative to; safe to share between threads.
class ProcFs {
 public:
  explicit ProcFs(const std::string& root = "/proc");
  ~ProcFs();
  ProcFs(const ProcFs&) = delete;
  ProcFs& operator=(const ProcFs&) = delete;

  bool isOpen() const { return dirFd_ >= 0; }
  int dirFd() const { return dirFd_; }
  // Whether the kernel lists children per task (CONFIG_PROC_CHILDREN); else a scan
  // builds its parent map from every process's stat file.
  bool hasChildrenFiles() const { return hasChildrenFiles_; }

  enum class Reads { untilEnd, shortReadEnds };

  // Reads `relativePath` into `out`, at most `limit` + 1 bytes so that callers can
  // tell an oversized file from one that fits. False if it can't be opened or read,
  // with the errno in `error` when given. `shortReadEnds` is for files the kernel
  // fills as far as a read asks (stat, cmdline, environ, comm, meminfo): it saves the
  // read that would return 0. Record lists (children) may stop short at a page.
  bool readFile(const char* relativePath, std::string& out, std::size_t limit, Reads reads,
                int* error = nullptr) const;

 private:
  int dirFd_ = -1;
  bool hasChildrenFiles_ = false;
};

// Stat records a listing read anyway, by pid, for the same scan to reuse.
using StatCache = std::unordered_map<std::int32_t, StatFields>;

// Breadth-first walk of each root's descendants with one visited set for all roots:
// roots (when included) are followed by their descendants level by level; a process
// reachable from two roots is listed once, under the first. Fills `statCache`, when
// given, with the stat records read to find parents.
std::vector<std::int32_t> getDescendantPids(const ProcFs& fs, const std::vector<std::int32_t>& roots,
                                            bool includeRoots, StatCache* statCache = nullptr);

// True if the process's stat record could be read (it exists and is visible); the
// other fields fall back to their defaults when their files are unreadable. With
// `knownStat` (read moments ago by the listing) the process only has to still exist.
bool getProcessInformation(const ProcFs& fs, std::int32_t pid, ProcessInfo& info,
                           const StatFields* knownStat = nullptr);

// False unless both MemTotal (non-zero) and MemAvailable could be read.
bool getSystemMemoryInfo(const ProcFs& fs, SystemMemoryInfo& info);

// Parsers, exposed for tests. Each takes the raw file contents.
std::optional<StatFields> parseStat(std::string_view stat);
std::string firstArgument(std::string_view cmdline);
std::vector<std::string> keptArguments(std::string_view cmdline);
std::string environmentValue(std::string_view environ, std::string_view prefix);
std::uint64_t cpuMilliseconds(std::uint64_t utimeTicks, std::uint64_t stimeTicks,
                              std::uint64_t ticksPerSecond);
bool parseMemInfo(std::string_view meminfo, SystemMemoryInfo& info);

}  // namespace zorvan::proclist
