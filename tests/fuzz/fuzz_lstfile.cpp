// Fuzzes the list reader over arbitrary file content: the reads must end in
// a result or one of our exceptions, never in a crash, and what they return
// must keep the format's promises.
#include "formats/LstFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_lstfile: %s\n", what);
        std::abort();
    }
}

bool Blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// One file per process, so parallel fuzzing jobs don't share it; removed
// at exit.
struct TempList {
    std::string path =
        (std::filesystem::temp_directory_path() / ("corvel_fuzz_" + std::to_string(getpid()) + ".lst")).string();
    ~TempList() { std::remove(path.c_str()); }
};

const std::string& ListPath()
{
    static const TempList file;
    return file.path;
}

void CheckFields(const std::string& line)
{
    const std::vector<std::string> fields = SplitFields(line, "|");
    // Joined first-to-last, the fields give the line with runs of "|"
    // collapsed and outer ones dropped.
    std::string joined, collapsed;
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        Check(!it->empty() && it->find('|') == std::string::npos, "bad field");
        joined += (joined.empty() ? "" : "|") + *it;
    }
    for (char c : line)
        if (c != '|' || (!collapsed.empty() && collapsed.back() != '|')) collapsed += c;
    if (!collapsed.empty() && collapsed.back() == '|') collapsed.pop_back();
    Check(joined == collapsed, "fields don't rebuild the line");
    for (std::size_t i = 0; i < 3; ++i) {
        try {
            Check(&FieldAt(fields, i) == &fields[i], "FieldAt returned another field");
        } catch (const EListError&) {
            Check(i >= fields.size(), "FieldAt refused an existing field");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(ListPath(), std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    // The input's first line also serves as a section name and a key, so
    // the fuzzer can build matching sections of its own.
    const std::string own(text.substr(0, std::min<std::size_t>(text.find('\n'), 64)));
    TListFile list(ListPath());
    for (const std::string& name : {std::string("settings"), std::string("self"), std::string("files_critical"),
                                    std::string("files_normal"), own}) {
        try {
            const std::vector<std::string> lines = list.ReadSection(name);
            Check(!lines.empty(), "empty section result");
            for (const std::string& line : lines) {
                Check(!line.empty() && !Blank(line.front()) && !Blank(line.back()), "untrimmed line");
                Check(line.find('\n') == std::string::npos && line.find('\x1a') == std::string::npos,
                      "line holds a line end or 0x1A");
                CheckFields(line);
            }
        } catch (const Exception&) {
            // a vanished file is the only failure a section read may raise
            Check(false, "ReadSection raised");
        }
        for (const std::string& key : {std::string("Rev"), own}) {
            try {
                const std::string value = list.ReadValue(name, key);
                Check(value.find('|') == std::string::npos, "value holds a separator");
            } catch (const EListError&) {
                // a line made only of "|" before the key
            }
        }
    }
    return 0;
}
