// Reading an overlay's layers out of /proc/self/mountinfo.
#include "roster/overlay_layers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

// The whole of a file that the kernel makes up as it is read, or nothing.
static std::string readWhole(const char *path) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return text;
  // Room for a few hundred mounts in one read.
  std::array<char, std::size_t{1} << 16U> chunk{};
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

static bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }

// `text` with mountinfo's octal escapes, such as \040 for a space, turned
// back into their bytes.
static std::string unescaped(std::string_view text) {
  std::string bytes;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\\' && at + 3 < text.size() &&
        isOctalDigit(text[at + 1]) && isOctalDigit(text[at + 2]) &&
        isOctalDigit(text[at + 3])) {
      bytes +=
          static_cast<char>((text[at + 1] - '0') * 64 +
                            (text[at + 2] - '0') * 8 + (text[at + 3] - '0'));
      at += 3;
    } else {
      bytes += text[at];
    }
  }
  return bytes;
}

// The directories of an overlay option's value: a list separated by colons,
// in which a colon, comma or backslash of a name is escaped with a backslash.
static void addLayers(std::string_view value,
                      std::vector<std::string> &layers) {
  std::string layer;
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (value[at] == '\\' && at + 1 < value.size()) {
      layer += value[++at];
    } else if (value[at] == ':') {
      if (!layer.empty())
        layers.push_back(layer);
      layer.clear();
    } else {
      layer += value[at];
    }
  }
  if (!layer.empty())
    layers.push_back(layer);
}

std::vector<std::string> overlayLayers(std::uint64_t mountId) {
  const std::string mountInfo = readWhole("/proc/self/mountinfo");
  const std::string id = std::to_string(mountId) + ' ';
  std::vector<std::string> layers;
  for (std::size_t line = 0; line < mountInfo.size();) {
    const std::size_t end =
        std::min(mountInfo.find('\n', line), mountInfo.size());
    const std::string_view entry(mountInfo.data() + line, end - line);
    line = end + 1;
    if (entry.compare(0, id.size(), id) != 0)
      continue;
    // After the separator: the type, the source, and the options of the
    // file system, separated by commas, which names escape.
    const std::size_t separator = entry.find(" - ");
    if (separator == std::string_view::npos)
      break;
    std::string_view fields = entry.substr(separator + 3);
    for (int skipped = 0; skipped < 2; ++skipped)
      fields.remove_prefix(std::min(fields.find(' ') + 1, fields.size()));
    for (std::string_view options = fields; !options.empty();) {
      const std::size_t comma = std::min(options.find(','), options.size());
      const std::string_view option = options.substr(0, comma);
      options.remove_prefix(std::min(comma + 1, options.size()));
      for (const std::string_view key :
           {"lowerdir=", "lowerdir+=", "datadir+=", "upperdir="})
        if (option.compare(0, key.size(), key) == 0)
          addLayers(unescaped(option.substr(key.size())), layers);
    }
    break;
  }
  return layers;
}
