// The player's hand on the downloads: the figures line (worded by
// engine/view/Figures, tested with it), the limits of the tray menu and
// their settings file, and the pause item.
#include "GuiFixture.h"

#include "ui/Settings.h"

#include <fstream>
#include <iterator>
#include <string>

namespace {

// Only a limit the menu offers and a name that can be a channel's are read;
// the file of a launcher that knew only the limit reads as it did.
TEST(Settings, OnlyWhatTheMenuOffersIsRead) {
    const struct {
        const char* text;
        std::uint64_t limit;
        const char* channel;
    } rows[] = {
        {"limit=1048576\r\n", 1048576, ""},
        {"limit=512000", 512000, ""},
        {"limit=2097152\nother=1\n", 2097152, ""},
        {"limit=512000\r\nchannel=beta-2\r\n", 512000, "beta-2"},
        {"channel=qa\nlimit=1048576", 1048576, "qa"},
        {"limit=0\r\nchannel=beta\r\nchannel=qa\r\n", 0, "beta"},
        {"limit=1048576\r\nchannel=../x\r\n", 1048576, ""},
    };
    for (const auto& row : rows) {
        const TSettings settings = ParseSettings(row.text);
        EXPECT_EQ(settings.limit, row.limit) << row.text;
        EXPECT_EQ(settings.channel, row.channel) << row.text;
    }
    for (const char* damaged : {"", "limit=", "limit=abc", "limit=1048576x", "limit=1000", "Limit=1048576",
                                "\xFF\xFE", "limit=99999999999999999999999"})
        EXPECT_EQ(ParseRateLimit(damaged), 0u) << damaged;
    // Written as read; the limit first, for a launcher that reads one line.
    EXPECT_EQ(SettingsText(TSettings{1048576, "beta"}), "limit=1048576\r\nchannel=beta\r\n");
    EXPECT_EQ(SettingsText(TSettings{512000, ""}), "limit=512000\r\n");
}

class TLimitsTest : public TFMainTest {
protected:
    void SetUp() override {
        TFMainTest::SetUp();
        form->Timer1.SetEnabled(false);
        static int serial = 0;
        dir = std::filesystem::temp_directory_path() /
              ("corvel-limits-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(dir);
        settings = dir / "CorvelUpdater.ini";
    }
    void TearDown() override {
        TFMainTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string FileText() const {
        std::ifstream in(settings, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::wstring MenuText(HMENU menu, UINT id) {
        wchar_t text[64] = L"";
        GetMenuStringW(menu, id, text, 64, MF_BYCOMMAND);
        return text;
    }
    static bool Marked(HMENU menu, UINT id) {
        return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    }
    std::filesystem::path dir, settings;
};

TEST_F(TLimitsTest, LimitSubmenuOffersTheFourChoicesWithTheCurrentOneMarked) {
    form->LoadSettings(settings);
    EXPECT_EQ(GetSubMenu(form->PopupMenu1.Handle(), 5), form->LimitMenu1.Handle());
    EXPECT_EQ(MenuText(form->PopupMenu1.Handle(), form->Limit1->Id()), L"Limitar descarga");
    HMENU sub = form->LimitMenu1.Handle();
    ASSERT_EQ(GetMenuItemCount(sub), 4);
    const wchar_t* captions[] = {L"Sin l\u00EDmite", L"2 MB/s", L"1 MB/s", L"500 KB/s"};
    for (int i = 0; i < 4; ++i) {
        const UINT id = GetMenuItemID(sub, i);
        EXPECT_EQ(MenuText(sub, id), captions[i]);
        // Without a settings file: no limit.
        EXPECT_EQ(Marked(sub, id), i == 0) << i;
    }
    EXPECT_EQ(form->RateLimit(), 0u);
}

TEST_F(TLimitsTest, AChoiceAppliesToTheRunGoingAndLaterOnesAndIsKeptInTheFile) {
    form->LoadSettings(settings);
    ASSERT_TRUE(form->StartUpdateRun(true));
    const auto first = form->RunControl();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->RateLimit(), 0u);

    form->PopupMenu1.Choose(form->Limit1M1.Id());
    EXPECT_EQ(first->RateLimit(), 1048576u);
    EXPECT_EQ(form->RateLimit(), 1048576u);
    EXPECT_TRUE(Marked(form->LimitMenu1.Handle(), form->Limit1M1.Id()));
    EXPECT_FALSE(Marked(form->LimitMenu1.Handle(), form->LimitNone1.Id()));
    EXPECT_EQ(FileText(), "limit=1048576\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "CorvelUpdater.ini.tmp"));

    form->PopupMenu1.Choose(form->Limit500K1.Id());
    EXPECT_EQ(first->RateLimit(), 512000u);
    EXPECT_EQ(FileText(), "limit=512000\r\n");

    form->EndUpdateView(TFailure{});
    ASSERT_TRUE(form->StartUpdateRun(false));
    ASSERT_NE(form->RunControl(), first);
    EXPECT_EQ(form->RunControl()->RateLimit(), 512000u);

    // Back to none: the run goes at full speed again.
    form->PopupMenu1.Choose(form->LimitNone1.Id());
    EXPECT_EQ(form->RunControl()->RateLimit(), 0u);
    EXPECT_EQ(FileText(), "limit=0\r\n");
}

TEST_F(TLimitsTest, TheNextWindowReadsTheChoiceBackAndADamagedFileMeansNoLimit) {
    form->LoadSettings(settings);
    form->PopupMenu1.Choose(form->Limit2M1.Id());
    form.reset();

    form = std::make_unique<TFMain>();
    form->Timer1.SetEnabled(false);
    form->StartRunFn = [this](GFilesThread& run) { heldRuns.emplace_back(&run); };
    form->LoadSettings(settings);
    EXPECT_EQ(form->RateLimit(), 2097152u);
    EXPECT_TRUE(Marked(form->LimitMenu1.Handle(), form->Limit2M1.Id()));
    ASSERT_TRUE(form->StartUpdateRun(false));
    EXPECT_EQ(form->RunControl()->RateLimit(), 2097152u);

    std::ofstream(settings, std::ios::binary | std::ios::trunc) << "limit=20971\x01";
    form->LoadSettings(settings);
    EXPECT_EQ(form->RateLimit(), 0u);
    EXPECT_EQ(form->RunControl()->RateLimit(), 0u);
    EXPECT_TRUE(Marked(form->LimitMenu1.Handle(), form->LimitNone1.Id()));
    EXPECT_FALSE(Marked(form->LimitMenu1.Handle(), form->Limit2M1.Id()));
}

// "Canal": "Estable" and what the last run's list offered, the choice kept
// beside the limit; choosing starts a run, and a channel no longer offered
// goes back to "Estable".
TEST_F(TLimitsTest, ChannelSubmenuOffersTheListedChannelsAndAChoiceStartsARun) {
    std::ofstream(settings, std::ios::binary | std::ios::trunc) << "limit=512000\r\nchannel=beta\r\n";
    form->LoadSettings(settings);
    EXPECT_EQ(MenuText(form->PopupMenu1.Handle(), form->Canal1->Id()), L"Canal");
    HMENU sub = form->CanalMenu1.Handle();
    // The submenu as "Estable *beta": the marked item starred.
    const auto items = [sub] {
        std::wstring shown;
        for (int i = 0; i < GetMenuItemCount(sub); ++i) {
            const UINT id = GetMenuItemID(sub, i);
            shown += (i ? L" " : L"") + std::wstring(Marked(sub, id) ? L"*" : L"") + MenuText(sub, id);
        }
        return shown;
    };
    EXPECT_EQ(items(), L"Estable *beta");

    form->ChannelsKnown({"beta", "qa"}, "beta");
    ASSERT_EQ(items(), L"Estable *beta qa");
    form->PopupMenu1.Choose(GetMenuItemID(sub, 2));
    EXPECT_EQ(form->Channel(), "qa");
    EXPECT_EQ(FileText(), "limit=512000\r\nchannel=qa\r\n");
    EXPECT_TRUE(form->RunActive());
    EXPECT_EQ(items(), L"Estable beta *qa");

    form->EndUpdateView(TFailure{});
    form->ChannelsKnown({"beta"}, "");
    EXPECT_EQ(form->Channel(), "");
    EXPECT_EQ(FileText(), "limit=512000\r\n");
    EXPECT_EQ(items(), L"*Estable beta");
}

TEST_F(TLimitsTest, PauseIsOfferedOnlyDuringARunAndFlipsBetweenPauseAndResume) {
    HMENU menu = form->PopupMenu1.Handle();
    EXPECT_FALSE(form->Pause1.Enabled());
    EXPECT_TRUE(GetMenuState(menu, form->Pause1.Id(), MF_BYCOMMAND) & MF_GRAYED);
    form->PopupMenu1.Choose(form->Pause1.Id());  // greyed: nothing happens

    ASSERT_TRUE(form->StartUpdateRun(true));
    form->BeginUpdateView();
    EXPECT_TRUE(form->Pause1.Enabled());
    EXPECT_FALSE(GetMenuState(menu, form->Pause1.Id(), MF_BYCOMMAND) & MF_GRAYED);
    form->SyncStatus(TRunPhase::Downloading, "Descargando...", "data\\a.map");
    form->SyncTransfer({5 << 20, 20 << 20, 1 << 20, 15, false});
    EXPECT_EQ(form->DBAdvSmoothLabel3.Caption(), L"5 / 20 MB \u00B7 1 MB/s \u00B7 faltan 15 s");

    form->PopupMenu1.Choose(form->Pause1.Id());
    EXPECT_TRUE(form->RunControl()->Paused());
    EXPECT_EQ(MenuText(menu, form->Pause1.Id()), L"Reanudar descarga");
    EXPECT_EQ(form->Pause1.Caption(), L"Reanudar descarga");
    // Shown at once, before the run says so.
    EXPECT_EQ(form->DBAdvSmoothLabel3.Caption(), L"5 / 20 MB \u00B7 En pausa");
    // The status line itself is left as the run set it.
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), L"Descargando...");

    form->PopupMenu1.Choose(form->Pause1.Id());
    EXPECT_FALSE(form->RunControl()->Paused());
    EXPECT_EQ(MenuText(menu, form->Pause1.Id()), L"Pausar descarga");

    form->PopupMenu1.Choose(form->Pause1.Id());
    form->EndUpdateView(TFailure{});
    EXPECT_FALSE(form->Pause1.Enabled());
    EXPECT_EQ(MenuText(menu, form->Pause1.Id()), L"Pausar descarga");

    // A new run starts unpaused.
    ASSERT_TRUE(form->StartUpdateRun(false));
    EXPECT_FALSE(form->RunControl()->Paused());
    EXPECT_TRUE(form->Pause1.Enabled());

    // Its pre-download, after the view: held by the same item, said in its note.
    form->EndUpdateView(TFailure{});
    form->SyncNext({120 << 20, 700 << 20, true, false});
    form->PopupMenu1.Choose(form->Pause1.Id());
    EXPECT_TRUE(form->RunControl()->Paused());
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(),
              L"Descargando la pr\u00F3xima actualizaci\u00F3n: 120 / 700 MB \u00B7 En pausa");
    form->SyncNext({700 << 20, 700 << 20, false, false});
    EXPECT_FALSE(form->Pause1.Enabled());
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), L"Pr\u00F3xima actualizaci\u00F3n lista");
}

