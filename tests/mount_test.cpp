// End-to-end tests of rosters on mounts: a caching FUSE view, where each
// pass must fetch the file afresh, and ext4 and an overlay, where nothing
// must be fetched or asked for that a local file does not need. They mount,
// so they need root, and carry the label that the default test preset
// leaves out.
#include "app/roster_file.h"
#include "support/generate_roster.h"
#include "support/run.h"
#include "tests/skip.h"
#include "tests/traced.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

// The suite of the cases that mount, under strace.
using Mount = Strace;

// Whether `command`, run in `dir`, succeeds.
static bool succeeds(const fs::path &dir,
                     const std::vector<std::string> &command) {
  return runInDir(dir, command).status == 0;
}

// A read-only bindfs view of a roster of 2000 invented employees, mounted
// with `options`: over 128 KiB, so that the counting pass takes two reads
// and readahead caches pages beyond the first. It is unmounted however the
// test ends, before the scratch directory is removed.
struct CachingView {
  CachingView(const std::string &name, const std::string &options)
      // strace -P must name the path as it resolves, with no link in it.
      : backing(fs::canonical(scratchDir(name)) / "backing"),
        view(backing.parent_path() / "view") {
    fs::create_directories(backing);
    fs::create_directories(view);
    generateRoster(backing / RosterFile, 2000);
    mounted = fs::exists("/dev/fuse") &&
              succeeds(view.parent_path(), {"bindfs", "-o", options,
                                            backing.string(), view.string()});
  }
  CachingView(const CachingView &) = delete;
  CachingView &operator=(const CachingView &) = delete;
  ~CachingView() {
    if (mounted)
      succeeds(view.parent_path(), {"fusermount", "-u", view.string()});
  }
  fs::path backing;
  fs::path view;
  bool mounted = false;
};

// A roster rewritten underneath a caching view while the counting pass is
// held, once, is read again, and gives the table of the file as the change
// left it. Rewritten in one write to its size; by lines appended, which only
// a status fetched afresh shows, not the cached one, a second old, as the
// bytes within the size stay; or through a shared mapping whose pages are
// already dirty, which moves neither size nor mtime, so only passes that
// each fetch the file show it. Read-only, so that the status at the end
// cannot be fresh by chance.
TEST_F(Mount, ChangeUnderACachingMountIsSeen) {
  const CachingView mount("CachingMount", "ro");
  if (!mount.mounted)
    SKIP_WITHOUT("bindfs and /dev/fuse");
  const fs::path backingFile = mount.backing / RosterFile;
  const std::string original = readFile(backingFile);
  const std::string moved = firstMovedToEnd(original);
  const auto rewriteInOneWrite = [&] {
    std::fstream(backingFile, std::ios::binary | std::ios::in | std::ios::out)
        << moved;
  };
  const auto appendLines = [&] {
    std::ofstream(backingFile, std::ios::binary | std::ios::app)
        << original.substr(original.find('\n') + 1);
  };
  char *map = nullptr;
  const auto storeThroughAMap = [&] {
    const fs::file_time_type mtime = fs::last_write_time(backingFile);
    std::copy(moved.begin(), moved.end(), map);
    EXPECT_EQ(fs::last_write_time(backingFile), mtime)
        << "the store through the mapping moved the mtime: no proof";
  };
  for (const auto &[what, change] :
       {std::pair<const char *, std::function<void()>>{"rewritten in one write",
                                                       rewriteInOneWrite},
        {"lines appended", appendLines},
        {"stored through a dirtied mapping", storeThroughAMap}}) {
    std::ofstream(backingFile, std::ios::binary) << original;
    map = mapDirtied(backingFile, original.size());
    ASSERT_NE(map, nullptr);
    // Past FUSE's attribute timeout, nothing is cached from the writing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Outcome outcome = changedWhileRead(mount.view, 2, change, "pread64");
    munmap(map, original.size());
    EXPECT_EQ(outcome.out, runInDir(mount.backing, {RosterExe}).out) << what;
    EXPECT_EQ(outcome.status, 0) << what;
    EXPECT_EQ(readingsIn(mount.view.string() + ".strace"), 2U) << what;
  }
}

