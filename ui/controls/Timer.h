// A window timer of a form: ticks every interval while enabled. The form
// keeps the timer's slot and dispatches its ticks; this is the owner that
// removes the slot again.
#pragma once

#include <functional>

class TForm;

class TTimer {
public:
    TTimer(TForm& owner, unsigned interval);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    // Enabling starts the interval anew; enabling an enabled timer changes
    // nothing; disabling stops it.
    void SetEnabled(bool enabled);
    unsigned Interval() const { return interval_; }
    unsigned Id() const { return id_; }

    std::function<void()> OnTimer;

private:
    TForm& owner_;
    unsigned interval_;
    unsigned id_;
    bool enabled_ = false;
};
