// The application object: its title and the standard error box through which
// an error that leaves an event handler is reported while the program goes on.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

// The error box's text: the message with "." appended when its last
// character comes after "." in the character code (a letter or a digit does).
std::string ErrorBoxText(const std::string& message);

class TApplication {
public:
    TApplication();

    // Caption of the error box.
    std::string Title = "CorvelUpdater";
    // Shows the finished text in a box captioned Title with a stop icon and
    // an OK button; tests replace it to record what would be shown.
    std::function<void(const std::string& text)> ErrorBox;

    // Reports the exception being handled; call only inside a catch block.
    void HandleException() noexcept;
    // Reports that error; what the window's controls are handed.
    void Report(std::exception_ptr error) noexcept;
    void ShowException(const std::string& message) noexcept;
};

extern TApplication Application;

// Runs an event handler: an error that leaves it is shown in the error box
// and the program goes on.
template <class F>
void Guarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (...) {
        Application.HandleException();
    }
}
