// A view that shows nothing, for runs whose view the test doesn't read;
// tests derive from it to act on one operation.
#pragma once

#include "engine/view/UpdateView.h"

#include <cstdint>
#include <string>

class TQuietView : public TUpdateView {
public:
    void SyncStatus(TRunPhase, const std::string&, const std::string&) override {}
    void SyncProgressMax(std::int32_t, std::int32_t) override {}
    void SyncFileProgress(std::int32_t) override {}
    void SyncExtractProgress(std::int32_t) override {}
    void SyncTotalProgress(std::int32_t) override {}
    void BeginUpdateView() override {}
    void EndUpdateView(const TFailure&) override {}
    void ShowUpdateFinished(bool) override {}
};
