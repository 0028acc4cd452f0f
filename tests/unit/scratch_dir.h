// Fixtures on disk for the unit tests: a fresh directory per test, the
// current directory put back, and whole-file reads and writes.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace scratch {

namespace fs = std::filesystem;

// A new directory under the system's temporary directory, removed with
// everything in it when the test ends.
class Dir {
public:
    Dir() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("corvel-test-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~Dir() {
        // A program that a test started may hold the directory for a moment.
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::error_code error;
            fs::remove_all(path_, error);
            if (!error) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;

    const fs::path& Native() const { return path_; }
    // A path inside, spelt as the engine spells it: joined with "\".
    std::string operator/(const std::string& name) const { return path_.string() + "\\" + name; }

private:
    fs::path path_;
};

class CwdGuard {
public:
    CwdGuard() : saved_(fs::current_path()) {}
    ~CwdGuard() { fs::current_path(saved_); }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    fs::path saved_;
};

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace scratch
