// The addresses the programs are built with: the update server, the
// publisher's public key, and the pages behind the WEB and FORO buttons.
// They live in one small library so that the window's sources are compiled
// once: the shipped programs link corvel_config (values compiled in from the
// CMake cache, no way to redirect them at run time), and a test links its
// own library with these functions in its place.
#pragma once

#include <string>

namespace config {

// Base URL of the update server, ending in "/"; or several, separated by
// blanks, asked in that order (the first for the list, the others when it
// fails).
std::string UpdateBaseUrl();
// The publisher's Ed25519 public key as 64 hex digits; empty when lists are
// not verified.
std::string PublicKey();
// The pages opened by the WEB and FORO buttons.
std::string WebSiteUrl();
std::string ForumUrl();
// Whether the window closes itself once it is idle, which benchmarks use to
// time its start. Always false in the shipped configuration.
bool CloseWhenIdle();
// A file the window appends each note of its idle view to (the next
// publication's), one UTF-8 line each, so the end-to-end tests can read the
// real window's texts. Always empty in the shipped configuration: no file.
std::string IdleNotesFile();

}  // namespace config
