#include "ui/controls/Timer.h"

#include "ui/controls/Form.h"

TTimer::TTimer(TForm& owner, unsigned interval)
    : owner_(owner), interval_(interval), id_(owner.AddTimer(interval, [this] {
          if (OnTimer) OnTimer();
      })) {}

TTimer::~TTimer() { owner_.RemoveTimer(id_); }

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    owner_.EnableTimer(id_, enabled);
}
