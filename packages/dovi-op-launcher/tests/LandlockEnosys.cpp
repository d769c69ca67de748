// dovi-landlock-enosys <program> [args...]: runs <program> with a seccomp filter that makes
// the three Landlock system calls fail with ENOSYS, as on a kernel without Landlock.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

#if defined(__x86_64__)
#define DOVI_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define DOVI_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "unsupported architecture"
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: dovi-landlock-enosys <program> [args...]\n", stderr);
    return 2;
  }
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, DOVI_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, __NR_landlock_create_ruleset, 0, 2),
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, __NR_landlock_restrict_self, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("dovi-landlock-enosys: seccomp");
    return 3;
  }
  execv(argv[1], argv + 1);
  std::perror("dovi-landlock-enosys: exec");
  return 4;
}
