// The commands: play, check files, close, minimise and restore, the web
// site and the forum, from the buttons and from the tray menu.
#include "GuiFixture.h"

#include "config/Defaults.h"
#include "platform/errors.h"

#include <shlobj.h>

#include <filesystem>

namespace {

using TCommandsTest = TFMainTest;

TEST_F(TCommandsTest, PlayStartsTheClientFromItsDirectoryThenCloses) {
    ClickControl(form->ImgBtn1);
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0], "system\\gc.exe");
    EXPECT_EQ(form->Handle(), nullptr);
    EXPECT_TRUE(errorBoxes.empty());
    // The tray icon leaves with the window.
    ASSERT_FALSE(notifications.empty());
    EXPECT_EQ(notifications.back().Message, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(TCommandsTest, PlayThatCannotEnterTheDirectoryShowsTheErrorAndStays) {
    form->RunProgramFn = [](const std::string&) { throw EInOutError(3, "El sistema no puede encontrar la ruta"); };
    ClickControl(form->ImgBtn1);
    ASSERT_EQ(errorBoxes.size(), 1u);
    EXPECT_EQ(errorBoxes[0], "El sistema no puede encontrar la ruta.");
    EXPECT_NE(form->Handle(), nullptr);
    EXPECT_TRUE(IsWindow(form->Handle()));
}

TEST_F(TCommandsTest, WebAndForumOpenTheirAddressesWithoutSlashFromButtonsWithSlashFromTheMenu) {
    ClickControl(form->ImgBtn4);
    ClickControl(form->ImgBtn5);
    form->PopupMenu1.Choose(form->Home1.Id());
    form->PopupMenu1.Choose(form->Forum1.Id());
    ASSERT_EQ(addresses.size(), 4u);
    std::string web = CORVEL_WEBSITE_URL;
    std::string forum = CORVEL_FORUM_URL;
    while (!web.empty() && web.back() == '/') web.pop_back();
    while (!forum.empty() && forum.back() == '/') forum.pop_back();
    EXPECT_EQ(addresses[0], web);
    EXPECT_EQ(addresses[1], forum);
    EXPECT_EQ(addresses[2], web + "/");
    EXPECT_EQ(addresses[3], forum + "/");
    EXPECT_NE(web, forum);
    EXPECT_TRUE(IsWindow(form->Handle()));
}

TEST_F(TCommandsTest, StartupTimerStartsOneUnforcedRunWithEmptyLabels) {
    form->DBAdvSmoothLabel1.SetCaption(L"x");
    form->DBAdvSmoothLabel2.SetCaption(L"y");
    form->Timer1Timer();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].ForceCheck);
    EXPECT_TRUE(runs[0].FreeOnTerminate);
    EXPECT_EQ(runs[0].BaseUrl, std::string("http://") + CORVEL_UPDATE_HOST + "/Updater/");
    EXPECT_FALSE(form->Timer1.Enabled());
    EXPECT_TRUE(form->DBAdvSmoothLabel1.Caption().empty());
    EXPECT_TRUE(form->DBAdvSmoothLabel2.Caption().empty());
    EXPECT_TRUE(form->RunActive());
}

TEST_F(TCommandsTest, StartupTimerFiresOnceByItself) {
    ASSERT_TRUE(PumpUntil([&] { return !runs.empty(); }, std::chrono::seconds(5)));
    PumpUntil([] { return false; }, std::chrono::milliseconds(150));
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_FALSE(form->Timer1.Enabled());
}

TEST_F(TCommandsTest, CheckButtonAndMenuItemStartForcedRunsOneAtATime) {
    form->Timer1.SetEnabled(false);
    ClickControl(form->ImgBtn2);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].ForceCheck);
    EXPECT_EQ(runs[0].BaseUrl, std::string("http://") + CORVEL_UPDATE_HOST + "/Updater/");
    // In the first moments the run has not yet switched the view: the window
    // still refuses a second one.
    ClickControl(form->ImgBtn2);
    form->PopupMenu1.Choose(form->CheckFiles1.Id());
    form->Timer1Timer();
    EXPECT_EQ(runs.size(), 1u);

    form->Link().BeginUpdateView();
    form->PopupMenu1.Choose(form->CheckFiles1.Id());  // greyed: cannot be chosen
    EXPECT_EQ(runs.size(), 1u);
    form->Link().EndUpdateView(TFailure{});
    EXPECT_FALSE(form->RunActive());

    form->PopupMenu1.Choose(form->CheckFiles1.Id());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_TRUE(runs[1].ForceCheck);
}

