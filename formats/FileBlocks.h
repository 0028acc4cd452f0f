// A whole file's bytes handed to a digest, block by block, through a
// read-only mapping: the one way the MD5 of an installed file and the
// SHA-256 of a fetched list read a file, with the shortcuts and the guard
// against a file that shrinks or vanishes under its view.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace os {
class Mapping;
}

// Receives the file's bytes in order. Runs inside a guarded read of the
// view: when a page can't be read, the call is abandoned where it stands,
// so it must own nothing that needs unwinding (no allocation, no lock).
using TFileBlock = std::function<void(std::span<const std::uint8_t> bytes)>;

// Hands every byte of mapping to block. Raises EInOutError (naming path)
// when a page of the view can't be read; the caller still owns and
// releases the mapping.
void ForEachBlockOfMapping(os::Mapping& mapping, const std::string& path, const TFileBlock& block);

// Maps the file at path (a list path, as os::MapFileReadOnly takes it) and
// hands every byte to block. A missing, unreadable or empty file gives no
// block at all; a read failure inside the file raises EInOutError after
// the mapping has been released.
void ForEachBlockOfFile(const std::string& path, const TFileBlock& block);