TEST_F(TLimitsTest, FiguresShowBesideTheStatusDuringDownloadsOnly) {
    ASSERT_TRUE(form->StartUpdateRun(true));
    form->BeginUpdateView();
    EXPECT_TRUE(form->DBAdvSmoothLabel3.Visible());
    EXPECT_TRUE(form->DBAdvSmoothLabel3.Caption().empty());
    const TPixels before = form->Render();

    // Through the feed, as a run publishes them.
    form->Link().SyncStatus(TRunPhase::Downloading, "Descargando...", "data\\a.map");
    form->Link().SyncTransfer({120 << 20, 700 << 20, (3 << 20) + (1 << 20) / 5, 120, false});
    ASSERT_TRUE(PumpUntil([&] { return form->Link().Feed().Pending() == 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(form->DBAdvSmoothLabel3.Caption(), L"120 / 700 MB \u00B7 3,2 MB/s \u00B7 faltan 2 min");
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), L"Descargando...");
    // Drawn, after the status text and clear of the skull.
    const TPixels during = form->Render();
    EXPECT_GT(DifferingPixels(before, during, form->DBAdvSmoothLabel3.BoundsRect()), 200);
    EXPECT_LT(form->DBAdvSmoothLabel3.Left() + form->DBAdvSmoothLabel3.Width(), form->Image5.Left());

    form->SyncStatus(TRunPhase::Checking, "Comprobando...", "data\\b.map");
    EXPECT_TRUE(form->DBAdvSmoothLabel3.Caption().empty());

    form->SyncTransfer({1, 2, 0, -1, false});
    form->EndUpdateView(TFailure{});
    EXPECT_FALSE(form->DBAdvSmoothLabel3.Visible());
}

}  // namespace
