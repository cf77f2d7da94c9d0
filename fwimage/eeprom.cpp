#include "eeprom.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace fwimage {

namespace {

std::tm localTime(std::time_t moment)
{
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &moment);
#else
    localtime_r(&moment, &local);
#endif
    return local;
}

} // namespace

DeviceIdSource systemDeviceIdSource()
{
    return DeviceIdSource{
        [] { return std::time(nullptr); },
        [](std::time_t) {
            std::random_device device;
            return std::uint32_t(device());
        },
    };
}

std::string deviceIdText(const DeviceId &id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%02x%02x-%02x%02x-%02x%02x%02x%02x", id[0], id[1], id[2], id[3], id[4], id[5],
                  id[6], id[7]);
    return text;
}

Result<DeviceId> stampDeviceId(std::span<std::uint8_t> eeprom, const DeviceIdSource &source,
                               const DeviceIdTaken &taken)
{
    if (eeprom.size() != EepromSize)
        return failure<DeviceId>(Fault::NotEeprom);

    const std::time_t now = source.now();
    const std::tm local = localTime(now);
    // The day goes in one higher than the calendar's (2 to 32): the IDs of
    // screens already in use were stamped that way.
    DeviceId id{
        std::uint8_t(local.tm_year % 255), std::uint8_t(local.tm_mon + 1), std::uint8_t(local.tm_mday + 1),
        std::uint8_t(local.tm_hour),       std::uint8_t(local.tm_min),     std::uint8_t(local.tm_sec),
        0,                                 0,
    };
    // Many more draws than the byte has values: a free one is all but
    // certainly met while any is left.
    constexpr int kDraws = 4096;
    int draw = 0;
    do {
        if (draw++ == kDraws)
            return failure<DeviceId>(Fault::NoFreeDeviceId);
        id[7] = std::uint8_t(source.random(now) % 255);
    } while (taken && taken(id));
    std::copy(id.begin(), id.end(), eeprom.begin() + DeviceIdOffset);
    return {id, Fault::None};
}

} // namespace fwimage