TEST_F(TCommandsTest, RunThatEndsWithoutClosingItsViewLeavesTheWindowIdle) {
    form->Timer1Timer();
    form->BeginUpdateView();
    ASSERT_EQ(heldRuns.size(), 1u);
    heldRuns.clear();  // the run object goes, as a run that failed would
    ASSERT_TRUE(PumpUntil([&] { return !form->RunActive(); }, std::chrono::seconds(5)));
    EXPECT_TRUE(form->ImgBtn1.Visible());
    EXPECT_FALSE(form->Image5.Visible());
    EXPECT_TRUE(form->CheckFiles1.Enabled());
}

TEST_F(TCommandsTest, ExitButtonClosesTheWindow) {
    ClickControl(form->ImgBtn3);
    EXPECT_EQ(form->Handle(), nullptr);
}

TEST_F(TCommandsTest, CloseMenuItemClosesTheWindow) {
    form->PopupMenu1.Choose(form->Close1.Id());
    EXPECT_EQ(form->Handle(), nullptr);
}

TEST_F(TCommandsTest, MinimiseGoesToTheTrayAndRestoreBringsItBack) {
    HWND hwnd = form->Handle();
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    RECT shown;
    GetWindowRect(hwnd, &shown);
    // Restoring a window that is not minimised does nothing.
    form->Maximise1Click();
    EXPECT_FALSE(IsIconic(hwnd));
    ClickControl(form->ImgBtn11);
    EXPECT_TRUE(IsIconic(hwnd));
    EXPECT_FALSE(IsWindowVisible(hwnd));  // window and taskbar button hidden
    form->Minimise1Click();               // already minimised: unchanged
    EXPECT_TRUE(IsIconic(hwnd));

    form->CoolTrayIcon1.IconMessage(WM_LBUTTONUP);  // a left click on the icon
    EXPECT_FALSE(IsIconic(hwnd));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    RECT back;
    GetWindowRect(hwnd, &back);
    EXPECT_EQ(back.right - back.left, 995);
    EXPECT_EQ(back.bottom - back.top, 524);

    form->PopupMenu1.Choose(form->Minimise1.Id());
    EXPECT_FALSE(IsWindowVisible(hwnd));
    form->PopupMenu1.Choose(form->Maximise1.Id());
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_FALSE(IsIconic(hwnd));
}
TEST_F(TCommandsTest, DesktopShortcutPointsToTheProgramAndItsDirectory) {
    char desktop[MAX_PATH + 1] = "";
    LPITEMIDLIST items = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOPDIRECTORY, &items), S_OK);
    ASSERT_TRUE(SHGetPathFromIDListA(items, desktop));
    CoTaskMemFree(items);
    const std::wstring link = std::filesystem::path(std::string(desktop) + "\\Drakmoor - Corvel.lnk").wstring();

    TComPtr<IShellLinkA> shell;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                           reinterpret_cast<void**>(shell.Put()))));
    TComPtr<IPersistFile> file;
    ASSERT_TRUE(SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Put()))));
    ASSERT_TRUE(SUCCEEDED(file->Load(link.c_str(), STGM_READ)));
    char target[MAX_PATH + 1] = "";
    char workdir[MAX_PATH + 1] = "";
    ASSERT_TRUE(SUCCEEDED(shell->GetPath(target, sizeof(target), nullptr, 0)));
    ASSERT_TRUE(SUCCEEDED(shell->GetWorkingDirectory(workdir, sizeof(workdir))));
    char exe[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    EXPECT_STRCASEEQ(target, exe);
    std::string dir = exe;
    dir.erase(dir.find_last_of('\\') + 1);
    EXPECT_STRCASEEQ(workdir, dir.c_str());
}

}  // namespace
