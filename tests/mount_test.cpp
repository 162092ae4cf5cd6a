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

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
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

// A FUSE view of a roster of 2000 invented employees, served by `server`
// and its options: over 128 KiB, so that the counting pass takes two reads
// and readahead caches pages beyond the first. It is unmounted however the
// test ends, before the scratch directory is removed.
struct FuseView {
  FuseView(const std::string &name, std::vector<std::string> server)
      // strace -P must name the path as it resolves, with no link in it.
      : backing(fs::canonical(scratchDir(name)) / "backing"),
        view(backing.parent_path() / "view") {
    fs::create_directories(backing);
    fs::create_directories(view);
    generateRoster(backing / RosterFile, 2000);
    server.insert(server.end(), {backing.string(), view.string()});
    mounted = fs::exists("/dev/fuse") && succeeds(view.parent_path(), server);
  }
  FuseView(const FuseView &) = delete;
  FuseView &operator=(const FuseView &) = delete;
  ~FuseView() {
    if (mounted)
      succeeds(view.parent_path(), {"fusermount", "-u", view.string()});
  }
  fs::path backing;
  fs::path view;
  bool mounted = false;
};

// A read-only bindfs view, whose server answers for the name, and caches
// what `options` say.
struct CachingView : FuseView {
  CachingView(const std::string &name, const std::string &options)
      : FuseView(name, {"bindfs", "-o", options}) {}
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
// stands in. A status refused at the end of a reading is taken for a
// change, and the name is read again; a name that the counting pass cannot
// open is no change, and the opened file is counted. Pages cached by an
// earlier run, and made stale by a store that keeps size and mtime, are
// dropped before the first pass: the first reading gives the new table
// whole, with no change seen.
TEST_F(Mount, CachingMountFetchesEachPassAfresh) {
  const CachingView mount("FetchedAfresh", "ro,kernel_cache");
  if (!mount.mounted)
    SKIP_WITHOUT("bindfs and /dev/fuse");
  const fs::path backingFile = mount.backing / RosterFile;
  const fs::path log = mount.view.string() + ".strace";
  const std::string original = readFile(backingFile);
  const std::string table = runInDir(mount.backing, {RosterExe}).out;
  for (const auto &[calls, passes] :
       {std::pair{"trace=fadvise64", 2U},
        {"inject=fstatfs:error=EIO", 2U},
        {"inject=statx:error=EPERM", 2U},
        {"inject=statx:error=ENOSYS", 2U},
        {"inject=statx:error=EIO:when=2", 4U},
        {"inject=openat:error=EACCES:when=2", 2U}}) {
    // Named as roster opens it, so that strace sees the name opened too.
    const Outcome outcome = run(mount.view, calls, RosterFile, log);
    EXPECT_EQ(readsIn(log, "fadvise64").size(), passes) << calls;
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
      run(mount.view, "trace=statx", mount.view / RosterFile, log);
  EXPECT_EQ(stale.out, runInDir(mount.backing, {RosterExe}).out);
  EXPECT_EQ(stale.err, "");
  EXPECT_EQ(stale.status, 0);
  EXPECT_EQ(readingsIn(log), 1U);
}

// A server that reports no blocks, as many do, has the passes compared all
// the same: a store through a dirtied mapping while the reading pass is held
// is seen, and the next reading gives the new table. A file it serves with
// size 0, as the servers that stand in for /proc do, is read to its end,
// once, and gives the table of its bytes.
TEST_F(Mount, ServerWithoutBlocksHasItsPassesCompared) {
#ifndef FUSE_STANDIN
  SKIP_WITHOUT("libfuse3-dev, for the stand-in FUSE server");
#else
  const FuseView mount("WithoutBlocks", {FUSE_STANDIN});
  if (!mount.mounted)
    SKIP_WITHOUT("/dev/fuse, and root for libfuse3");
  // Large enough that readahead has not fetched it all by the third read.
  const fs::path backingFile = mount.backing / RosterFile;
  generateRoster(backingFile, 20000);
  const std::string original = readFile(backingFile);
  const std::string moved = firstMovedToEnd(original);
  char *const map = mapDirtied(backingFile, original.size());
  ASSERT_NE(map, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const Outcome stored = changedWhileRead(
      mount.view, 3, [&] { std::copy(moved.begin(), moved.end(), map); });
  munmap(map, original.size());
  EXPECT_TRUE(stored.out == runInDir(mount.backing, {RosterExe}).out);
  EXPECT_EQ(stored.status, 0);
  EXPECT_EQ(readingsIn(mount.view.string() + ".strace"), 2U);

  const fs::path copy = scratchDir("WithoutBlocksCopied");
  std::ifstream kernelFile("/proc/filesystems", std::ios::binary);
  std::ofstream(copy / RosterFile, std::ios::binary) << kernelFile.rdbuf();
  fs::remove(backingFile);
  fs::create_symlink("/proc/filesystems", backingFile);
  const Outcome sizeZero = runInDir(mount.view, {RosterExe});
  EXPECT_EQ(sizeZero.out, runInDir(copy, {RosterExe}).out);
  EXPECT_EQ(sizeZero.err, "");
  EXPECT_EQ(sizeZero.status, 0);
#endif
}

// Where the server answers a status by the name, a smaller roster renamed
// over the name as roster opens the file, or while it counts its lines,
// leaves the opened file readable only up to the new size: the name is
// opened again, and the table is that of the roster renamed there, whole.
// A FIFO renamed there as roster asks what the file system is is opened
// without blocking, by the counting pass and again for the next reading,
// and ends the readings as a change.
TEST_F(Mount, RosterRenamedOverTheNameGivesItsTableWhole) {
  const CachingView mount("RenamedOver", "ro");
  if (!mount.mounted)
    SKIP_WITHOUT("bindfs and /dev/fuse");
  const fs::path backingFile = mount.backing / RosterFile;
  const std::string original = readFile(backingFile);
  std::size_t end = 0;
  for (int line = 0; line <= 1600; ++line)
    end = original.find('\n', end) + 1;
  // Not the start of the roster, so that cutting the roster short does not
  // give it.
  const std::string smaller = firstMovedToEnd(original.substr(0, end));
  const fs::path smallerDir = scratchDir("RenamedOverSmaller");
  std::ofstream(smallerDir / RosterFile, std::ios::binary) << smaller;
  const std::string table = runInDir(smallerDir, {RosterExe}).out;
  const fs::path next = mount.backing / "next.csv";
  // The FIFO comes last: writing the roster would wait for its reader.
  for (const auto &[call, nth, fifo] :
       {std::tuple{"statx", std::size_t{1}, false},
        {"pread64", std::size_t{2}, false},
        {"fstatfs", std::size_t{1}, true}}) {
    std::ofstream(backingFile, std::ios::binary) << original;
    if (fifo)
      ASSERT_EQ(mkfifo(next.c_str(), 0600), 0);
    else
      std::ofstream(next, std::ios::binary) << smaller;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Outcome outcome = changedWhileRead(
        mount.view, nth, [&] { fs::rename(next, backingFile); }, call);
    EXPECT_TRUE(fifo || outcome.out == table) << call;
    EXPECT_EQ(outcome.err,
              fifo ? "Error: The file changed while it was read!\n" : "")
        << call;
    EXPECT_EQ(outcome.status, fifo ? 1 : 0) << call;
  }
}

// Unmounts what is mounted at `at` as the case ends, before what lies
// beneath it.
struct MountedAt {
  explicit MountedAt(fs::path mountPoint) : at(std::move(mountPoint)) {}
  MountedAt(const MountedAt &) = delete;
  MountedAt &operator=(const MountedAt &) = delete;
  ~MountedAt() { succeeds(at.parent_path(), {"umount", at.string()}); }
  fs::path at;
};

// An overlay passes the advice to drop pages on to its layers: under one
// with a caching view among its layers, a page cached through the overlay
// and made stale by a store that keeps size and mtime is fetched afresh,
// and the table is the new version whole. So it is where the view is the
// second layer, after one renamed away since, which cannot be examined;
// where the view is the layer of an overlay that is itself a layer; and
// where nothing tells the layers, as /proc is not mounted, or mountinfo has
// no line for the overlay.
TEST_F(Mount, OverlayOverACachingMountFetchesEachPassAfresh) {
  if (geteuid() != 0)
    SKIP_WITHOUT("root, to mount");
  const CachingView mount("OverlayOverFuse", "ro,kernel_cache");
  if (!mount.mounted)
    SKIP_WITHOUT("bindfs and /dev/fuse");
  const fs::path dir = mount.view.parent_path();
  const fs::path empty = dir / "empty";
  fs::create_directories(empty);
  // An overlay of the `lower` list at `at`, over an upper layer of its own.
  const auto mountOverlay = [&](const MountedAt &overlay,
                                const std::string &lower) {
    const std::string at = overlay.at.string();
    for (const std::string &layer : {at, at + ".upper", at + ".work"})
      fs::create_directories(layer);
    return succeeds(dir, {"mount", "-t", "overlay", "overlay", "-o",
                          "lowerdir=" + lower + ",upperdir=" + at +
                              ".upper,workdir=" + at + ".work",
                          at});
  };
  // Unmounted in the reverse order.
  const MountedAt first{dir / "first"};
  const MountedAt second{dir / "second"};
  const MountedAt nested{dir / "nested"};
  if (!mountOverlay(first, mount.view.string()) ||
      !mountOverlay(second, empty.string() + ":" + mount.view.string()) ||
      !mountOverlay(nested, first.at.string()))
    SKIP_WITHOUT("overlayfs");
  fs::rename(empty, dir / "renamed");

  const fs::path backingFile = mount.backing / RosterFile;
  const std::string original = readFile(backingFile);
  const std::string moved = firstMovedToEnd(original);
  char *const map = mapDirtied(backingFile, original.size());
  ASSERT_NE(map, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  // In a mount namespace of its own, without /proc, or with a mountinfo
  // that `standIn` makes in its place.
  const auto withoutProc = [](const std::string &standIn) {
    return std::vector<std::string>{"unshare", "--mount", "sh", "-c",
                                    "umount -l /proc && " + standIn +
                                        R"(exec "$0")"};
  };
  const std::string emptyMountInfo =
      "mount -t tmpfs none /proc && mkdir "
      "/proc/self && : >/proc/self/mountinfo && ";
  bool isMoved = false;
  for (const auto &[what, overlay, prefix] :
       {std::tuple<const char *, const MountedAt &, std::vector<std::string>>{
            "second layer", second, {}},
        {"nested", nested, {}},
        {"/proc not mounted", first, withoutProc("")},
        {"no line in mountinfo", first, withoutProc(emptyMountInfo)}}) {
    const int fd =
        open((overlay.at / RosterFile).c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 4096> page{};
    EXPECT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);
    EXPECT_EQ(pread(fd, page.data(), page.size(), 0), 4096);
    close(fd);
    const fs::file_time_type mtime = fs::last_write_time(backingFile);
    isMoved = !isMoved;
    const std::string &version = isMoved ? moved : original;
    std::copy(version.begin(), version.end(), map);
    EXPECT_EQ(fs::last_write_time(backingFile), mtime) << what << ": no proof";
    std::vector<std::string> command = prefix;
    command.push_back(RosterExe);
    const Outcome outcome = runInDir(overlay.at, command);
    EXPECT_TRUE(outcome.out == runInDir(mount.backing, {RosterExe}).out)
        << what;
    EXPECT_EQ(outcome.status, 0) << what;
  }
  munmap(map, original.size());
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
    const std::string layers = "lowerdir=" + lower.string() +
                               ",upperdir=" + (upper / "roster").string() +
                               ",workdir=" + (upper / "work").string();
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

// The system calls roster makes in `dir`, as strace logs them into `log`,
// but for its reads of mountinfo, which the kernel makes up a page or so at
// a time, so that their number grows with the mounts of the machine.
static std::size_t callsIn(const fs::path &dir, const fs::path &log) {
  runInDir(dir, {"strace", "-y", "-o", log.string(), RosterExe});
  std::istringstream trace(readFile(log));
  std::size_t calls = 0;
  for (std::string call; std::getline(trace, call);)
    if (call.rfind("read(", 0) != 0 ||
        call.find("/mountinfo>") == std::string::npos)
      ++calls;
  return calls;
}

// An overlay over ext4 keeps its pages: none is dropped, and learning that
// its layers are local takes at most six calls more than a file on ext4,
// beside the fstatfs that tells an overlay, whatever the number of mounts.
TEST_F(MountExt4, OverlayOverLocalLayersKeepsItsPages) {
  ASSERT_TRUE(layers->mountOverlay());
  const MountedAt overlay{layers->merged};
  const fs::path log = layers->dir / "calls.strace";
  const std::size_t onExt4 = callsIn(layers->lower, log);
  const std::size_t onOverlay = callsIn(overlay.at, log);
  EXPECT_EQ(readFile(log).find("fadvise64"), std::string::npos);
  EXPECT_GT(onExt4, 100U);
  EXPECT_LE(onOverlay, onExt4 + 1 + 6);
}
