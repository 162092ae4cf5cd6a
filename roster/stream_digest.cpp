// Folding a stream of bytes into a digest, a word at a time.
#include "roster/stream_digest.h"

#include <algorithm>
#include <cstring>

using Lanes = decltype(StreamDigest::lanes);

// Each word goes into its lane as FxHash folds one: rotate, exclusive-or,
// multiply by an odd constant. For a given word every step is a bijection, so
// a lane that took one word otherwise than another can only come back to the
// same value through a second difference that happens to undo the first.
static void foldStripe(Lanes &lanes, const char *stripe) {
  constexpr std::uint64_t Multiplier = 0x517CC1B727220A95U;
  for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
    std::uint64_t word = 0;
    std::memcpy(&word, stripe + lane * sizeof word, sizeof word);
    const std::uint64_t value = lanes[lane];
    lanes[lane] = (((value << 5U) | (value >> 59U)) ^ word) * Multiplier;
  }
}

void foldBytes(StreamDigest &digest, std::string_view piece) {
  constexpr std::size_t Stripe = StreamDigest::StripeBytes;
  const std::size_t waiting = digest.bytes % Stripe;
  digest.bytes += piece.size();
  if (waiting > 0) {
    const std::size_t taken = std::min(Stripe - waiting, piece.size());
    std::memcpy(digest.pending.data() + waiting, piece.data(), taken);
    piece.remove_prefix(taken);
    if (waiting + taken < Stripe)
      return;
    foldStripe(digest.lanes, digest.pending.data());
  }
  // The lanes are copied out of the digest so that the compiler can keep them
  // in registers: the bytes, being chars, might otherwise alias them.
  Lanes lanes = digest.lanes;
  for (; piece.size() >= Stripe; piece.remove_prefix(Stripe))
    foldStripe(lanes, piece.data());
  digest.lanes = lanes;
  std::memcpy(digest.pending.data(), piece.data(), piece.size());
}

bool sameDigest(const StreamDigest &a, const StreamDigest &b) {
  const std::size_t waiting = a.bytes % StreamDigest::StripeBytes;
  return a.bytes == b.bytes && a.lanes == b.lanes &&
         std::equal(a.pending.begin(),
                    a.pending.begin() + static_cast<std::ptrdiff_t>(waiting),
                    b.pending.begin());
}
