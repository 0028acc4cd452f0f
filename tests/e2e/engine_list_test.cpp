// The list as a client reads it: entry sizes are 64-bit decimal and anything
// else fails its entry alone; names are Windows-1252, bytes 80-9F included.
#include "tests/e2e/engine_fixture.h"

#include <gmock/gmock.h>

namespace {
using ::testing::IsEmpty;
}  // namespace

// Sizes the list can't mean fail their entry only: past 2^63, negative,
// not decimal. An entry beside them installs.
TEST_F(EngineRun, SizesPastSixtyFourBitsOrNotDecimalFailTheirEntryOnly) {
    const std::string content = "fine";
    PutServerFile("ok.txt.bz2", Compress(content));
    std::string normal;
    for (const char* size : {"9223372036854775808", "18446744073709551617", "-4", "0x10", "4 5"}) {
        const std::string name = std::string("bad") + std::to_string(normal.size()) + ".txt";
        PutServerFile(name + ".bz2", Compress(content));
        normal += name + "|" + Md5Hex(content) + "|" + size + "\r\n";
    }
    normal += "ok.txt|" + Md5Hex(content) + "|+" + std::to_string(content.size()) + "\r\n";
    PublishList("[settings]\r\nRev|1\r\n[/settings]\r\n[files_normal]\r\n" + normal + "[/files_normal]\r\n");
    EXPECT_FALSE(Run());
    EXPECT_EQ(ReadLocal("ok.txt"), content);
    EXPECT_EQ(view_.Count("Status|Actualizaci\xF3n Fallida|"), 5u);
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// The bytes 80-9F are where Windows-1252 and Latin-1 differ: 0x80 is the
// euro sign, not the control U+0080. The file lands under the name the list
// means, and the fixture's own mapping of list names agrees with it.
TEST_F(EngineRun, NamesWithWindows1252UpperBytesLandUnderTheirMeaning) {
    const std::string name = "\x80uro\x9C\x8A\xE9.txt";  // €uroœŠé.txt
    Publish({{"dir\\" + name, {"euro", true}}});
    EXPECT_TRUE(Run());
    // Under the name the list means; and the fixture, reading through its
    // own mapping of list names, finds it there (Latin-1 would not).
    EXPECT_TRUE(fs::is_regular_file(installDir_ / "dir" / fs::path(u8"\u20ACuro\u0153\u0160\u00E9.txt")));
    EXPECT_EQ(ReadLocal("dir\\" + name), "euro");
}
