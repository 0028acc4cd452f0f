#include "platform/os.h"

namespace os {

void NameHolder(TFailure& failure, const std::string& path, const std::string& installDir) {
    if (failure.fault != TFault::InUse) return;
    const std::vector<THolder> holders = ProcessesHolding(path, installDir);
    if (holders.empty()) return;
    failure.holder = holders.front().name;
    failure.holderPid = holders.front().pid;
}

}  // namespace os
