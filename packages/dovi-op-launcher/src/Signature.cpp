#include "Signature.hpp"

#include "UniqueFd.hpp"

#include <fcntl.h>
#include <rnp/rnp.h>
#include <rnp/rnp_err.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace dovi {
namespace {

// A detached signature is a few hundred bytes; anything far larger is not one.
constexpr off_t kLongestSignatureFile = 64 * 1024;

template <auto Destroy>
struct RnpDeleter {
  template <typename T>
  void operator()(T* handle) const {
    Destroy(handle);
  }
};
using Ffi = std::unique_ptr<rnp_ffi_st, RnpDeleter<rnp_ffi_destroy>>;
using Input = std::unique_ptr<rnp_input_st, RnpDeleter<rnp_input_destroy>>;
using Verify = std::unique_ptr<rnp_op_verify_st, RnpDeleter<rnp_op_verify_destroy>>;
using Key = std::unique_ptr<rnp_key_handle_st, RnpDeleter<rnp_key_handle_destroy>>;
using Buffer = std::unique_ptr<char, RnpDeleter<rnp_buffer_destroy>>;

// The library prints its own diagnostics on stderr, which would break the launcher's
// one-line refusals: stderr points to /dev/null while it works.
class QuietStderr {
 public:
  QuietStderr() : saved_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (saved_.valid() && null.valid()) ::dup2(null.get(), STDERR_FILENO);
  }
  ~QuietStderr() {
    if (saved_.valid()) ::dup2(saved_.get(), STDERR_FILENO);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  UniqueFd saved_;
};

bool readFromFd(void* context, void* buffer, size_t length, size_t* read) {
  const int fd = *static_cast<int*>(context);
  for (;;) {
    const ssize_t got = ::read(fd, buffer, length);
    if (got >= 0) {
      *read = static_cast<size_t>(got);
      return true;
    }
    if (errno != EINTR) return false;
  }
}

bool readSignatureFile(const char* path, std::vector<unsigned char>& bytes) {
  // Non-blocking so that a FIFO planted at the path cannot stall the launcher.
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= 0 || status.st_size > kLongestSignatureFile) {
    return false;
  }
  bytes.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool isSignerKey(rnp_key_handle_t key, std::string_view fingerprint) {
  char* raw = nullptr;
  if (key == nullptr || rnp_key_get_fprint(key, &raw) != RNP_SUCCESS) return false;
  const Buffer text(raw);
  const std::string_view got(text.get());
  return got.size() == fingerprint.size() &&
         ::strncasecmp(got.data(), fingerprint.data(), fingerprint.size()) == 0;
}

}  // namespace

bool verifyDetachedSignature(int fd, const char* signaturePath, std::span<const unsigned char> signerKey,
                             std::string_view fingerprint) {
  std::vector<unsigned char> signature;
  if (fingerprint.size() != 40 || !readSignatureFile(signaturePath, signature)) return false;
  const QuietStderr quiet;

  rnp_ffi_t rawFfi = nullptr;
  if (rnp_ffi_create(&rawFfi, RNP_KEYSTORE_GPG, RNP_KEYSTORE_GPG) != RNP_SUCCESS) return false;
  const Ffi ffi(rawFfi);

  rnp_input_t rawKeyInput = nullptr;
  if (rnp_input_from_memory(&rawKeyInput, signerKey.data(), signerKey.size(), false) != RNP_SUCCESS) return false;
  const Input keyInput(rawKeyInput);
  if (rnp_load_keys(ffi.get(), RNP_KEYSTORE_GPG, keyInput.get(), RNP_LOAD_SAVE_PUBLIC_KEYS) != RNP_SUCCESS) {
    return false;
  }

  rnp_input_t rawData = nullptr;
  rnp_input_t rawSignature = nullptr;
  int dataFd = fd;
  if (rnp_input_from_callback(&rawData, readFromFd, nullptr, &dataFd) != RNP_SUCCESS) return false;
  const Input data(rawData);
  if (rnp_input_from_memory(&rawSignature, signature.data(), signature.size(), false) != RNP_SUCCESS) return false;
  const Input signatureInput(rawSignature);

  rnp_op_verify_t rawVerify = nullptr;
  if (rnp_op_verify_detached_create(&rawVerify, ffi.get(), data.get(), signatureInput.get()) != RNP_SUCCESS) {
    return false;
  }
  const Verify verify(rawVerify);
  // Other signers' signatures beside the pinned key's (say, during a key rotation) neither
  // help nor hurt: only a valid signature by the pinned key counts.
  if (rnp_op_verify_execute(verify.get()) != RNP_SUCCESS) return false;
  size_t count = 0;
  if (rnp_op_verify_get_signature_count(verify.get(), &count) != RNP_SUCCESS) return false;
  for (size_t i = 0; i < count; ++i) {
    rnp_op_verify_signature_t one = nullptr;
    rnp_key_handle_t rawKey = nullptr;
    if (rnp_op_verify_get_signature_at(verify.get(), i, &one) != RNP_SUCCESS ||
        rnp_op_verify_signature_get_status(one) != RNP_SUCCESS ||
        rnp_op_verify_signature_get_key(one, &rawKey) != RNP_SUCCESS) {
      continue;
    }
    const Key key(rawKey);
    if (isSignerKey(key.get(), fingerprint)) return true;
  }
  return false;
}

}  // namespace dovi
