#include "ui/RunLink.h"

#include "engine/GetFilesThr.h"

#include <exception>
#include <utility>

namespace {

// One operation handed from a worker to the window's thread.
struct TSyncCall {
    const std::function<void()>* Operation;
    std::exception_ptr Error;
};

// Holds the link before GFilesThread is built on it, and until the run is gone.
struct TLinkHolder {
    std::shared_ptr<TRunLink> Link;
};

class TWindowRun final : private TLinkHolder, public GFilesThread {
public:
    TWindowRun(std::shared_ptr<TRunLink> link, unsigned serial)
        : TLinkHolder{std::move(link)}, GFilesThread(*Link, *Link), serial_(serial) {}
    ~TWindowRun() override { Link->RunEnded(serial_); }

private:
    unsigned serial_;
};

}  // namespace

std::unique_ptr<GFilesThread> NewWindowRun(std::shared_ptr<TRunLink> link, unsigned serial) {
    return std::make_unique<TWindowRun>(std::move(link), serial);
}

TRunLink::TRunLink(HWND window, TUpdateView& view)
    : hwnd_(window), view_(&view), feed_([this] {
          if (HWND hwnd = hwnd_.load()) PostMessageW(hwnd, WM_CORVEL_FRAME, 0, 0);
      }) {}

void TRunLink::Synchronize(const std::function<void()>& operation) {
    HWND hwnd = hwnd_.load();
    if (!hwnd) return;
    TSyncCall call{&operation, nullptr};
    // The window's thread checks again that it is still attached before it
    // runs the operation; a destroyed window makes SendMessage return at once.
    SendMessageW(hwnd, WM_CORVEL_SYNC, 0, reinterpret_cast<LPARAM>(&call));
    if (call.Error) std::rethrow_exception(call.Error);
}

void TRunLink::RunHanded(LPARAM message, const std::function<void()>& catchUp) {
    auto* call = reinterpret_cast<TSyncCall*>(message);
    if (!Attached()) return;
    try {
        catchUp();
        (*call->Operation)();
    } catch (...) {
        call->Error = std::current_exception();
    }
}

void TRunLink::RunEnded(unsigned serial) {
    if (HWND hwnd = hwnd_.load()) PostMessageW(hwnd, WM_CORVEL_RUN_ENDED, serial, 0);
}

void TRunLink::Detach() {
    hwnd_.store(nullptr);
    view_ = nullptr;
    feed_.Close();
}

void TRunLink::SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) {
    feed_.Status(phase, status, detail);
}
void TRunLink::SyncProgressMax(std::int32_t selector, std::int32_t value) { feed_.ProgressMax(selector, value); }
void TRunLink::SyncFileProgress(std::int32_t value) { feed_.FileProgress(value); }
void TRunLink::SyncExtractProgress(std::int32_t value) { feed_.ExtractProgress(value); }
void TRunLink::SyncTotalProgress(std::int32_t value) { feed_.TotalProgress(value); }
void TRunLink::SyncTransfer(const TTransferFigures& figures) { feed_.Transfer(figures); }
void TRunLink::SyncNext(const TNextFigures& next) { feed_.Next(next); }
void TRunLink::BeginUpdateView() {
    if (view_) view_->BeginUpdateView();
}
void TRunLink::EndUpdateView(const TFailure& failure) {
    if (view_) view_->EndUpdateView(failure);
}
void TRunLink::ShowUpdateFinished(bool installFailed) {
    if (view_) view_->ShowUpdateFinished(installFailed);
}
void TRunLink::ChannelsKnown(const std::vector<std::string>& offered, const std::string& followed) {
    if (view_) view_->ChannelsKnown(offered, followed);
}
