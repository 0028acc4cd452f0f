// A fetcher of the install's work ahead: fetches the copy of each claim it
// is handed over a connection of its own (into memory when the claim may
// hold it there, else into its partial copy), or its chain of patches
// (engine/ahead/AheadPatch), asking the entry's servers in turn.
#pragma once

#include "engine/ahead/AheadClaim.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <optional>
#include <string>

class TAheadFetcher {
public:
    // http: this fetcher's session, forked from pool when first needed and
    // made anew after a long pause; its owner keeps it past the fetcher.
    TAheadFetcher(TAheadShared& shared, os::HttpSession& pool, std::optional<os::HttpSession>& http)
        : shared_(shared), pool_(pool), http_(http) {}

    // Fetches the claim's entry: a copy for a decoder, or why not (failure).
    // A failure that is not a server's (a stop, the disk) ends the entry at
    // once; when every server failed, the first one's reason is the entry's.
    // fromZero: a resumed copy failed, and is fetched again from zero.
    TFetched Fetch(TClaim& claim, bool fromZero, TFailure& failure);
    // Starts the request Fetch will make first for the claim, when it is a
    // whole copy into memory, so that several claims' answers are on the way
    // at once (os::HttpSession::Prefetch); Fetch then takes it.
    void Prefetch(TClaim& claim);

private:
    os::HttpOptions CopyOptions(const std::string& url) const;
    os::HttpSession& Http();
    void StartCursor(TClaim& claim);
    TFetched FetchOverPauses(TClaim& claim, const std::string& url, bool fromZero);
    TFetched FetchOne(TClaim& claim, const std::string& url, bool fromZero);

    TAheadShared& shared_;
    os::HttpSession& pool_;
    std::optional<os::HttpSession>& http_;
};
