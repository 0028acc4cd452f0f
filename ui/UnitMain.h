// The launcher window: the shaped, skinned form with its controls, its event
// handlers, and the window-side operations that update runs hand over
// (through ui/RunLink). Its pictures and outline are ui/Artwork's, its
// desktop shortcut ui/DesktopShortcut's.
#pragma once

#include "engine/fetch/RunControl.h"
#include "engine/view/UpdateView.h"
#include "ui/Artwork.h"
#include "ui/Resources.h"
#include "ui/RunLink.h"
#include "ui/controls/Form.h"
#include "ui/controls/Image.h"
#include "ui/controls/Picture.h"
#include "ui/controls/PopupMenu.h"
#include "ui/controls/ProgressBar.h"
#include "ui/controls/SmoothLabel.h"
#include "ui/controls/Timer.h"
#include "ui/controls/TrayIcon.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class GFilesThread;

// The timer that brings the next frame when one is due later.
inline constexpr UINT_PTR kFrameTimerId = 0xF4A3;

class TFMain final : public TForm, public TUpdateView {
public:
    static constexpr int kClientWidth = 995;
    static constexpr int kClientHeight = 524;

    // Creates the window hidden, runs FormCreate, and arms Timer1.
    TFMain();
    ~TFMain() override;

    // The run started by the window; what the tests and the handlers use.
    std::string UpdateBaseUrl;
    // Without a trailing "/"; the menu items add one.
    std::string WebSiteUrl;
    std::string ForumUrl;

    // Seams: how the play command starts the client, how an address is
    // opened, and how a prepared run is started. Tests replace them to record.
    std::function<void(const std::string& commandLine)> RunProgramFn;
    std::function<void(const std::string& address)> OpenAddressFn;
    std::function<void(GFilesThread& run)> StartRunFn;

    // A run was started and has not ended its view yet.
    bool RunActive() const { return runActive_; }
    TRunLink& Link() { return *link_; }
    // Stop request and end signal of the last run started (null before one).
    std::shared_ptr<TRunControl> RunControl() const { return runControl_; }
    std::shared_ptr<TRunLink> LinkPtr() const { return link_; }
    const TArtwork& Art() const { return art_; }

    // Starts an update run unless one is active; false when refused.
    bool StartUpdateRun(bool forceCheck);
    // Stops the last run started, if it is still going, and waits for its
    // thread to end while dispatching this thread's messages (the run may be
    // handing one over). False when it hadn't ended within the limit.
    bool StopRun(std::chrono::milliseconds limit);

    // The download limit of this and every later run (0: none), chosen in
    // the tray menu and kept in the settings file.
    std::uint64_t RateLimit() const { return rateLimit_; }
    // Applies a limit at once to the run going, marks it in the menu and
    // writes it to the settings file.
    void SetRateLimit(std::uint64_t bytesPerSecond);
    // Reads the limit from a settings file, which later choices go to. The
    // window reads CorvelUpdater.ini in the current directory (the install)
    // when it is made; tests name their own.
    void LoadSettings(const std::filesystem::path& file);

    // The channel this and every later run follows (empty: "Estable"),
    // chosen in the "Canal" submenu and kept in the settings file.
    const std::string& Channel() const { return channel_; }

    // Shows the next frame of what the run published, or schedules it when
    // the last one was less than a frame ago.
    void ShowFrame();
    // Seam: called after each frame with the time it was begun (tests
    // record the frames).
    std::function<void(std::chrono::steady_clock::time_point)> FrameShownFn;

    // ---- handlers -------------------------------------------------------
    void FormCreate();
    void Timer1Timer();
    void Timer3Timer();
    void Timer4Timer();
    void Timer5Timer();
    void ImgBtn1Click();
    void ImgBtn2Click();
    void ImgBtn3Click();
    void ImgBtn4Click();
    void ImgBtn5Click();
    void ImgBtn11Click();
    void ImgBtn1MouseEnter();
    void ImgBtn2MouseEnter();
    void ImgBtn3MouseEnter();
    void ImgBtn4MouseEnter();
    void ImgBtn5MouseEnter();
    void ImgBtn11MouseEnter();
    void CoolTrayIcon1Click();
    void Home1Click();
    void Forum1Click();
    void CheckFiles1Click();
    void Maximise1Click();
    void Minimise1Click();
    void Close1Click();
    void Pause1Click();
    void LimitClick(std::size_t choice);
    // Keeps the choice (empty: "Estable") and starts a run on it, as
    // "Comprobar Archivos" does; during a run, the next run follows it.
    void ChannelClick(std::string name);

