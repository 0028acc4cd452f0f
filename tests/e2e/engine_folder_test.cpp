// Install folders a player may choose: names without a Windows-1252
// spelling ("C:\Juegos\Łódź Drakmoor", a Cyrillic or Japanese user name),
// holding a list file deep enough that its full path passes MAX_PATH.
#include "tests/e2e/engine_fixture.h"

#include <algorithm>
#include <string>

namespace {

// Over 300 bytes of list path: with any install folder, past MAX_PATH.
std::string DeepPath() {
    std::string path = "deep\\";
    for (char c : std::string("vwxyz")) path += std::string(60, c) + "\\";
    return path + "file.dat";
}

class AnyInstallFolder : public EngineRun, public ::testing::WithParamInterface<const char8_t*> {
protected:
    AnyInstallFolder() { installPlace_ = fs::path(GetParam()); }

    // The fixture's removal of the sandbox can't reach past MAX_PATH on
    // Windows: the deep levels go one by one first, in the "\\?\" form.
    void RemoveDeepTree() const {
        for (fs::path level = LocalPath(DeepPath()); level != installDir_; level = level.parent_path()) {
#ifdef _WIN32
            const fs::path removable(L"\\\\?\\" + fs::path(level).make_preferred().wstring());
#else
            const fs::path& removable = level;
#endif
            std::error_code ec;
            fs::remove(removable, ec);
            EXPECT_FALSE(ec) << ec.message();
        }
    }
};

TEST_P(AnyInstallFolder, InstallsChecksAndRepairsEveryFile) {
    const std::string deep = DeepPath();
    const std::string cafe = "data\\caf\xE9.txt";
    const std::string noise = Noise(40000, 7);
    Publish({{"a.txt", {"alpha"}}, {cafe, {"caf\xE9 con leche"}}, {deep, {noise}}, {"n.txt", {"normal", false}}});
    ASSERT_GT(deep.size(), 300u);

    ASSERT_TRUE(Run());
    EXPECT_EQ(ReadLocal("a.txt"), "alpha");
    EXPECT_EQ(ReadLocal(cafe), "caf\xE9 con leche");
    EXPECT_EQ(ReadLocal(deep), noise);
    EXPECT_EQ(ReadLocal("n.txt"), "normal");
    EXPECT_EQ(view_.entries.size(), 4u);
    EXPECT_EQ(std::count(view_.entries.begin(), view_.entries.end(), deep + " ok"), 1);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // A damaged file, one marked read-only as if copied from a disc, and a
    // missing one: the forced check finds each and puts it right.
    WriteLocal("a.txt", "tampered");
    WriteLocal(cafe, "old copy");
    fs::permissions(LocalPath(cafe), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::remove(LocalPath(deep));
    ASSERT_TRUE(Run(true));
    EXPECT_EQ(ReadLocal("a.txt"), "alpha");
    EXPECT_EQ(ReadLocal(cafe), "caf\xE9 con leche");
    EXPECT_EQ(ReadLocal(deep), noise);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // Everything current: a third run installs nothing.
    ASSERT_TRUE(Run(true));
    EXPECT_EQ(view_.entries, std::vector<std::string>{});
    RemoveDeepTree();
}

INSTANTIATE_TEST_SUITE_P(Names, AnyInstallFolder,
                         ::testing::Values(u8"Łódź Drakmoor", u8"Драккмор", u8"ドラクモア/Drakmoor"));

}  // namespace
