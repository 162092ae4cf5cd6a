//===- roster_fuse_standin: a FUSE server that reports no blocks ----------===//
//
// Serves the files of a directory read-only, as many FUSE servers do: a
// file's status is that of the file its name holds, with no blocks, and a
// file of size 0, such as those of /proc, is read past its size. For the
// tests of rosters under such a mount.
//
//   roster_fuse_standin DIRECTORY MOUNTPOINT [-o OPTIONS]
//
//===----------------------------------------------------------------------===//

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

// The directory served, as handed to fuse_main.
static const std::string &servedDirectory() {
  return *static_cast<const std::string *>(fuse_get_context()->private_data);
}

static int statusOf(const char *path, struct stat *status,
                    fuse_file_info * /*file*/) {
  if (stat((servedDirectory() + path).c_str(), status) != 0)
    return -errno;
  status->st_blocks = 0;
  return 0;
}

static int openFile(const char *path, fuse_file_info *file) {
  const int fd = open((servedDirectory() + path).c_str(), file->flags);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0)
    return -errno;
  file->fh = static_cast<std::uint64_t>(fd);
  file->direct_io = status.st_size == 0 ? 1U : 0U;
  return 0;
}

static int readFile(const char * /*path*/, char *buffer, std::size_t size,
                    off_t offset, fuse_file_info *file) {
  const ssize_t got = pread(static_cast<int>(file->fh), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

static int releaseFile(const char * /*path*/, fuse_file_info *file) {
  close(static_cast<int>(file->fh));
  return 0;
}

int main(int argc, char **argv) {
  std::vector<char> resolved(PATH_MAX);
  if (argc < 3 || realpath(argv[1], resolved.data()) == nullptr) {
    std::cerr << "usage: roster_fuse_standin DIRECTORY MOUNTPOINT [-o OPTIONS]\n";
    return 2;
  }
  const std::string directory = resolved.data();
  fuse_operations operations{};
  operations.getattr = statusOf;
  operations.open = openFile;
  operations.read = readFile;
  operations.release = releaseFile;
  std::vector<char *> args = {argv[0]};
  args.insert(args.end(), argv + 2, argv + argc);
  return fuse_main(static_cast<int>(args.size()), args.data(), &operations,
                   const_cast<std::string *>(&directory));
}
