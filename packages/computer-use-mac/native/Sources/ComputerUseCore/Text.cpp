#include "Text.hpp"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

namespace computeruse::text {

namespace {

bool isAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

icu::UnicodeString fromUtf8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

// Offsets of grapheme boundaries after the start, up to `limit` of them.
std::size_t graphemeBoundaries(const icu::UnicodeString& s, std::size_t limit, int32_t* firstEnd) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    // Without break data fall back to code points.
    if (firstEnd) *firstEnd = s.length() > 0 ? s.moveIndex32(0, 1) : 0;
    return static_cast<std::size_t>(s.countChar32());
  }
  it->setText(s);
  std::size_t count = 0;
  it->first();
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE && count < limit; p = it->next()) {
    if (count == 0 && firstEnd) *firstEnd = p;
    ++count;
  }
  if (count == 0 && firstEnd) *firstEnd = 0;
  return count;
}

}  // namespace

std::string lowercased(std::string_view s) {
  if (isAscii(s)) {
    std::string out(s);
    for (auto& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  icu::UnicodeString u = fromUtf8(s);
  u.toLower(icu::Locale::getRoot());
  return toUtf8(u);
}

std::string canonicallyNormalized(std::string_view s) {
  if (isAscii(s)) return std::string(s);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(s);
  icu::UnicodeString out = nfc->normalize(fromUtf8(s), status);
  if (U_FAILURE(status)) return std::string(s);
  return toUtf8(out);
}

std::size_t graphemeCount(std::string_view s) {
  if (isAscii(s)) {
    // CR LF is the only ASCII pair that forms one cluster.
    std::size_t n = s.size();
    for (std::size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i] == '\r' && s[i + 1] == '\n') --n;
    return n;
  }
  return graphemeBoundaries(fromUtf8(s), SIZE_MAX, nullptr);
}

std::string firstGrapheme(std::string_view s) {
  if (s.empty()) return {};
  if (isAscii(s)) return std::string(s.substr(0, (s.size() > 1 && s[0] == '\r' && s[1] == '\n') ? 2 : 1));
  icu::UnicodeString u = fromUtf8(s);
  int32_t end = 0;
  graphemeBoundaries(u, 1, &end);
  return toUtf8(u.tempSubString(0, end));
}

std::string firstScalar(std::string_view s) {
  if (s.empty()) return {};
  icu::UnicodeString u = fromUtf8(s);
  return toUtf8(u.tempSubString(0, u.moveIndex32(0, 1)));
}

std::u16string utf16(std::string_view s) {
  icu::UnicodeString u = fromUtf8(s);
  return std::u16string(reinterpret_cast<const char16_t*>(u.getBuffer()), static_cast<std::size_t>(u.length()));
}

std::string utf8(std::u16string_view s) {
  // Lone surrogates are ill-formed: replace them rather than emit invalid UTF-8.
  icu::UnicodeString u;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (U16_IS_LEAD(c) && i + 1 < s.size() && U16_IS_TRAIL(s[i + 1])) {
      u.append(static_cast<UChar>(c));
      u.append(static_cast<UChar>(s[++i]));
    } else if (U16_IS_SURROGATE(c)) {
      u.append(static_cast<UChar>(0xFFFD));
    } else {
      u.append(static_cast<UChar>(c));
    }
  }
  return toUtf8(u);
}

std::string trimmedWhitespace(std::string_view s) {
  icu::UnicodeString u = fromUtf8(s);
  auto isSpace = [](UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; };
  int32_t start = 0, end = u.length();
  while (start < end && isSpace(u.char32At(start))) start = u.moveIndex32(start, 1);
  while (end > start) {
    int32_t prev = u.moveIndex32(end, -1);
    if (!isSpace(u.char32At(prev))) break;
    end = prev;
  }
  return toUtf8(u.tempSubString(start, end - start));
}

}  // namespace computeruse::text
