#include "ui/controls/Timer.h"

#include "ui/controls/Form.h"

TTimer::TTimer(TForm& owner, unsigned interval) : owner_(owner), id_(owner.AddTimer(this)), interval_(interval) {}

TTimer::~TTimer() {
    SetEnabled(false);
    owner_.RemoveTimer(this);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_)
        Arm();
    else if (owner_.Handle())
        KillTimer(owner_.Handle(), id_);
}

void TTimer::Arm() {
    if (enabled_ && owner_.Handle()) SetTimer(owner_.Handle(), id_, interval_, nullptr);
}

void TTimer::Tick() {
    if (enabled_ && OnTimer) OnTimer();
}
