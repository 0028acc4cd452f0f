#include "config/Config.h"

#include "config/Defaults.h"

namespace config {

std::string UpdateBaseUrl() {
    if (*CORVEL_UPDATE_URL) return CORVEL_UPDATE_URL;
    return std::string("http://") + CORVEL_UPDATE_HOST + "/Updater/";
}

std::string PublicKey() { return CORVEL_PUBLIC_KEY; }

std::string WebSiteUrl() { return CORVEL_WEBSITE_URL; }

std::string ForumUrl() { return CORVEL_FORUM_URL; }

bool CloseWhenIdle() { return false; }

}  // namespace config
