// Whether two names could be taken for one another: their confusable
// skeletons (Unicode's UTS #39, from ICU's spoof checker). Used by the room
// when a name asks to join; a library of its own so that only the server
// needs ICU.
#pragma once

#include <string>
#include <string_view>

namespace saferoom {

// The UTS #39 skeleton of a valid UTF-8 name: two names whose skeletons are
// equal look alike ("alice" and "a\u0430lice" with a Cyrillic a, "rn" and
// "m"). Case stays: "Bob" and "bob" differ. Empty when ICU cannot make one;
// callers then compare nothing.
std::string ConfusableSkeleton(std::string_view name);

}  // namespace saferoom
