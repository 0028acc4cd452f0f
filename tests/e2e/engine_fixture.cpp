#include "tests/e2e/engine_fixture.h"

#include "formats/md5.h"
#include "platform/codepage.h"

#include "platform/bz2.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <random>
#include <sstream>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A list path ("\" separated, list code page) as a path of this system,
// through the code page the updater's calls use (ANSI calls on Windows,
// the POSIX seam's conversion elsewhere): Windows-1252, not Latin-1, which
// differs for the bytes 80-9F.
fs::path ListPath(const fs::path& base, const std::string& relative) {
    std::string p = relative;
    std::replace(p.begin(), p.end(), '\\', '/');
    const std::string utf8 = codepage::Cp1252ToUtf8(p);
    return base / fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// Where the server finds a URL path: on Linux the request's bytes name the
// file unchanged; WinInet sends the ANSI text as UTF-8, which Wine's file
// names are too.
fs::path ServerFilePath(const fs::path& root, const std::string& urlPath) {
#ifdef _WIN32
    return ListPath(root, urlPath);
#else
    return root / fs::path(urlPath);
#endif
}

// Everything below a directory, named below it as given. On Windows the walk
// goes through the directory's "\\?\" form, which reaches past MAX_PATH.
std::vector<fs::path> TreeBelow(const fs::path& dir) {
#ifdef _WIN32
    const fs::path root(L"\\\\?\\" + fs::absolute(dir).make_preferred().wstring());
#else
    const fs::path& root = dir;
#endif
    std::vector<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        paths.emplace_back(dir.native() + e.path().native().substr(root.native().size()));
    }
    return paths;
}

}  // namespace

bool TRecordingView::Contains(const std::string& line) const { return Count(line) > 0; }

std::size_t TRecordingView::Count(const std::string& line) const {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), line));
}

void EngineRun::SetUp() {
    const std::string url = Env("CORVEL_TEST_SERVER_URL");
    const std::string root = Env("CORVEL_TEST_SERVER_ROOT");
    ASSERT_FALSE(url.empty() || root.empty()) << "run through tests/e2e/with_server.py";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    baseUrl_ = url + name + "/";
    serverDir_ = fs::path(root) / name;
    fs::create_directories(serverDir_);
    std::random_device rd;
    sandbox_ = fs::temp_directory_path() / ("corvel-run-" + std::to_string(rd()));
    installDir_ = sandbox_ / installPlace_;
    fs::create_directories(installDir_);
    savedCwd_ = fs::current_path();
}

void EngineRun::TearDown() {
    fs::current_path(savedCwd_);
    std::error_code ec;
    fs::remove_all(sandbox_, ec);
}

std::string EngineRun::Compress(const std::string& data) {
    std::string out(data.size() + data.size() / 100 + 1024, '\0');
    unsigned int size = static_cast<unsigned int>(out.size());
    const int rc = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                            static_cast<unsigned int>(data.size()), 9, 0, 0);
    EXPECT_EQ(rc, BZ_OK);
    out.resize(size);
    return out;
}

std::string EngineRun::Md5Hex(const std::string& data) {
    const fs::path scratch = fs::temp_directory_path() / ("corvel-md5-" + std::to_string(std::random_device{}()));
    WriteBytes(scratch, data);
    TMD5Digest digest{};
    FileDigest(scratch.string(), digest);
    fs::remove(scratch);
    return DigestToHex(digest);
}

std::string EngineRun::EntryLine(const std::string& path, const std::string& content) {
    return path + "|" + Md5Hex(content) + "|" + std::to_string(content.size());
}

void EngineRun::Publish(const std::map<std::string, TPublished>& files, int rev, const std::string& self) {
    std::string critical, normal;
    for (const auto& [path, file] : files) {
        std::string url = path;
        std::replace(url.begin(), url.end(), '\\', '/');
        PutServerFile(url + ".bz2", Compress(file.content));
        (file.critical ? critical : normal) += EntryLine(path, file.content) + "\r\n";
    }
    std::string list = "[settings]\r\nRev|" + std::to_string(rev) + "\r\n[/settings]\r\n";
    if (!self.empty()) list += "[self]\r\n" + self + "\r\n[/self]\r\n";
    list += "[files_critical]\r\n" + critical + "[/files_critical]\r\n";
    list += "[files_normal]\r\n" + normal + "[/files_normal]\r\n";
    PublishList(list);
}

void EngineRun::PublishList(const std::string& listText) { PutServerFile("files.lst.bz2", Compress(listText)); }

void EngineRun::PutServerFile(const std::string& urlPath, const std::string& bytes) {
    // The server maps request bytes to file names unchanged.
    WriteBytes(ServerFilePath(serverDir_, urlPath), bytes);
}

void EngineRun::SetFault(const std::string& urlPath, const std::string& fault) {
    WriteBytes(serverDir_ / fs::path(urlPath + ".fault"), fault);
}

