#include "paneltests.h"

#include "bridge.h"

#include <algorithm>
#include <array>
#include <vector>

namespace session {

bool LedTest::begin(std::shared_ptr<screenlink::Screen> screen)
{
    if (busy() || !screen)
        return false;
    m_screen = std::move(screen);
    m_failure.clear();
    return launch();
}

void LedTest::work()
{
    screenlink::Screen &screen = *m_screen;
    bool abandoned = false;
    bool left = false;
    auto write = [&](uint8_t reg, const uint8_t *data, int count) {
        for (int at = 0; at < count && !abandoned; at += 16) {
            const uint8_t piece = uint8_t(std::min(16, count - at));
            if (screenlink::bridgeWrite8(screen, kController, uint8_t(reg + at), data + at, piece) >= 0)
                continue;
            // A test on a screen that is gone has not run, whoever stops it.
            left = !screen.stillOnBus();
            // A screen gone silent waits out every timeout: once one failed,
            // a stop does not wait for all that is still to come.
            abandoned = left || stopRequested();
        }
    };
    auto write1 = [&](uint8_t reg, uint8_t value) { write(reg, &value, 1); };

    // Register page 0x0B holds the controller's set-up; page 0x00 its LEDs.
    write1(0xFD, 0x0B);
    write1(0x0A, 0x00);
    msleep(10);
    write1(0x0A, 0x01);
    write1(0x00, 0x01);
    write1(0x01, 0x00);
    write1(0xFD, 0x00);

    const std::array<uint8_t, 16> zeros{};
    for (int reg = 0x00; reg <= 0xB0; reg += 0x10)
        write(uint8_t(reg), zeros.data(), 16);
    std::array<uint8_t, 18> on;
    on.fill(0xFF);
    write(0x00, on.data(), int(on.size()));

    // Three channels for each of 24 LEDs from register 0x24: channel 0 of
    // every LED, then channel 1, then 2. At least one step, so that a stop
    // during the set-up still leaves one channel lit.
    int led = 0;
    int channel = 0;
    std::array<uint8_t, 72> pattern{};
    do {
        pattern.fill(0);
        pattern[size_t(led) * 3 + size_t(channel)] = 0xFF;
        write(0x24, pattern.data(), int(pattern.size()));
        if (++led == 24) {
            led = 0;
            channel = (channel + 1) % 3;
        }
        msleep(10);
    } while (!stopRequested() && !abandoned);
    if (left)
        m_failure = QStringLiteral("the screen left during the LED test");
    m_screen.reset();
}

bool ThroughputTest::begin(std::shared_ptr<screenlink::Screen> screen, QSize picture)
{
    if (busy() || !screen)
        return false;
    m_screen = std::move(screen);
    m_picture = picture;
    m_failure.clear();
    return launch();
}

void ThroughputTest::work()
{
    const size_t size = size_t(m_picture.width()) * size_t(m_picture.height()) * 2;
    const std::vector<uint8_t> black(size, 0);
    for (int i = 0; i < kTransfers && !stopRequested(); ++i) {
        if (m_screen->sendBulk(black.data(), int(size)) < 0 && !m_screen->stillOnBus()) {
            m_failure = QStringLiteral("the screen left during the throughput test");
            break;
        }
    }
    m_screen.reset();
}

} // namespace session
