// The publisher's one error type, apart from the steps that raise it so that
// each of them (publication, signing) can without including the other.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace publish {

// Exit status 2: the input can't be published as it is (names, links,
// sizes, options). Status 1: something could not be read or written.
class PublishFailure : public std::runtime_error {
public:
    PublishFailure(int status_, std::vector<std::string> messages_)
        : std::runtime_error(messages_.empty() ? std::string("publication failed") : messages_.front()),
          status(status_),
          messages(std::move(messages_)) {}
    int status;
    std::vector<std::string> messages;
};

}  // namespace publish