bool EngineRun::Run(bool force, TSelfMode mode, const std::string& baseUrl) {
    view_.log.clear();
    view_.phases.clear();
    view_.entries.clear();
    view_.reasons.clear();
    view_.runFailure = TFailure{};
    TDirectSynchronizer sync;
    GFilesThread run(view_, sync);
    run.SetProgressInterval(std::chrono::steady_clock::duration::zero());
    if (connections_ > 0) run.SetFetchConnections(connections_);
    run.BaseUrl = baseUrl;
    run.ForceCheck = force;
    run.SelfMode = mode;
    return RunIn(run);
}

bool EngineRun::RunIn(GFilesThread& run) {
    if (run.BaseUrl.empty()) run.BaseUrl = baseUrl_;
    fs::current_path(installDir_);
    run.RunInline();
    fs::current_path(savedCwd_);
    return run.Succeeded();
}

std::string EngineRun::Local(const std::string& relative) const { return ListPath(installDir_, relative).string(); }

fs::path EngineRun::LocalPath(const std::string& relative) const { return ListPath(installDir_, relative); }

std::string EngineRun::ReadLocal(const std::string& relative) const {
    const fs::path p = ListPath(installDir_, relative);
    if (!fs::is_regular_file(p)) return "<missing>";
    return ReadBytes(p);
}

void EngineRun::WriteLocal(const std::string& relative, const std::string& content) const {
    WriteBytes(ListPath(installDir_, relative), content);
}

std::vector<std::string> EngineRun::Leftovers() const {
    std::vector<std::string> found;
    for (const fs::path& p : TreeBelow(installDir_)) {
        const std::string name = p.filename().string();
        const std::string ext = p.extension().string();
        if (name.find(".~corvel-resume-") != std::string::npos) continue;
        if (ext == ".bz2" || ext == ".part" || ext == ".New" || name == "files.lst" || name == "Update.bat" ||
            name.find(".~corvel") != std::string::npos) {
            found.push_back(p.string());
        }
    }
    for (const auto& e : fs::directory_iterator(sandbox_)) {
        if (e.path().filename() != *installPlace_.begin()) found.push_back("outside: " + e.path().string());
    }
    return found;
}

std::vector<std::string> EngineRun::Requests() const {
    std::vector<std::string> lines;
    std::ifstream in(serverDir_.parent_path() / "requests.log", std::ios::binary);
    std::string prefix = "GET /" + serverDir_.filename().string() + "/";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(4));
    }
    return lines;
}

bool EngineRun::Asked(const std::string& urlPath) const {
    const std::string wanted = "/" + serverDir_.filename().string() + "/" + urlPath + " ";
    for (const std::string& line : Requests()) {
        if (line.rfind(wanted, 0) == 0) return true;
    }
    return false;
}

std::vector<std::string> EngineRun::LogLinesFrom(const std::string& marker) const {
    std::vector<std::string> lines;
    std::ifstream in(installDir_ / "CorvelUpdater.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (const auto at = line.find(marker); at != std::string::npos) lines.push_back(line.substr(at));
    }
    return lines;
}

std::size_t EngineRun::Connections() const {
    std::set<std::string> seen;
    std::ifstream in(serverDir_.parent_path() / "connections.log", std::ios::binary);
    const std::string prefix = "/" + serverDir_.filename().string() + "/";
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, prefix.size(), prefix) == 0) {
            seen.insert(line.substr(0, space));
        }
    }
    return seen.size();
}

std::vector<std::string> EngineRun::Partials() const {
    std::vector<std::string> found;
    for (const fs::path& p : TreeBelow(installDir_)) {
        if (p.filename().string().find(".~corvel-resume-") != std::string::npos) found.push_back(p.string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

namespace {

// The lines of the server's bytes.log for one of this test's paths, as
// (status, bytes).
std::vector<std::pair<int, std::uint64_t>> Served(const fs::path& serverDir, const std::string& urlPath) {
    std::vector<std::pair<int, std::uint64_t>> out;
    std::ifstream in(serverDir.parent_path() / "bytes.log", std::ios::binary);
    const std::string wanted = "/" + serverDir.filename().string() + "/" + urlPath + " ";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(wanted, 0) != 0) continue;
        std::istringstream fields(line.substr(wanted.size()));
        int status = 0;
        std::uint64_t bytes = 0;
        fields >> status >> bytes;
        out.emplace_back(status, bytes);
    }
    return out;
}

}  // namespace

std::vector<std::pair<int, std::uint64_t>> EngineRun::ServedLines(const std::string& urlPath) const {
    return Served(serverDir_, urlPath);
}

std::uint64_t EngineRun::ServedBytes(const std::string& urlPath) const {
    std::uint64_t total = 0;
    for (const auto& [status, bytes] : Served(serverDir_, urlPath)) total += bytes;
    return total;
}

std::vector<int> EngineRun::ServedStatuses(const std::string& urlPath) const {
    std::vector<int> out;
    for (const auto& [status, bytes] : Served(serverDir_, urlPath)) out.push_back(status);
    return out;
}

std::string Noise(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}