    // ---- window-side operations (TUpdateView) ----------------------------
    void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) override;
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override;
    void SyncFileProgress(std::int32_t value) override;
    void SyncExtractProgress(std::int32_t value) override;
    void SyncTotalProgress(std::int32_t value) override;
    void SyncTransfer(const TTransferFigures& figures) override;
    void BeginUpdateView() override;
    // Back to the idle view, with the reason of a failed run where the
    // status line was.
    void EndUpdateView(const TFailure& failure) override;
    void ShowUpdateFinished(bool installFailed) override;
    // The submenu offers what the last run's live list named; a choice the
    // list no longer names goes back to "Estable".
    void ChannelsKnown(const std::vector<std::string>& offered, const std::string& followed) override;
    // The next publication's pre-download, after the update view: its note
    // where the status line was, and the tray's pause for it.
    void SyncNext(const TNextFigures& next) override;

private:
    TArtwork art_;

public:
    // ---- controls, in creation order ---------------------------------------
    // The names are those of the product's design; each line says the role.
    TImage Image1;                        // the background picture, never shown: the form paints it as its brush
    TImage Image6;                        // animation frame 1 of 3 (Timer3), during a run
    TImage Image7;                        // animation frame 2 of 3 (Timer4), during a run
    TImage Image8;                        // animation frame 3 of 3 (Timer5), during a run
    TImage Image4;                        // the trough behind the total bar, during a run
    TALProgressBar ALProgressBar2;        // total progress of the run
    TImgBtn ImgBtn2;                      // "check files" button: a forced run
    TImgBtn ImgBtn3;                      // exit button (top right)
    TALProgressBar ALProgressBar1;        // progress of the current file; laid out but never shown
    TImgBtn ImgBtn11;                     // minimise button (top right)
    TDBAdvSmoothLabel DBAdvSmoothLabel1;  // the run's status text (bottom left)
    TDBAdvSmoothLabel DBAdvSmoothLabel2;  // the run's detail text (bottom right)
    TDBAdvSmoothLabel DBAdvSmoothLabel3;  // the download figures, after the status text, during a run
    TImgBtn ImgBtn1;                      // play button: starts the game client and closes
    TImage Image5;                        // the skull over the play button's place, during a run
    TImage Image10;                       // the "update finished" notice, until the pointer enters a button
    TImgBtn ImgBtn4;                      // WEB button: opens the web site
    TImgBtn ImgBtn5;                      // FORO button: opens the forum
    // ---- non-visual components -----------------------------------------------
    TTimer Timer1;                // 50 ms after the start: the first, unforced run
    TPopupMenu PopupMenu1;        // the tray icon's menu
    TMenuItem& Home1;             // menu: open the web site
    TMenuItem& Forum1;            // menu: open the forum
    TMenuItem& CheckFiles1;       // menu: a forced run (disabled during a run)
    TMenuItem& Pause1;            // menu: pause or resume the run's downloads (enabled during a run)
    TMenuItem* Limit1 = nullptr;  // menu: opens LimitMenu1
    TPopupMenu& LimitMenu1;       // submenu: the download limits, the current one marked
    TMenuItem& LimitNone1;        // submenu: no limit
    TMenuItem& Limit2M1;          // submenu: 2 MB/s
    TMenuItem& Limit1M1;          // submenu: 1 MB/s
    TMenuItem& Limit500K1;        // submenu: 500 KB/s
    TMenuItem* Canal1 = nullptr;  // menu: opens CanalMenu1
    TPopupMenu& CanalMenu1;       // submenu: "Estable" and each channel offered, the current one marked
    TMenuItem& Maximise1;         // menu: restore the window
    TMenuItem& Minimise1;         // menu: minimise to the tray
    TMenuItem& Close1;            // menu: close the program
    TCoolTrayIcon CoolTrayIcon1;  // the notification-area icon: click restores, balloon when done
    TTimer Timer3;                // animation: shows frame 1, hands over to Timer4
    TTimer Timer4;                // animation: shows frame 2, hands over to Timer5
    TTimer Timer5;                // animation: shows frame 3, hands back to Timer3

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void FormMouseDown(TMouseButton button, int x, int y) override;
    void FormMouseMove(int x, int y) override;
    void FormMouseUp(TMouseButton button, int x, int y) override;
    void FormDestroy() override;

private:
    void Minimise();
    void Restore();
    void BringBack();

    // The items of the limits, in the order of kRateLimitChoices.
    std::array<TMenuItem*, 4> LimitItems() { return {&LimitNone1, &Limit2M1, &Limit1M1, &Limit500K1}; }
    void MarkRateLimit();
    void ShowPaused(bool paused);
    void FillChannelMenu();
    bool SaveSettings();
    // The pre-download of the last run is going (its thread has not ended).
    bool PreDownloading() const;
    void ShowNextNote();

    bool Dragging = false;
    std::int32_t DragStartX = 0;
    std::int32_t DragStartY = 0;

    std::shared_ptr<TRunLink> link_;
    std::shared_ptr<TRunControl> runControl_;
    std::chrono::steady_clock::time_point nextFrame_{};
    bool runActive_ = false;
    unsigned runSerial_ = 0;
    std::uint64_t rateLimit_ = 0;
    std::filesystem::path settingsFile_;
    std::vector<std::string> channels_;
    std::string channel_;
    TTransferFigures figures_{};
    TNextFigures next_{};
    std::wstring nextNote_;
};
