// The layers of an overlay mount, as /proc/self/mountinfo names them.
#ifndef ROSTER_OVERLAY_LAYERS_H
#define ROSTER_OVERLAY_LAYERS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text of /proc/self/mountinfo, or none where it cannot be read, as
// where /proc is not mounted.
std::optional<std::string> mountInfoText();

// The directories of the lower, data and upper layers of the overlay whose
// mount ID is `mountId`, as they were given when it was mounted and
// `mountInfo` shows them; none where it has no line for that mount.
std::optional<std::vector<std::string>>
overlayLayers(std::string_view mountInfo, std::uint64_t mountId);

#endif
