// Stands in for the 1Password CLI in the launcher tests. Prints its arguments and its
// environment on stdout, then runs the probes of FAKE_OP_PROBES, a ';'-separated list of
// "m:<dir>" (mkdir), "w:<file>" (create and write) and "r:<file>" (read), printing one
// "<kind> <path>: ok|<error>" line each. Exits with FAKE_OP_EXIT (default 0).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

int probe(char kind, const std::string& path) {
  if (kind == 'm') return ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
  if (kind == 'w') {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const bool written = ::write(fd, "written by op\n", 14) == 14;
    const int error = written ? 0 : errno;
    ::close(fd);
    return error;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[64];
  const bool read = ::read(fd, buffer, sizeof buffer) >= 0;
  const int error = read ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) std::printf("argv[%d]=%s\n", i, argv[i]);
  for (char** entry = environ; *entry != nullptr; ++entry) std::printf("env=%s\n", *entry);
  if (const char* probes = std::getenv("FAKE_OP_PROBES")) {
    std::string list(probes);
    std::size_t start = 0;
    while (start < list.size()) {
      std::size_t end = list.find(';', start);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(start, end - start);
      if (item.size() > 2 && item[1] == ':') {
        const int error = probe(item[0], item.substr(2));
        std::printf("%c %s: %s\n", item[0], item.c_str() + 2, error == 0 ? "ok" : std::strerror(error));
      }
      start = end + 1;
    }
  }
  const char* status = std::getenv("FAKE_OP_EXIT");
  return status != nullptr ? std::atoi(status) : 0;
}
