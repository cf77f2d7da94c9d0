#pragma once

#include "model/screenmodel.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// One --screen option of the launcher: PRESET[@BUS.PORT][:OPTION,OPTION...],
// where PORT may be a path behind hubs (1.2.4: port 4 of the hub at port 2),
// with the options debug, boot, silent, slow=MS, short=N, fail-every=N,
// bulk-accept=N, reboot-delay=MS and seed=N.
struct ScreenOption {
    std::string preset;
    int bus = 1;
    std::vector<int> hubs; // the hubs' ports before `port`, root hub's first
    int port = 0; // 0: the launcher picks a free one
    bool debug = false;
    bool bootLoader = false;
    Faults faults;
    int rebootDelayMs = 1500;
    uint32_t seed = 0; // 0: the launcher picks one per screen
};

std::optional<ScreenOption> parseScreenOption(const std::string &text, std::string *error);

// A command for the bus, given while programs run: "unplug BUS.PORT",
// "plug BUS.PORT" or "replug BUS.PORT" (a power cycle); PORT as above.
struct BusCommand {
    enum class Action { Unplug, Plug, Replug };
    Action action = Action::Unplug;
    int bus = 0;
    std::vector<int> hubs;
    int port = 0;
};

std::optional<BusCommand> parseBusCommand(const std::string &text, std::string *error);

} // namespace sim
