#include "screenoption.h"

#include <cctype>
#include <charconv>

namespace sim {

namespace {

bool toInt(const std::string &s, int lo, int hi, int *out)
{
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

template <typename T = ScreenOption>
std::optional<T> fail(std::string *error, const std::string &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

bool parseBusPort(const std::string &where, int *bus, std::vector<int> *hubs, int *port, std::string *error)
{
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        const auto dot = where.find('.', from);
        parts.push_back(where.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
        if (dot == std::string::npos)
            break;
        from = dot + 1;
    }
    bool ok = parts.size() >= 2 && parts.size() <= 8 && toInt(parts.front(), 1, 255, bus);
    hubs->clear();
    for (size_t i = 1; ok && i < parts.size(); ++i) {
        int p = 0;
        ok = toInt(parts[i], 1, 127, &p);
        if (i + 1 < parts.size())
            hubs->push_back(p);
        else
            *port = p;
    }
    if (!ok && error)
        *error = "bus and port must read BUS.PORT (or BUS.HUBPORT.PORT behind hubs) with BUS 1-255 and each PORT "
                 "1-127: " + where;
    return ok;
}

} // namespace

std::optional<ScreenOption> parseScreenOption(const std::string &text, std::string *error)
{
    ScreenOption option;
    std::string head = text;
    std::string options;
    if (const auto colon = text.find(':'); colon != std::string::npos) {
        head = text.substr(0, colon);
        options = text.substr(colon + 1);
    }
    if (const auto at = head.find('@'); at != std::string::npos) {
        const std::string where = head.substr(at + 1);
        head.resize(at);
        if (!parseBusPort(where, &option.bus, &option.hubs, &option.port, error))
            return std::nullopt;
    }
    if (!findPreset(head))
        return fail(error, "unknown screen preset \"" + head + "\" (see --list-presets)");
    option.preset = head;

    size_t pos = 0;
    while (pos < options.size()) {
        size_t next = options.find(',', pos);
        if (next == std::string::npos)
            next = options.size();
        const std::string opt = options.substr(pos, next - pos);
        pos = next + 1;
        const auto eq = opt.find('=');
        const std::string key = opt.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : opt.substr(eq + 1);
        int n = 0;
        auto number = [&](int lo, int hi) { return toInt(value, lo, hi, &n); };
        if (key == "debug" && eq == std::string::npos)
            option.debug = true;
        else if (key == "boot" && eq == std::string::npos)
            option.bootLoader = true;
        else if (key == "silent" && eq == std::string::npos)
            option.faults.silent = true;
        else if (key == "slow" && number(0, 60000))
            option.faults.delayMs = n;
        else if (key == "short" && number(0, 65535))
            option.faults.shortReply = n;
        else if (key == "fail-every" && number(1, 1000000))
            option.faults.failEvery = n;
        else if (key == "bulk-accept" && number(0, 1 << 30))
            option.faults.bulkAccept = n;
        else if (key == "reboot-delay" && number(0, 600000))
            option.rebootDelayMs = n;
        else if (key == "seed" && number(1, 65535))
            option.seed = uint32_t(n);
        else
            return fail(error, "unknown or malformed screen option \"" + opt + "\"");
    }
    return option;
}

std::optional<BusCommand> parseBusCommand(const std::string &text, std::string *error)
{
    std::string line = text;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    BusCommand command;
    if (verb == "unplug")
        command.action = BusCommand::Action::Unplug;
    else if (verb == "plug")
        command.action = BusCommand::Action::Plug;
    else if (verb == "replug")
        command.action = BusCommand::Action::Replug;
    else
        return fail<BusCommand>(error, "unknown command \"" + line + "\" (unplug, plug or replug BUS.PORT)");
    const std::string where = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (!parseBusPort(where, &command.bus, &command.hubs, &command.port, error))
        return std::nullopt;
    return command;
}

} // namespace sim
