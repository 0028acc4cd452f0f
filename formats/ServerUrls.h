// The servers' URLs, by one rule for the run that asks them and the
// publisher that names mirrors in a list: a URL the publisher writes is one
// the run keeps, and one the run would drop is refused when publishing.
#pragma once

#include "formats/ListGrammar.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Mirrors a list may add to a run's servers, at most.
inline constexpr std::size_t kMaxListedMirrors = 8;

// Threat: a list (signed, yet) or a build naming a scheme we never meant to
// speak, or a URL carrying blanks or line breaks into a request. Only http
// and https with a host, printable ASCII without blanks, at most 1024 bytes.
bool IsServerUrl(std::string_view url);

// A URL a list can name as a mirror: a server URL that holds no "|", which
// separates the list's fields.
bool IsListedMirrorUrl(std::string_view url);

// The [settings] line naming a mirror: "Mirror|URL".
std::string MirrorLine(std::string_view url);
// The URLs of the mirror lines among settings, as written; other lines
// (Rev, keys a later publisher may add) are skipped.
std::vector<std::string> ListedMirrors(const TListLines& settings);
