// Channels, the player's side. The live list names the channels the server
// offers ("Channel|NAME"); a run that follows one reads the live list first
// (its keys and revocations learnt, its serial held as always) and then the
// channel's list from "channels/NAME/", verified as any list with its serial
// held to the channel's own store, and installs from that. The live list
// comes first because it alone says which channels stand: a channel the
// operator closed is then told apart from a server that fails, and the
// launcher learns the names its menu offers.
#pragma once

#include <memory>

struct TRunContext;
struct TRunList;

// The list the run installs from: live itself when the run follows no
// channel, or follows one live no longer names (the run then follows the
// live publication, "Estable", and says why in the log and the run's
// fields: a player whose test channel closed still gets a game that runs);
// else the channel's list, read into channel. Fills the run's fields with
// the channels live names. Raises when the channel's list can't be had or
// is refused: nothing is installed from a list that didn't verify.
TRunList& FollowChannel(TRunContext& run, TRunList& live, std::unique_ptr<TRunList>& channel);
