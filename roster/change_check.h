// Whether the roster file held still while it was read: its status as
// reading begins, the plan that settles, and the verdict at the end. It
// knows the file's status and the digests of the passes, never its lines.
#ifndef ROSTER_CHANGE_CHECK_H
#define ROSTER_CHANGE_CHECK_H

#include "roster/load_status.h"
#include "roster/stream_digest.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>

// Where the file's status comes from: statx(2), or a stand-in with its
// contract.
using StatxFunction = int (*)(int dirfd, const char *path, int flags,
                              unsigned int mask, struct statx *status);

// How to read an opened file, settled by its status as reading begins.
struct ReadingPlan {
  struct statx before; // the status as reading begins
  // A regular file is counted first and checked at its end; anything else
  // is read once, to its end.
  bool regular;
  // Each pass must fetch the bytes afresh: cached pages may be older than
  // the file.
  bool fetchEachPass;
  // The size, where it is the length: no byte past it is read. Otherwise
  // no limit.
  std::uint64_t bytesToRead;
};

// The plan for `fd`, or none where its status cannot be had.
std::optional<ReadingPlan> planReading(int fd, StatxFunction statusOf);

// Readies `fd` for a pass over it, as `plan` says.
void beforePass(int fd, const ReadingPlan &plan);

// Whether a regular file held still, once the reading pass has met its end
// or `plan.bytesToRead`: Loaded, FileChanged, or ReadFailed where it ended
// early or its status cannot be had. `counted` and `read` are the digests
// of the counting pass and of the reading pass.
LoadStatus verdictAtEnd(int fd, StatxFunction statusOf, const ReadingPlan &plan,
                        const StreamDigest &counted, const StreamDigest &read);

#endif
