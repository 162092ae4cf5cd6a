// Comparing the roster file's status and passes from the start of reading to
// its end.
#include "roster/change_check.h"
#include "roster/overlay_layers.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// Whether the file system filled in all of `fields`; a field left out is
// neither compared nor trusted.
static bool filled(const struct statx &status, unsigned int fields) {
  return (status.stx_mask & fields) == fields;
}

// fstat's answer, in the form of statx.
static bool statusFromFstat(int fd, struct statx &status) {
  struct stat info {};
  if (fstat(fd, &info) != 0)
    return false;
  status.stx_mask = STATX_BASIC_STATS;
  status.stx_dev_major = major(info.st_dev);
  status.stx_mode = static_cast<std::uint16_t>(info.st_mode);
  status.stx_size = static_cast<std::uint64_t>(info.st_size);
  status.stx_blocks = static_cast<std::uint64_t>(info.st_blocks);
  status.stx_mtime.tv_sec = info.st_mtim.tv_sec;
  status.stx_mtime.tv_nsec = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
  return true;
}

// AT_STATX_FORCE_SYNC makes a caching mount ask its server, not attributes
// cached a second ago. fstat stands in where statx is missing (ENOSYS, or
// EINVAL from glibc's emulation) or forbidden (EPERM, from seccomp), and
// for a block count that statx leaves out, so that the passes are still
// compared.
static bool freshStatus(int fd, StatxFunction statusOf, struct statx &status) {
  status = {};
  if (statusOf(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC,
               STATX_BASIC_STATS | STATX_MNT_ID, &status) != 0)
    return (errno == ENOSYS || errno == EINVAL || errno == EPERM) &&
           statusFromFstat(fd, status);
  if (!filled(status, STATX_BLOCKS)) {
    struct statx fromFstat {};
    if (!statusFromFstat(fd, fromFstat))
      return false;
    status.stx_blocks = fromFstat.stx_blocks;
    status.stx_mask |= STATX_BLOCKS;
  }
  return true;
}

// Whole seconds with the nanoseconds lost count as the same time: overlayfs
// shows a copy-up for a change of metadata alone so, where its upper layer
// keeps whole seconds. What that lets through is in roster(1), BUGS.
static bool sameModificationTime(const statx_timestamp &before,
                                 const statx_timestamp &after) {
  return after.tv_sec == before.tv_sec &&
         (after.tv_nsec == before.tv_nsec || after.tv_nsec == 0);
}

// A stored file has blocks. One made up as it is read (procfs, sysfs) has
// none, and a placeholder size: 0 in /proc, 4096 in /sys.
static bool sizeIsLength(const struct statx &status) {
  return filled(status, STATX_SIZE | STATX_BLOCKS) && status.stx_blocks > 0;
}

// File systems whose cached pages may be older than the file: the server or
// another client changes it without this machine's cache hearing, and a
// store through a mapping moves neither size nor mtime. Ceph, AFS, GFS2 and
// OCFS2 recall cached pages before another client writes.
static constexpr std::uint32_t StaleCacheFileSystems[] = {
    FUSE_SUPER_MAGIC, NFS_SUPER_MAGIC, CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC,
    V9FS_MAGIC};

static bool cachesStalePages(const struct statfs &fileSystem) {
  const auto type = static_cast<std::uint32_t>(fileSystem.f_type);
  return std::find(std::begin(StaleCacheFileSystems),
                   std::end(StaleCacheFileSystems),
                   type) != std::end(StaleCacheFileSystems);
}

// The kernel stacks overlays two deep at most; deeper, nothing would tell.
static constexpr int MaxOverlayDepth = 2;

// An overlay passes the advice to drop pages on to the layer that holds the
// file, so it is a caching mount where any of its layers is one, or is an
// overlay over one. Where mountinfo does not tell its layers, it is taken
// for one. A layer that cannot be examined tells nothing: one named by a
// relative path, or by a path of the host, as a container's are.
static bool overlayOverACachingMount(std::string_view mountInfo,
                                     std::uint64_t mountId, int depth) {
  const std::optional<std::vector<std::string>> layers =
      overlayLayers(mountInfo, mountId);
  if (!layers || depth > MaxOverlayDepth)
    return true;
  return std::any_of(
      layers->begin(), layers->end(), [&](const std::string &layer) {
        struct statfs fileSystem {};
        if (layer.front() != '/' || statfs(layer.c_str(), &fileSystem) != 0)
          return false;
        if (fileSystem.f_type != OVERLAYFS_SUPER_MAGIC)
          return cachesStalePages(fileSystem);
        struct statx status {};
        return statx(AT_FDCWD, layer.c_str(), 0, STATX_MNT_ID, &status) == 0 &&
               filled(status, STATX_MNT_ID) &&
               overlayOverACachingMount(mountInfo, status.stx_mnt_id,
                                        depth + 1);
      });
}

