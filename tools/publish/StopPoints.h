// Test build only (corvel-publish-stops): CORVEL_PUBLISH_STOP_AT=STEP[:N]
// kills the process with SIGKILL the Nth time (default 1) a publication
// reaches STEP, as a power cut or an operator's kill -9 would, so tests can
// interrupt it at a chosen point without timing.
#pragma once

#include <functional>

namespace publish {

// The checkpoint callback for PublishOptions; empty when the variable is unset.
std::function<void(const char* step)> StopPointsFromEnvironment();

}  // namespace publish
