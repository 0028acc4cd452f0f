// Why a run failed, in the player's words: Spanish, short enough for the
// window's status line, and saying what to do where the player can act.
#pragma once

#include "platform/errors.h"

#include <string>

// Empty for a run that did not fail, or that the player stopped.
std::wstring ReasonText(const TFailure& failure);
