// The launcher test's configuration library, linked in place of corvel_config:
// the test server's address and the test key come from the environment, so
// that the server binds any free port and one build serves every test.
// Threat: whoever sets the environment redirects the program and picks the
// key that it trusts; only the test build links this, never a shipped one.
#include "config/Config.h"
#include "config/Defaults.h"

#include <cstdlib>
#include <stdexcept>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

namespace config {

std::string UpdateBaseUrl() {
    // Never a compiled-in default: a forgotten variable must not reach a real server.
    const std::string url = Env("CORVEL_TEST_UPDATE_URL");
    if (url.empty()) throw std::runtime_error("CORVEL_TEST_UPDATE_URL no está definida");
    return url;
}

std::string PublicKey() { return Env("CORVEL_TEST_PUBLIC_KEY"); }

std::string WebSiteUrl() { return CORVEL_WEBSITE_URL; }

std::string ForumUrl() { return CORVEL_FORUM_URL; }

bool CloseWhenIdle() { return !Env("CORVEL_EXIT_WHEN_IDLE").empty(); }

std::string IdleNotesFile() { return Env("CORVEL_TEST_IDLE_NOTES"); }

}  // namespace config
