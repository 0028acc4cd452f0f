#include "config/Config.h"

#include "config/Defaults.h"
#include "formats/EmbeddedKey.h"

// The key where a running updater looks for it in a new build of itself
// (formats/EmbeddedKey.h): kept whole in the program's data.
namespace {
[[gnu::used]] const char kEmbeddedPublicKey[] = CORVEL_EMBEDDED_KEY_MARKER CORVEL_PUBLIC_KEY;
}  // namespace

namespace config {

std::string UpdateBaseUrl() {
    if (*CORVEL_UPDATE_URL) return CORVEL_UPDATE_URL;
    return std::string("http://") + CORVEL_UPDATE_HOST + "/Updater/";
}

std::string PublicKey() {
    // Read through the embedded copy, so that no build drops it.
    return std::string(kEmbeddedPublicKey + kEmbeddedKeyMarker.size());
}

std::string WebSiteUrl() { return CORVEL_WEBSITE_URL; }

std::string ForumUrl() { return CORVEL_FORUM_URL; }

bool CloseWhenIdle() { return false; }

std::string IdleNotesFile() { return std::string(); }

}  // namespace config
