#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace dovi {

// True only when `signaturePath` holds a detached OpenPGP signature over exactly the bytes
// read from `fd` (from its current offset to the end), and one of its signatures is valid and
// made by the key whose fingerprint is `fingerprint` (40 hex digits) itself, taken from the
// armored or binary `signerKey`. A subkey of that key does not count.
bool verifyDetachedSignature(int fd, const char* signaturePath, std::span<const unsigned char> signerKey,
                             std::string_view fingerprint);

}  // namespace dovi
