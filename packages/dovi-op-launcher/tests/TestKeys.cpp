// dovi-op-testkeys <directory>: generates two throwaway Ed25519 signing keys, "trusted"
// (pinned in the test launcher) and "other", as <name>.pub.asc, <name>.sec.asc (no
// passphrase) and <name>.fpr. Build-time only; never shipped.
#include <rnp/rnp.h>
#include <rnp/rnp_err.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

bool writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string exportKey(rnp_key_handle_t key, uint32_t flags) {
  rnp_output_t output = nullptr;
  std::string text;
  if (rnp_output_to_memory(&output, 0) != RNP_SUCCESS) return text;
  uint8_t* data = nullptr;
  size_t length = 0;
  if (rnp_key_export(key, output, flags | RNP_KEY_EXPORT_ARMORED | RNP_KEY_EXPORT_SUBKEYS) == RNP_SUCCESS &&
      rnp_output_memory_get_buf(output, &data, &length, false) == RNP_SUCCESS) {
    text.assign(reinterpret_cast<const char*>(data), length);
  }
  rnp_output_destroy(output);
  return text;
}

bool generate(const std::filesystem::path& dir, const std::string& name) {
  rnp_ffi_t ffi = nullptr;
  if (rnp_ffi_create(&ffi, RNP_KEYSTORE_GPG, RNP_KEYSTORE_GPG) != RNP_SUCCESS) return false;
  bool ok = false;
  rnp_op_generate_t op = nullptr;
  rnp_key_handle_t key = nullptr;
  const std::string userId = "dovi-op-launcher " + name + " test signer";
  if (rnp_op_generate_create(&op, ffi, "eddsa") == RNP_SUCCESS &&
      rnp_op_generate_set_userid(op, userId.c_str()) == RNP_SUCCESS &&
      rnp_op_generate_add_usage(op, "sign") == RNP_SUCCESS &&
      rnp_op_generate_set_expiration(op, 0) == RNP_SUCCESS && rnp_op_generate_execute(op) == RNP_SUCCESS &&
      rnp_op_generate_get_key(op, &key) == RNP_SUCCESS) {
    char* fingerprint = nullptr;
    const std::string pub = exportKey(key, RNP_KEY_EXPORT_PUBLIC);
    const std::string sec = exportKey(key, RNP_KEY_EXPORT_SECRET);
    if (!pub.empty() && !sec.empty() && rnp_key_get_fprint(key, &fingerprint) == RNP_SUCCESS) {
      ok = writeFile(dir / (name + ".pub.asc"), pub) && writeFile(dir / (name + ".sec.asc"), sec) &&
           writeFile(dir / (name + ".fpr"), std::string(fingerprint) + "\n");
      rnp_buffer_destroy(fingerprint);
    }
  }
  rnp_key_handle_destroy(key);
  rnp_op_generate_destroy(op);
  rnp_ffi_destroy(ffi);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: dovi-op-testkeys <directory>\n", stderr);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error || !generate(dir, "trusted") || !generate(dir, "other")) {
    std::fputs("dovi-op-testkeys: could not generate the test keys\n", stderr);
    return 1;
  }
  return 0;
}
