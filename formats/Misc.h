// Free routines shared by the run and the tools: text replacement.
#pragma once

#include <string>

// Replaces every occurrence of pattern, left to right, without overlaps and
// without searching replaced text again. An empty pattern never occurs.
std::string ReplaceAll(const std::string& source, const std::string& pattern, const std::string& replacement);
