// Reading an overlay's layers out of /proc/self/mountinfo.
#include "roster/overlay_layers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

std::optional<std::string> mountInfoText() {
  const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::string text;
  // The kernel makes the text up a page or so per read, whatever the room.
  std::array<char, 4096> chunk{};
  ssize_t got = 0;
  do {
    got = read(fd, chunk.data(), chunk.size());
    if (got > 0)
      text.append(chunk.data(), static_cast<std::size_t>(got));
  } while (got > 0 || (got < 0 && errno == EINTR));
  close(fd);
  if (got < 0)
    return std::nullopt;
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

// How the value of each option that names layers is written, once
// mountinfo's escapes are undone: lowerdir= is a list separated by colons,
// in which a backslash escapes the next byte, as it does in upperdir=;
// lowerdir+= and datadir+=, of the new mount API, name one directory as it
// stands.
struct LayerOption {
  std::string_view key;
  bool escapesWithBackslash;
  bool listsWithColons;
};
static constexpr LayerOption LayerOptions[] = {{"lowerdir=", true, true},
                                               {"upperdir=", true, false},
                                               {"lowerdir+=", false, false},
                                               {"datadir+=", false, false}};

static void addLayers(std::string_view value, const LayerOption &option,
                      std::vector<std::string> &layers) {
  std::string layer;
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (option.escapesWithBackslash && value[at] == '\\' &&
        at + 1 < value.size()) {
      layer += value[++at];
    } else if (option.listsWithColons && value[at] == ':') {
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

std::optional<std::vector<std::string>>
overlayLayers(std::string_view mountInfo, std::uint64_t mountId) {
  const std::string id = std::to_string(mountId) + ' ';
  for (std::size_t line = 0; line < mountInfo.size();) {
    const std::size_t end =
        std::min(mountInfo.find('\n', line), mountInfo.size());
    const std::string_view entry = mountInfo.substr(line, end - line);
    line = end + 1;
    // After the separator: the type, the source, and the options of the
    // file system, separated by commas, which names escape.
    const std::size_t separator = entry.find(" - ");
    if (entry.compare(0, id.size(), id) != 0 ||
        separator == std::string_view::npos)
      continue;
    std::string_view options = entry.substr(separator + 3);
    for (int skipped = 0; skipped < 2; ++skipped)
      options.remove_prefix(std::min(options.find(' ') + 1, options.size()));
    std::vector<std::string> layers;
    while (!options.empty()) {
      const std::size_t comma = std::min(options.find(','), options.size());
      const std::string_view option = options.substr(0, comma);
      options.remove_prefix(std::min(comma + 1, options.size()));
      for (const LayerOption &layerOption : LayerOptions)
        if (option.compare(0, layerOption.key.size(), layerOption.key) == 0)
          addLayers(unescaped(option.substr(layerOption.key.size())),
                    layerOption, layers);
    }
    return layers;
  }
  return std::nullopt;
}
