#include "tools/publish/StopPoints.h"

#include "formats/Decimal.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace publish {

std::function<void(const char* step)> StopPointsFromEnvironment() {
    const char* spec = std::getenv("CORVEL_PUBLISH_STOP_AT");
    if (spec == nullptr || *spec == '\0') return {};
    std::string step = spec;
    long count = 1;
    const std::size_t colon = step.find(':');
    if (colon != std::string::npos) {
        // Anything but a count never stops.
        count =
            static_cast<long>(ParseDecimalInRange(std::string_view(step).substr(colon + 1), 1, LONG_MAX).value_or(0));
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
