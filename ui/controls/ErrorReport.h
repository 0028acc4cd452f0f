// How a control library reports an error that left an event handler: the
// window's message procedure must not let it escape, so it hands it to the
// owner's report (the application's error box) and the program goes on.
#pragma once

#include <exception>
#include <functional>

using TErrorReport = std::function<void(std::exception_ptr error)>;

// Runs an event handler; an error leaving it goes to report.
template <class F>
void RunReported(const TErrorReport& report, F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (...) {
        if (report) {
            try {
                report(std::current_exception());
            } catch (...) {
                // Nothing is left to report it with.
            }
        }
    }
}