// Each pass over a roster under a caching view drops its cached pages
// first, where fstatfs fails too, and where statx is refused and fstat
// stands in. Pages cached by an earlier run, and made stale by a store that
// keeps size and mtime, are dropped before the first pass: the first reading
// gives the new table whole, with no change seen.
TEST_F(Mount, CachingMountFetchesEachPassAfresh) {
  const CachingView mount("FetchedAfresh", "ro,kernel_cache");
  if (!mount.mounted)
    SKIP_WITHOUT("bindfs and /dev/fuse");
  const fs::path backingFile = mount.backing / RosterFile;
  const fs::path log = mount.view.string() + ".strace";
  const std::string original = readFile(backingFile);
  const std::string table = runInDir(mount.backing, {RosterExe}).out;
  for (const char *calls :
       {"trace=fadvise64", "inject=fstatfs:error=EIO",
        "inject=statx:error=EPERM", "inject=statx:error=ENOSYS"}) {
    const Outcome outcome =
        run(mount.view, calls, mount.view / RosterFile, log);
    EXPECT_EQ(readsIn(log, "fadvise64").size(), 2U) << calls;
    EXPECT_EQ(outcome.out, table) << calls;
    EXPECT_EQ(outcome.status, 0) << calls;
  }

  char *const map = mapDirtied(backingFile, original.size());
  ASSERT_NE(map, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const Outcome cached = runInDir(mount.view, {RosterExe});
  EXPECT_EQ(cached.out, table);
  const std::string moved = firstMovedToEnd(original);
  std::copy(moved.begin(), moved.end(), map);
  munmap(map, original.size());
  const Outcome stale =
      run(mount.view, "trace=pread64", mount.view / RosterFile, log);
  EXPECT_EQ(stale.out, runInDir(mount.backing, {RosterExe}).out);
  EXPECT_EQ(stale.err, "");
  EXPECT_EQ(stale.status, 0);
  EXPECT_EQ(readingsIn(log), 1U);
}

// Two loop-mounted ext4 images, for an overlay's lower and upper layers-> The
// upper one has 128-byte inodes, which keep whole seconds. All is unmounted
// however the test ends, before the scratch directory is removed.
struct Ext4Layers {
  explicit Ext4Layers(const std::string &name)
      : dir(fs::canonical(scratchDir(name))), lower(dir / "lower"),
        upper(dir / "upper"), merged(dir / "merged") {
    for (const fs::path &layer : {lower, upper, merged})
      fs::create_directories(layer);
    mounted =
        succeeds(dir, {"truncate", "-s", "64M", "lower.img", "upper.img"}) &&
        succeeds(dir, {"mkfs.ext4", "-qF", "lower.img"}) &&
        succeeds(dir, {"mkfs.ext4", "-qF", "-I", "128", "upper.img"}) &&
        succeeds(dir, {"mount", "-o", "loop", "lower.img", "lower"}) &&
        succeeds(dir, {"mount", "-o", "loop", "upper.img", "upper"});
  }
  Ext4Layers(const Ext4Layers &) = delete;
  Ext4Layers &operator=(const Ext4Layers &) = delete;
  ~Ext4Layers() {
    for (const fs::path &layer : {merged, upper, lower})
      succeeds(dir, {"umount", layer.string()});
  }
  // A fresh overlay of `lower` under `upper`, at `merged`.
  [[nodiscard]] bool mountOverlay() const {
    fs::remove_all(upper / "roster");
    fs::remove_all(upper / "work");
    fs::create_directories(upper / "roster");
    fs::create_directories(upper / "work");
    const std::string layers =
        "lowerdir=lower,upperdir=upper/roster,workdir=upper/work";
    return succeeds(
        dir, {"mount", "-t", "overlay", "overlay", "-o", layers, "merged"});
  }
  fs::path dir;
  fs::path lower;
  fs::path upper;
  fs::path merged;
  bool mounted = false;
};

// Cases on ext4 layers of their own, mounted as each begins.
class MountExt4 : public Strace {
protected:
  void SetUp() override {
    Strace::SetUp();
    if (IsSkipped() || HasFailure())
      return;
    if (geteuid() != 0)
      SKIP_WITHOUT("root, to mount");
    layers.emplace(
        testing::UnitTest::GetInstance()->current_test_info()->name());
    if (!layers->mounted)
      SKIP_WITHOUT("loop devices and ext4");
    generateRoster(layers->lower / RosterFile, 2000);
  }
  std::optional<Ext4Layers> layers;
};

// On ext4, on a block device of this machine, the roster is read with no
// fstatfs and no page dropped.
TEST_F(MountExt4, FileIsNeitherAskedAfterNorFetchedAfresh) {
  const fs::path log = layers->dir / "ext4.strace";
  const Outcome outcome = run(layers->lower, "trace=fstatfs,fadvise64",
                              layers->lower / RosterFile, log);
  EXPECT_EQ(readFile(log), "+++ exited with 0 +++\n");
  EXPECT_EQ(outcome.status, 0);
}

// On an overlay whose upper layer keeps whole seconds, a chmod while roster
// reads copies the roster up, and its mtime loses its nanoseconds: no
// change, the whole table from one reading. A write at the same moment is
// one, and the next reading gives the table of the file as written.
TEST_F(MountExt4, OverlayCopyUpIsNoChangeButAWriteIs) {
  const std::string table = runInDir(layers->lower, {RosterExe}).out;
  const std::string roster = RosterFile;
  for (const auto &[change, readings] :
       {std::pair{"chmod 600 " + roster, 1U},
        {"printf X | dd of=" + roster + " bs=1 seek=1000 conv=notrunc", 2U}}) {
    if (!layers->mountOverlay())
      SKIP_WITHOUT("overlayfs");
    const Outcome outcome = changedWhileRead(
        layers->merged, 2,
        [&, change = change] {
          succeeds(layers->merged, {"sh", "-c", change});
        },
        "pread64");
    const std::string asLeft = runInDir(layers->merged, {RosterExe}).out;
    succeeds(layers->dir, {"umount", layers->merged.string()});
    EXPECT_EQ(outcome.out, readings == 1 ? table : asLeft) << change;
    EXPECT_TRUE(readings == 1 || asLeft != table)
        << change << " left no change";
    EXPECT_EQ(outcome.status, 0) << change;
    EXPECT_EQ(readingsIn(layers->merged.string() + ".strace"), readings)
        << change;
  }
}
