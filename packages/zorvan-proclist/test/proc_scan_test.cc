#include "proc_scan.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

namespace zorvan::proclist {
namespace {

using namespace std::string_literals;
namespace fsys = std::filesystem;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ParseStat, FindsFieldsAfterTheLastParenthesisOfTheName) {
  struct Case {
    std::string line;
    std::optional<std::int32_t> ppid;
    std::uint64_t utime, stime, rss;
  };
  const std::string tail = " 1 1 0 -1 4194560 10 0 0 0 150 50 0 0 20 0 1 0 100 1000 321 18446744073709551615\n";
  const Case cases[] = {
      {"42 (sleep) S 7" + tail, 7, 150, 50, 321},
      {"42 (a) (b) c) R 9" + tail, 9, 150, 50, 321},
      {"42 () Z 0" + tail, 0, 150, 50, 321},
      {"42 (x) S 3 1", 3, 0, 0, 0},            // figures missing: defaults
      {"42 (x) S 3 1 1 0 -1 4 0 0 0 0 u s", 3, 0, 0, 0},
      {"42 (x) S", std::nullopt, 0, 0, 0},
      {"42 (x) S -", std::nullopt, 0, 0, 0},
      {"42 sleep S 7 1 1", std::nullopt, 0, 0, 0},
      {"", std::nullopt, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto stat = parseStat(c.line);
    ASSERT_EQ(stat.has_value(), c.ppid.has_value());
    if (!stat) continue;
    EXPECT_EQ(stat->ppid, *c.ppid);
    EXPECT_EQ(stat->utimeTicks, c.utime);
    EXPECT_EQ(stat->stimeTicks, c.stime);
    EXPECT_EQ(stat->residentPages, c.rss);
  }
}

TEST(ArgumentArea, CommandIsTheFirstTerminatedString) {
  EXPECT_EQ(firstArgument("sleep\0"s "30\0"s), "sleep");
  EXPECT_EQ(firstArgument("\0x\0"s), "");
  EXPECT_EQ(firstArgument("unterminated"), "");
  EXPECT_EQ(firstArgument(""), "");
}

TEST(ArgumentArea, KeptArgumentsStopAtTheByteBudget) {
  const std::string a(1000, 'a');
  const std::string fill(4096 - 3000 - 1, 'f');
  struct Case {
    std::string area;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"sleep\0"s "\0"s "30\0"s, {"sleep", "30"}},                     // empty strings are not kept
      {"x\0"s + a + '\0' + a + '\0' + a + '\0' + fill + '\0' + "y\0z\0"s,  // exact fit, then stop
       {"x", a, a, a, fill}},
      {a + '\0' + std::string(4000, 'b') + '\0' + "c\0"s, {a}},          // no skipping past the cut
      {"one\0two"s, {"one"}},                                           // unterminated tail
      {std::string(5000, 'q') + '\0', {}},
  };
  for (const Case& c : cases) EXPECT_EQ(keptArguments(c.area), c.expected);

