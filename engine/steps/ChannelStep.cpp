#include "engine/steps/ChannelStep.h"

#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/steps/RunList.h"
#include "platform/errors.h"

#include <algorithm>

TRunList& FollowChannel(TRunContext& run, TRunList& live, std::unique_ptr<TRunList>& channel) {
    TRunFields& fields = run.fields;
    fields.Channels = live.standing.channels;
    fields.Channel.clear();
    fields.ChannelProblem.clear();
    const std::string& name = run.channel;
    const auto& named = live.standing.channels;
    const bool offered = !name.empty() && std::find(named.begin(), named.end(), name) != named.end();
    if (!name.empty() && !offered) {
        fields.ChannelProblem = "the server no longer offers the channel " + name + "; following the live publication";
        if (run.log) run.log->Channel(name, fields.ChannelProblem);
    }
    // The view keeps the player's choice while its list fails, and drops a
    // channel that is gone.
    run.report.ChannelsKnown(fields.Channels, offered ? name : std::string());
    if (!offered) return live;

    TFailure failure;
    const std::optional<std::string> path = FetchChannelList(run, name, failure);
    if (!path) {
        if (failure.fault == TFault::NotTrusted) fields.TrustProblem = failure.text;
        if (run.log) run.log->Channel(name, "its list was not used: " + failure.text);
        throw Exception("the channel " + name + "'s list: " + failure.text, failure.fault, failure.code);
    }
    channel = std::make_unique<TRunList>(*path);
    ReadList(*path, *channel);
    fields.Channel = name;
    if (run.log) run.log->Channel(name, "following it (revision " + std::to_string(channel->rev) + ")");
    return *channel;
}
