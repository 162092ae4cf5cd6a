// What a terminal that decodes UTF-8 draws of a text, worked out from the
// bits of each sequence rather than from a table of them: the oracle that the
// tests and the fuzzer hold the terminal form of the table to.
#ifndef SUPPORT_DRAWABLE_H
#define SUPPORT_DRAWABLE_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// The code point that the UTF-8 sequence at the start of `bytes` encodes and
// the sequence's length, worked out from its bits; a length of 0 where it
// is not well-formed.
struct Decoded {
  char32_t codePoint;
  std::size_t length;
};
inline Decoded decode(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 0;
  while (length < 8 && (lead & (0x80U >> length)) != 0)
    ++length;
  if (length == 0)
    return {lead, 1};
  if (length == 1 || length > 4 || bytes.size() < length)
    return {0, 0};
  char32_t codePoint = lead & (0x7FU >> length);
  for (std::size_t at = 1; at < length; ++at) {
    const auto next = static_cast<unsigned char>(bytes[at]);
    if ((next & 0xC0U) != 0x80U)
      return {0, 0};
    codePoint = codePoint << 6U | (next & 0x3FU);
  }
  constexpr std::array<char32_t, 5> Least = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < Least[length] ||
      (codePoint >= 0xD800 && codePoint < 0xE000) || codePoint > 0x10FFFF)
    return {0, 0};
  return {codePoint, length};
}

// `text` with every byte of a control character, line feeds aside, and
// every byte of no well-formed sequence replaced by '?'.
inline std::string drawable(std::string_view text) {
  std::string shown(text);
  for (std::size_t at = 0; at < text.size();) {
    const Decoded next = decode(text.substr(at));
    const char32_t c = next.codePoint;
    const bool drawn =
        next.length > 0 && (c == '\n' || (c >= 0x20 && (c < 0x7F || c > 0x9F)));
    const std::size_t length = std::max<std::size_t>(next.length, 1);
    if (!drawn)
      shown.replace(at, length, length, '?');
    at += length;
  }
  return shown;
}

#endif
