#pragma once
// Unicode helpers shared by the library's matching and input code (ICU underneath).
#include <cstddef>
#include <string>
#include <string_view>

namespace computeruse::text {

// Full Unicode lower-casing, locale independent.
std::string lowercased(std::string_view utf8);
// Canonical composition (NFC).
std::string canonicallyNormalized(std::string_view utf8);
// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view utf8);
// The first grapheme cluster of the text (empty for empty text).
std::string firstGrapheme(std::string_view utf8);
// The first Unicode scalar as UTF-8 (empty for empty text).
std::string firstScalar(std::string_view utf8);
// Ill-formed input becomes U+FFFD.
std::u16string utf16(std::string_view utf8);
std::string utf8(std::u16string_view utf16);
// Strips spaces, tabs and the other space separators (not line breaks) from both ends.
std::string trimmedWhitespace(std::string_view utf8);

}  // namespace computeruse::text
