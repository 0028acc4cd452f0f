// The install: every pending entry fetched, decoded and verified ahead on
// the run's connections (engine/ahead/InstallAhead), shown and put in place one
// by one, in list order; each entry's end goes to the view with its reason.
#pragma once

#include <cstdint>
#include <span>

struct TRunContext;

// Before any request, the install's volume must have the space the pending
// entries need (SpaceNeeded); short of it the run fails at once with
// DiskFull and how many bytes are missing, and nothing is fetched.
void InstallPending(TRunContext& run);

// The disk space an install of files of these decoded sizes needs: every
// file, plus the largest copy, which lies beside its decoded file until
// that is verified. Saturates at the 64-bit limit.
std::uint64_t SpaceNeeded(std::span<const std::int64_t> sizes);
