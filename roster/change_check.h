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
  // On a caching mount, or an overlay over one, this machine's cached pages
  // may be older than the file, and the status may be another version's,
  // or, where the server answers for the name, another file's: each pass
  // fetches the bytes afresh, and the bytes read decide the length.
  bool caching;
  // The size, where it is the length: no byte past it is kept. Otherwise
  // no limit.
  std::uint64_t bytesToRead;
};

// The plan for `fd`, or none where its status cannot be had.
std::optional<ReadingPlan> planReading(int fd, StatxFunction statusOf);

// Readies `fd` for a pass over it, as `plan` says.
void beforePass(int fd, const ReadingPlan &plan);

// Whether a regular file held still, once the reading pass has met its end
// or `plan.bytesToRead`: Loaded, FileChanged, or ReadFailed where it ended
// before its size, off a caching mount, or its status cannot be had.
// `counted` and `read` are the digests of the counting pass and of the
// reading pass.
LoadStatus verdictAtEnd(int fd, StatxFunction statusOf, const ReadingPlan &plan,
                        const StreamDigest &counted, const StreamDigest &read);

#endif
