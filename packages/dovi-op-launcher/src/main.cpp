// dovi-op-launcher <absolute path of op> <allow-listed op arguments>
//
// Runs the 1Password CLI for one allow-listed invocation, after checking that the opened
// file carries a valid detached signature by the pinned signing key, under a Landlock
// confinement that keeps the desktop application's data unreadable, with a scrubbed OP_
// environment. On success the process becomes op; every refusal is one line on stderr.
#include "AllowList.hpp"
#include "Confinement.hpp"
#include "Environment.hpp"
#include "Signature.hpp"
#include "SignerKey.hpp"  // generated: the pinned fingerprint and the public key to embed

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

extern char** environ;

namespace {

struct Refusal {
  int status;
  const char* message;
};

constexpr Refusal kUntrusted{65, "dovi-op-launcher: untrusted 1Password CLI\n"};
constexpr Refusal kUnsupported{64, "dovi-op-launcher: unsupported invocation\n"};
constexpr Refusal kNoConfinement{69, "dovi-op-launcher: could not restrict App Data access\n"};
constexpr Refusal kNoEnvironment{70, "dovi-op-launcher: could not prepare the environment\n"};
constexpr Refusal kChanged{65, "dovi-op-launcher: 1Password CLI changed before launch\n"};
constexpr Refusal kNoStart{71, "dovi-op-launcher: could not start 1Password CLI\n"};

int refuse(const Refusal& refusal) {
  const char* text = refusal.message;
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    text += written;
    left -= static_cast<std::size_t>(written);
  }
  return refusal.status;
}

// Closes the verified descriptor before reporting, as every refusal after opening does.
int refuse(const Refusal& refusal, int& fd) {
  ::close(fd);
  fd = -1;
  return refuse(refusal);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

const char* homeDirectory() {
#ifdef DOVI_OP_TEST_HOOKS
  // Test builds only: confine below a scratch home instead of the real user's.
  if (const char* home = std::getenv("DOVI_OP_TEST_HOME")) return home;
#endif
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr ? entry->pw_dir : nullptr;
}

#ifdef DOVI_OP_TEST_HOOKS
// Test builds only: "<in>,<out>" descriptors; report that the signature was checked on <out>
// and wait for one byte on <in>, so that a test can replace op inside the check window.
void pauseAfterSignatureCheck() {
  const char* fds = std::getenv("DOVI_OP_TEST_SYNC_FDS");
  if (fds == nullptr) return;
  char* end = nullptr;
  const int in = static_cast<int>(std::strtol(fds, &end, 10));
  if (*end != ',') return;
  const int out = static_cast<int>(std::strtol(end + 1, nullptr, 10));
  char byte = 'v';
  if (::write(out, &byte, 1) == 1) {
    while (::read(in, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  ::close(in);
  ::close(out);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // 1. Locate op by its resolved path and open exactly that file.
  if (argc < 2 || argv[1] == nullptr || argv[1][0] != '/') return refuse(kUntrusted);
  char resolved[PATH_MAX];
  if (::realpath(argv[1], resolved) == nullptr) return refuse(kUntrusted);
  // Non-blocking so that a FIFO cannot stall the launcher; it is refused below.
  int fd = ::open(resolved, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return refuse(kUntrusted);

  // 2. The signature must cover exactly the bytes of the opened file.
  struct stat first {};
  if (::fstat(fd, &first) != 0 || !S_ISREG(first.st_mode)) return refuse(kUntrusted, fd);
  const std::string signaturePath = std::string(resolved) + ".sig";
  if (!dovi::verifyDetachedSignature(fd, signaturePath.c_str(), dovi::signer::kKey, dovi::signer::kFingerprint)) {
    return refuse(kUntrusted, fd);
  }
#ifdef DOVI_OP_TEST_HOOKS
  pauseAfterSignatureCheck();
#endif

  // 3. Only allow-listed invocations reach op.
  if (!dovi::isAllowedInvocation(argc, argv)) return refuse(kUnsupported, fd);

  // 4. Keep the desktop application's data unreadable for this process and op.
  const std::optional<std::string> appData = dovi::prepareAppDataDirectory(homeDirectory());
  if (!appData || !dovi::denyReadsBeneath(*appData)) return refuse(kNoConfinement, fd);

  // 5. No caller-provided OP_ setting reaches op.
  char** environment = dovi::scrubbedEnvironment(environ);
  if (environment == nullptr) return refuse(kNoEnvironment, fd);

  // 6. The file must still be the one that was verified, at the same path.
  struct stat again {};
  struct stat atPath {};
  if (::fstat(fd, &again) != 0 || ::lstat(resolved, &atPath) != 0 || !sameFile(again, first) ||
      !sameFile(atPath, first)) {
    std::free(environment);
    return refuse(kChanged, fd);
  }

  // 7. Execute the verified descriptor itself, so no later replacement at the path matters.
  argv[1] = resolved;
  ::execveat(fd, "", argv + 1, environment, AT_EMPTY_PATH);
  std::free(environment);
  return refuse(kNoStart, fd);
}
