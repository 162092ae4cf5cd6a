// The layers of an overlay mount, as /proc/self/mountinfo names them.
#ifndef ROSTER_OVERLAY_LAYERS_H
#define ROSTER_OVERLAY_LAYERS_H

#include <cstdint>
#include <string>
#include <vector>

// The directories of the lower, data and upper layers of the overlay whose
// mount ID is `mountId`, as they were given when it was mounted; none where
// mountinfo cannot be read or does not list it.
std::vector<std::string> overlayLayers(std::uint64_t mountId);

#endif
