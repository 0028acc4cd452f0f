// The publisher's public key as an updater's executable carries it: the
// marker then the 64 hex digits, in the program's data. A signed updater
// replaces itself only with a build that carries a key it trusts, so an
// operator can't leave the players unverified by publishing a build made
// without the key (or for another server); the running updater finds the
// key by scanning the new file's bytes, whatever the executable's format.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A macro so that the configuration can join it to the key at compile time.
#define CORVEL_EMBEDDED_KEY_MARKER "corvel-updater-public-key:"

inline constexpr std::string_view kEmbeddedKeyMarker = CORVEL_EMBEDDED_KEY_MARKER;

// Every key (64 hex digits, as written) that follows the marker in bytes.
std::vector<std::string> EmbeddedKeys(std::span<const std::uint8_t> bytes);