// A file on a block device of this machine, fuseblk included, is cached here
// alone: ext4 and xfs pay no system call for this. Where the file system
// cannot be told, it is taken for a caching mount. An overlay whose mount ID
// is unknown, as before Linux 5.8, is taken for local.
static bool onACachingMount(int fd, const struct statx &status) {
  if (status.stx_dev_major != 0)
    return false;
  struct statfs fileSystem {};
  if (fstatfs(fd, &fileSystem) != 0)
    return true;
  if (fileSystem.f_type != OVERLAYFS_SUPER_MAGIC)
    return cachesStalePages(fileSystem);
  if (!filled(status, STATX_MNT_ID))
    return false;
  const std::optional<std::string> mountInfo = mountInfoText();
  return !mountInfo ||
         overlayOverACachingMount(*mountInfo, status.stx_mnt_id, 1);
}

std::optional<ReadingPlan> planReading(int fd, StatxFunction statusOf) {
  ReadingPlan plan{};
  if (!freshStatus(fd, statusOf, plan.before))
    return std::nullopt;
  plan.regular = filled(plan.before, STATX_TYPE | STATX_SIZE) &&
                 S_ISREG(plan.before.stx_mode);
  plan.caching = plan.regular && onACachingMount(fd, plan.before);
  // A file that grows is a change all the same, and memory stays bounded by
  // the file that was opened.
  plan.bytesToRead = plan.regular && sizeIsLength(plan.before)
                         ? plan.before.stx_size
                         : std::numeric_limits<std::uint64_t>::max();
  return plan;
}

// Dropping the cached pages makes the pass fetch each byte from the server.
// O_DIRECT would too, but a FUSE server that passes reads on to a local file
// system may refuse its unaligned buffers. Pages mapped or not yet sent stay.
void beforePass(int fd, const ReadingPlan &plan) {
  if (plan.caching)
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

// A write shows in the size or the mtime. One that leaves both alone (a
// store through a shared mapping, the rest of a write begun before reading)
// shows between the passes: each fetched the file itself, so a table mixed
// from two versions has a byte they read differently. Metadata alone is no
// change: the table is still the file as opened. roster(1), BUGS, says what
// goes unseen.
LoadStatus verdictAtEnd(int fd, StatxFunction statusOf, const ReadingPlan &plan,
                        const StreamDigest &counted, const StreamDigest &read) {
  const struct statx &before = plan.before;
  struct statx after {};
  // On a caching mount, the server may have lost the file or the name that
  // its status answers for: the name is read again.
  if (!freshStatus(fd, statusOf, after))
    return plan.caching ? LoadStatus::FileChanged : LoadStatus::ReadFailed;
  if ((filled(after, STATX_SIZE) && after.stx_size != before.stx_size) ||
      (filled(before, STATX_MTIME) && filled(after, STATX_MTIME) &&
       !sameModificationTime(before.stx_mtime, after.stx_mtime)))
    return LoadStatus::FileChanged;
  if (!sizeIsLength(after)) {
    // A caching mount's server may store bytes without reporting blocks.
    // Passes of the same length are compared; files it makes up as they
    // are read have size 0, and the counting pass reads none of them.
    const bool compared = plan.caching && counted.bytes == read.bytes;
    return !compared || sameDigest(counted, read) ? LoadStatus::Loaded
                                                  : LoadStatus::FileChanged;
  }
  const std::uint64_t size = after.stx_size;
  if (read.bytes > size)
    return LoadStatus::FileChanged;
  // On a caching mount, the file may have shrunk since the status was had,
  // or be another than the status describes.
  if (read.bytes < size || counted.bytes < size)
    return plan.caching ? LoadStatus::FileChanged : LoadStatus::ReadFailed;
  return sameDigest(counted, read) ? LoadStatus::Loaded
                                   : LoadStatus::FileChanged;
}
