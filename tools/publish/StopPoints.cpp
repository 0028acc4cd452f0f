#include "tools/publish/StopPoints.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace publish {

std::function<void(const char* step)> StopPointsFromEnvironment() {
    const char* spec = std::getenv("CORVEL_PUBLISH_STOP_AT");
    if (spec == nullptr || *spec == '\0') return {};
    std::string step = spec;
    long count = 1;
    const std::size_t colon = step.find(':');
    if (colon != std::string::npos) {
        count = std::strtol(step.c_str() + colon + 1, nullptr, 10);
        step.resize(colon);
    }
    struct State {
        std::mutex lock;
        long seen = 0;
    };
    auto state = std::make_shared<State>();
    return [state, step, count](const char* reached) {
        if (step != reached) return;
        std::lock_guard<std::mutex> guard(state->lock);  // jobs reach "compressed" on several threads
        if (++state->seen != count) return;
        std::fprintf(stderr, "corvel-publish: stopping at %s:%ld\n", reached, count);
        std::fflush(stderr);
        std::raise(SIGKILL);
    };
}

}  // namespace publish