  std::string many;
  for (int i = 0; i < 10000; ++i) many += "\0"s;
  EXPECT_TRUE(keptArguments(many + "k\0"s).empty()) << "10001 strings exceed the accepted count";
  EXPECT_EQ(keptArguments("k\0"s + many.substr(1)), std::vector<std::string>{"k"});
}

TEST(ArgumentArea, EnvironmentValueTakesTheFirstNonEmptyMatch) {
  struct Case {
    std::string area;
    std::string expected;
  };
  const Case cases[] = {
      {"PATH=/bin\0ZORVAN_REQUEST_ID=r1\0"s, "r1"},
      {"ZORVAN_REQUEST_ID=\0A=1\0ZORVAN_REQUEST_ID=r2\0ZORVAN_REQUEST_ID=r3\0"s, "r2"},
      {"ZORVAN_REQUEST_ID=a=b\0"s, "a=b"},
      {"A=1\0\0ZORVAN_REQUEST_ID=after-empty\0"s, ""},  // an empty string ends the list
      {"ZORVAN_REQUEST_ID=cut"s, ""},                   // not terminated inside the area
      {"XZORVAN_REQUEST_ID=x\0ZORVAN_REQUEST_IDX=y\0"s, ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(environmentValue(c.area, kRequestIdPrefix), c.expected);
  EXPECT_EQ(environmentValue("ZORVAN_SPAWNED_BY_EXTENSION_ID=e\0ZORVAN_CONVERSATION_ID=c\0"s,
                             kConversationIdPrefix),
            "c");
}

TEST(CpuTime, TicksBecomeMillisecondsAndSaturate) {
  EXPECT_EQ(cpuMilliseconds(0, 0, 100), 0u);
  EXPECT_EQ(cpuMilliseconds(150, 50, 100), 2000u);
  EXPECT_EQ(cpuMilliseconds(7, 0, 1000), 7u);
  EXPECT_EQ(cpuMilliseconds(150, 50, 0), 0u);
  EXPECT_EQ(cpuMilliseconds(kMax / 1000 + 1, 0, 100), kMax) << "product overflow";
  EXPECT_EQ(cpuMilliseconds(kMax / 1000, kMax / 1000, 100), kMax) << "sum overflow, no division";
  EXPECT_EQ(cpuMilliseconds(kMax / 2000, kMax / 2000, 100), (kMax / 2000 * 2000) / 100);
}

TEST(MemInfo, ReadsTotalAndAvailable) {
  SystemMemoryInfo info;
  ASSERT_TRUE(parseMemInfo("MemTotal:       16000 kB\nMemFree:  10 kB\nMemAvailable:    8000 kB\n", info));
  EXPECT_EQ(info.totalBytes, 16000u * 1024);
  EXPECT_EQ(info.availableBytes, 8000u * 1024);
  EXPECT_FALSE(info.hasPressureLevel);
  for (const char* bad : {"MemTotal: 16000 kB\nMemFree: 10 kB\n", "MemTotal: 0 kB\nMemAvailable: 1 kB\n",
                          "MemAvailable: 1 kB\n", "MemTotal: x kB\nMemAvailable: 1 kB\n", ""}) {
    SystemMemoryInfo untouched;
    EXPECT_FALSE(parseMemInfo(bad, untouched)) << bad;
  }
}

// A directory laid out like /proc for the processes a test describes.
class FakeProc {
 public:
  struct Process {
    std::int32_t ppid = 1;
    std::string comm = "proc";
    std::optional<std::string> cmdline = std::nullopt;
    std::optional<std::string> environ = std::nullopt;
    std::uint64_t utime = 0, stime = 0, rss = 0;
    std::int32_t forkingThread = 0;  // the task whose children file lists this process
  };

  FakeProc() {
    // Thousands of small files: memory-backed where available, the disk is far slower.
    std::string pattern = fsys::is_directory("/dev/shm") ? "/dev/shm/zorvan-fakeproc-XXXXXX"
                                                        : "/tmp/zorvan-fakeproc-XXXXXX";
    root_ = ::mkdtemp(pattern.data());
  }
  ~FakeProc() { fsys::remove_all(root_); }

  void add(std::int32_t pid, Process process) { processes_[pid] = std::move(process); }

  // Writes the tree: with childrenFiles, the kernel's per-task children lists too; without
  // details, only what a listing reads (large trees stay quick to lay out).
  void write(bool childrenFiles, bool details = true) {
    std::map<std::int32_t, std::map<std::int32_t, std::string>> lists;  // parent -> task -> text
    for (const auto& [pid, p] : processes_) {
      fsys::path dir = root_ / std::to_string(pid);
      if (details || !childrenFiles) {
        put(dir / "stat", std::to_string(pid) + " (" + p.comm + ") S " + std::to_string(p.ppid) +
                              " 1 1 0 -1 0 0 0 0 0 " + std::to_string(p.utime) + " " +
                              std::to_string(p.stime) + " 0 0 20 0 1 0 1 1 " + std::to_string(p.rss) + " 0\n");
      }
      if (details) {
        put(dir / "comm", p.comm + "\n");
        put(dir / "cmdline", p.cmdline.value_or(""));
        if (p.environ) put(dir / "environ", *p.environ);
      }
      std::int32_t task = p.forkingThread != 0 ? p.forkingThread : p.ppid;
      lists[p.ppid][task] += std::to_string(pid) + " ";
    }
    if (!childrenFiles) return;
    put(root_ / "thread-self" / "children", "");
    for (const auto& [parent, tasks] : lists) {
      for (const auto& [task, text] : tasks) {
        fsys::path dir = root_ / std::to_string(parent) / "task" / std::to_string(task);
        fsys::create_directories(dir);
        put(dir / "children", text);
      }
    }
  }

  std::string root() const { return root_.string(); }

 private:
  static void put(const fsys::path& path, const std::string& text) {
    fsys::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  fsys::path root_;
  std::map<std::int32_t, Process> processes_;
};

class TreeWalk : public ::testing::TestWithParam<bool> {};

TEST_P(TreeWalk, ListsRootsThenLevelsOnceEach) {
  FakeProc proc;
  // 10 -> {11, 12 (forked by thread 99 of 10)}, 11 -> 13, 12 -> 14; 20 -> 21; 13 -> 10 never loops.
  proc.add(10, {.ppid = 1});
  proc.add(11, {.ppid = 10});
  proc.add(12, {.ppid = 10, .forkingThread = 99});
  proc.add(13, {.ppid = 11});
  proc.add(14, {.ppid = 12});
  proc.add(20, {.ppid = 1});
  proc.add(21, {.ppid = 20});
  proc.write(GetParam());
  ProcFs fs(proc.root());
  ASSERT_EQ(fs.hasChildrenFiles(), GetParam());

  EXPECT_EQ(getDescendantPids(fs, {10}, true), (std::vector<std::int32_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(getDescendantPids(fs, {10}, false), (std::vector<std::int32_t>{11, 12, 13, 14}));
  EXPECT_EQ(getDescendantPids(fs, {20, 10, 20, 13, 0, -3}, true),
            (std::vector<std::int32_t>{20, 21, 10, 11, 12, 13, 14}));
  EXPECT_EQ(getDescendantPids(fs, {12, 10}, true), (std::vector<std::int32_t>{12, 14, 10, 11, 13}));
  EXPECT_EQ(getDescendantPids(fs, {777}, true), (std::vector<std::int32_t>{777}));
}

TEST_P(TreeWalk, CapsChildrenPerListingAndProcessesPerRoot) {
  FakeProc proc;
  // 2 has 1100 children; 3 has 5 children with 1000 children each.
  proc.add(2, {});
  for (int i = 0; i < 1100; ++i) proc.add(10000 + i, {.ppid = 2});
  proc.add(3, {});
  for (int c = 0; c < 5; ++c) {
    proc.add(20 + c, {.ppid = 3});
    for (int i = 0; i < 1000; ++i) proc.add(100000 + c * 1000 + i, {.ppid = 20 + c});
  }
  proc.write(GetParam(), false);
  ProcFs fs(proc.root());

  auto wide = getDescendantPids(fs, {2}, true);
  EXPECT_EQ(wide.size(), 1 + kMaxChildrenPerListing);
  auto deep = getDescendantPids(fs, {3}, true);
  EXPECT_EQ(deep.size(), kMaxProcessesPerRoot);
  EXPECT_EQ(getDescendantPids(fs, {3}, false).size(), kMaxProcessesPerRoot);
  // The cap is per root: a second root still gets its own.
  EXPECT_EQ(getDescendantPids(fs, {3, 2}, true).size(), kMaxProcessesPerRoot + 1 + kMaxChildrenPerListing);
}

INSTANTIATE_TEST_SUITE_P(ChildrenFilesOrParentMap, TreeWalk, ::testing::Bool());

TEST(ProcessInformation, FillsFieldsAndFallsBack) {
  FakeProc proc;
  proc.add(5, {.ppid = 4,
               .comm = "wor ker) (x",
               .cmdline = "/usr/bin/worker\0--flag\0"s,
               .environ = "ZORVAN_SPAWNED_BY_EXTENSION_ID=ext\0ZORVAN_CONVERSATION_ID=conv\0ZORVAN_REQUEST_ID=req\0"s,
               .utime = 250,
               .stime = 50,
               .rss = 1u << 20});
  proc.add(6, {.ppid = 1, .comm = "kworker/0:1"});                                        // no argument area
  proc.add(7, {.ppid = 1, .comm = "big", .cmdline = std::string(kMaxArgumentAreaBytes + 1, 'x')});
  proc.add(8, {.ppid = 1, .comm = "", .cmdline = "\0"s});                                  // nothing at all
  proc.write(false);
  ProcFs fs(proc.root());

  ProcessInfo info;
  ASSERT_TRUE(getProcessInformation(fs, 5, info));
  EXPECT_EQ(info.pid, 5);
  EXPECT_EQ(info.ppid, 4);
  EXPECT_EQ(info.command, "/usr/bin/worker");
  EXPECT_EQ(info.args, (std::vector<std::string>{"/usr/bin/worker", "--flag"}));
  EXPECT_EQ(info.spawnedByExtensionId, "ext");
  EXPECT_EQ(info.conversationId, "conv");
  EXPECT_EQ(info.requestId, "req");
  const auto hz = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  EXPECT_EQ(info.cpuTimeMs, 300u * 1000 / hz);
  EXPECT_EQ(info.residentMiB, (std::uint64_t{1} << 20) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) >> 20);

  struct Fallback {
    std::int32_t pid;
    std::string command;
  };
  for (const Fallback& f : {Fallback{6, "kworker/0:1"}, Fallback{7, "big"}, Fallback{8, "<unknown>"}}) {
    ProcessInfo other;
    ASSERT_TRUE(getProcessInformation(fs, f.pid, other)) << f.pid;
    EXPECT_EQ(other.command, f.command);
    EXPECT_TRUE(other.args.empty());
    EXPECT_EQ(other.requestId, "") << "unreadable environment leaves identifiers empty";
  }

  ProcessInfo missing;
  EXPECT_FALSE(getProcessInformation(fs, 9, missing));
  EXPECT_EQ(missing.pid, 0);
  EXPECT_FALSE(getProcessInformation(fs, -1, missing));

  // A scan reuses the stat records its listing read; a process gone since drops out.
  StatCache stats;
  EXPECT_EQ(getDescendantPids(fs, {4}, true, &stats), (std::vector<std::int32_t>{4, 5}));
  ASSERT_EQ(stats.count(5), 1u);
  EXPECT_EQ(stats.at(5).utimeTicks, 250u);
  StatFields known = stats.at(5);
  known.ppid = 44;
  ProcessInfo reused;
  ASSERT_TRUE(getProcessInformation(fs, 5, reused, &known));
  EXPECT_EQ(reused.ppid, 44);
  EXPECT_EQ(reused.command, "/usr/bin/worker");
  ProcessInfo gone;
  EXPECT_FALSE(getProcessInformation(fs, 9, gone, &known));
}

TEST(ProcessInformation, UnreadableTreeReportsNothing) {
  ProcFs fs("/nonexistent-proc-root");
  ProcessInfo info;
  EXPECT_FALSE(fs.isOpen());
  EXPECT_FALSE(getProcessInformation(fs, 1, info));
  EXPECT_EQ(getDescendantPids(fs, {1}, false), std::vector<std::int32_t>{});
  SystemMemoryInfo memory;
  EXPECT_FALSE(getSystemMemoryInfo(fs, memory));
}

#ifdef ZORVAN_PROCLIST_MODULE
TEST(Module, ExportsNodeApiEntryPointsForVersion8) {
  void* module = ::dlopen(ZORVAN_PROCLIST_MODULE, RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << ::dlerror();
  auto version = reinterpret_cast<std::int32_t (*)()>(::dlsym(module, "node_api_module_get_api_version_v1"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 8);
  EXPECT_NE(::dlsym(module, "napi_register_module_v1"), nullptr);
  ::dlclose(module);
}
#endif

// Several scans share one tree and the lazily initialised caches, as pool threads do.
TEST(ConcurrentScans, ShareOneTreeSafely) {
  ProcFs fs;
  std::vector<std::size_t> found(6, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < found.size(); ++t) {
    threads.emplace_back([&fs, &found, t] {
      for (int round = 0; round < 5; ++round) {
        for (std::int32_t pid : getDescendantPids(fs, {1, static_cast<std::int32_t>(::getpid())}, true)) {
          ProcessInfo info;
          if (getProcessInformation(fs, pid, info)) ++found[t];
        }
        SystemMemoryInfo memory;
        EXPECT_TRUE(getSystemMemoryInfo(fs, memory));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t count : found) EXPECT_GE(count, 5u * 2) << "pid 1 and this process, every round";
}

}  // namespace
}  // namespace zorvan::proclist
