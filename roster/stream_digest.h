// A digest of a stream of bytes that does not depend on how it is cut up.
#ifndef ROSTER_STREAM_DIGEST_H
#define ROSTER_STREAM_DIGEST_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Tells two reads of the same bytes from two reads that differ somewhere, as
// a check against accidental change: it is quick, not cryptographic. The
// stream is folded a 32-byte stripe at a time, a word into each of four
// lanes, which the processor works on side by side; a stripe cut by the end
// of a piece waits in `pending` for the next piece.
struct StreamDigest {
  static constexpr std::size_t Lanes = 4;
  static constexpr std::size_t StripeBytes = Lanes * sizeof(std::uint64_t);

  std::array<std::uint64_t, Lanes> lanes{};
  std::uint64_t bytes = 0;
  std::array<char, StripeBytes> pending{};
};

// Folds the next piece of the stream into `digest`.
void foldBytes(StreamDigest &digest, std::string_view piece);

// Whether `a` and `b` were folded from the same bytes, in the same order.
bool sameDigest(const StreamDigest &a, const StreamDigest &b);

#endif
