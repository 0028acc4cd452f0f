// POSIX has no mandatory locks: a file another process has open can still
// be read and replaced, so nothing ever holds one in our sense.
#include "platform/os.h"

namespace os {

std::vector<THolder> ProcessesHolding(const std::string& /*path*/, const std::string& /*installDir*/) { return {}; }

void NameHolder(TFailure& /*failure*/, const std::string& /*path*/, const std::string& /*installDir*/) {}

}  // namespace os
