#include "eeprom.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
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
        [](std::time_t seed) {
            std::minstd_rand generator{std::minstd_rand::result_type(seed)};
            return std::uint32_t(generator());
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

Result<DeviceId> stampDeviceId(std::span<std::uint8_t> eeprom, const DeviceIdSource &source)
{
    if (eeprom.size() != EepromSize)
        return failure<DeviceId>(Fault::NotEeprom);

    const std::time_t now = source.now();
    const std::tm local = localTime(now);
    // The day goes in one higher than the calendar's (2 to 32): the IDs of
    // screens already in use were stamped that way.
    const DeviceId id{
        std::uint8_t(local.tm_year % 255), std::uint8_t(local.tm_mon + 1), std::uint8_t(local.tm_mday + 1),
        std::uint8_t(local.tm_hour),       std::uint8_t(local.tm_min),     std::uint8_t(local.tm_sec),
        0,                                 std::uint8_t(source.random(now) % 255),
    };
    std::copy(id.begin(), id.end(), eeprom.begin() + DeviceIdOffset);
    std::cout << "set new device id: " << deviceIdText(id) << '\n' << std::flush;
    return {id, Fault::None};
}

} // namespace fwimage
