#include "ui/Application.h"

#include <windows.h>

#include <exception>

TApplication Application;

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

TApplication::TApplication()
    : ErrorBox([this](const std::string& text) {
          MessageBoxA(GetActiveWindow(), text.c_str(), Title.c_str(), MB_ICONSTOP | MB_OK);
      }) {}

void TApplication::HandleException() noexcept { Report(std::current_exception()); }

void TApplication::Report(std::exception_ptr error) noexcept {
    if (!error) return;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("Error desconocido");
    }
}

void TApplication::ShowException(const std::string& message) noexcept {
    try {
        if (ErrorBox) ErrorBox(ErrorBoxText(message));
    } catch (...) {
        // Nothing is left to report it with.
    }
}
