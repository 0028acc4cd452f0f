#include "engine/fetch/Servers.h"

#include "formats/Publication.h"
#include "formats/ServerUrls.h"

#include <algorithm>
#include <mutex>

namespace {

std::string WithSlash(std::string url) {
    if (url.empty() || url.back() != '/') url += '/';
    return url;
}

}  // namespace

std::vector<std::string> SplitServerUrls(std::string_view text) {
    std::vector<std::string> urls;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\r\n", i);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        urls.emplace_back(text.substr(start, end - start));
        i = end;
    }
    return urls;
}

bool ServerFault(TFault fault) {
    switch (fault) {
        case TFault::CannotConnect:
        case TFault::ServerError:
        case TFault::Stalled:
        case TFault::Cut:
        case TFault::TooLarge:
        case TFault::Corrupt:
        case TFault::DigestMismatch:
            return true;
        default: return false;
    }
}

bool CopyFault(TFault fault) {
    return fault == TFault::DigestMismatch || fault == TFault::TooLarge || fault == TFault::Corrupt;
}

TServers::TServers(const std::vector<std::string>& baseUrls) {
    for (const std::string& url : baseUrls) AddLocked(url);
}

bool TServers::AddLocked(const std::string& url) {
    const std::string base = WithSlash(url);
    for (const TServer& server : servers_) {
        if (server.record.base == base) return false;
    }
    servers_.push_back(TServer{TRecord{base, 0, {}, false}});
    return true;
}

std::size_t TServers::Count() const {
    std::lock_guard<os::Mutex> lock(mutex_);
    return servers_.size();
}

std::string TServers::Base(std::size_t server) const {
    std::lock_guard<os::Mutex> lock(mutex_);
    return servers_.at(server).record.base;
}

std::size_t TServers::AddListed(const std::vector<std::string>& urls) {
    std::lock_guard<os::Mutex> lock(mutex_);
    std::size_t added = 0;
    for (const std::string& url : urls) {
        if (listed_ >= kMaxListed) break;
        if (!IsServerUrl(url) || !AddLocked(url)) continue;
        ++listed_;
        ++added;
    }
    return added;
}

void TServers::Prefer(std::size_t server) {
    std::lock_guard<os::Mutex> lock(mutex_);
    if (server < servers_.size()) preferred_ = server;
}

std::vector<std::size_t> TServers::Order() const {
    std::lock_guard<os::Mutex> lock(mutex_);
    std::vector<std::size_t> order;
    order.reserve(servers_.size());
    // Tiers: those that answer, those that kept failing, the silent.
    const auto tier = [](const TServer& s) { return s.silence->Silent() ? 2 : s.record.demoted ? 1 : 0; };
    for (int t = 0; t < 3; ++t) {
        if (preferred_ < servers_.size() && tier(servers_[preferred_]) == t) order.push_back(preferred_);
        for (std::size_t i = 0; i < servers_.size(); ++i) {
            if (i != preferred_ && tier(servers_[i]) == t) order.push_back(i);
        }
    }
    return order;
}

std::chrono::milliseconds TServers::AnswerWithin() const {
    return Count() > 1 ? kAnswerWithin : std::chrono::milliseconds(0);
}

os::HttpSilence* TServers::SilenceOf(std::string_view url) const {
    std::lock_guard<os::Mutex> lock(mutex_);
    const TServer* found = nullptr;  // the longest base: one may lie below another
    for (const TServer& server : servers_) {
        const std::string& base = server.record.base;
        if (url.substr(0, base.size()) == base && (!found || base.size() > found->record.base.size())) found = &server;
    }
    return found ? found->silence.get() : nullptr;
}

void TServers::Failed(std::size_t server, const TFailure& failure) {
    std::lock_guard<os::Mutex> lock(mutex_);
    TServer& s = servers_.at(server);
    ++s.record.failures;
    if (s.record.reasons.size() < kKeptReasons) s.record.reasons.push_back(failure);
    // Once it kept failing, or went silent, it stays last: a server that is
    // down costs each later request a try, and one that stalls costs a wait.
    if (++s.inARow >= kDemoteAfter || s.silence->Silent()) s.record.demoted = true;
}

void TServers::Succeeded(std::size_t server) {
    std::lock_guard<os::Mutex> lock(mutex_);
    servers_.at(server).inARow = 0;
}

std::vector<TServers::TRecord> TServers::Records() const {
    std::lock_guard<os::Mutex> lock(mutex_);
    std::vector<TRecord> records;
    for (const TServer& server : servers_) records.push_back(server.record);
    return records;
}

TServerCursor::TServerCursor(TServers& servers, std::string listPath, std::string digest)
    : servers_(servers), listPath_(std::move(listPath)), digest_(std::move(digest)), order_(servers.Order()) {
    Point();
}

void TServerCursor::Point() {
    url_ = CopyUrl(servers_.Base(order_[step_]), listPath_);
    if (busted_) url_ += "?md5=" + digest_;
}

bool TServerCursor::Failed(const TFailure& given) {
    // No answer without a word from the seam is still no answer.
    const TFailure failure = given ? given : TFailure{TFault::CannotConnect, 0, url_};
    if (!first_) first_ = failure;
    if (failure.fault != TFault::CannotConnect) answered_ = true;
    if (!ServerFault(failure.fault)) return false;
    servers_.Failed(order_[step_], failure);
    // A cache may hold an old copy under the copy's name; the query names
    // this publication's copy, which no cache has kept another of.
    if (CopyFault(failure.fault) && !busted_ && !digest_.empty()) {
        busted_ = true;
        Point();
        return true;
    }
    if (step_ + 1 >= order_.size()) return false;
    ++step_;
    busted_ = false;
    Point();
    return true;
}

void TServerCursor::Succeeded() {
    answered_ = true;
    servers_.Succeeded(order_[step_]);
}
