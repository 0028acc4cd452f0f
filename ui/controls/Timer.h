// A window timer of a form: ticks every interval while enabled.
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
    friend class TForm;
    void Arm();
    void Tick();

    TForm& owner_;
    unsigned id_;
    unsigned interval_;
    bool enabled_ = false;
};
