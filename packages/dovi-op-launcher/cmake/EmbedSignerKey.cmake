# cmake -DKEY=<armored or binary public key> (-DFINGERPRINT=<40 hex> | -DFINGERPRINT_FILE=<file>)
#       -DOUT=<header> -P EmbedSignerKey.cmake
# Writes the header that pins the launcher's signing key.
if(FINGERPRINT_FILE)
  file(READ "${FINGERPRINT_FILE}" FINGERPRINT)
endif()
string(STRIP "${FINGERPRINT}" FINGERPRINT)
string(TOUPPER "${FINGERPRINT}" FINGERPRINT)
if(NOT FINGERPRINT MATCHES "^[0-9A-F]+$")
  message(FATAL_ERROR "signer fingerprint '${FINGERPRINT}' is not 40 hex digits")
endif()
string(LENGTH "${FINGERPRINT}" length)
if(NOT length EQUAL 40)
  message(FATAL_ERROR "signer fingerprint '${FINGERPRINT}' is not 40 hex digits")
endif()
if(NOT EXISTS "${KEY}")
  message(FATAL_ERROR "signer key '${KEY}' does not exist")
endif()
file(READ "${KEY}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
set(text "// Generated from ${KEY}; do not edit.
#pragma once

namespace dovi::signer {

inline constexpr char kFingerprint[] = \"${FINGERPRINT}\";
inline constexpr unsigned char kKey[] = {
    ${bytes}};

}  // namespace dovi::signer
")
# Rewrite only on change so that an unchanged key does not relink the launcher.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
