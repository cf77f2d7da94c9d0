#pragma once

#include "screen.h"
#include "worker.h"

#include <QSize>
#include <QString>

#include <memory>

namespace session {

// The LED chase on the screen board's LED controller: set-up, then one LED
// channel after another until stopped. A stop ends it after a whole chase
// step, so that exactly one channel stays lit, and never cuts the set-up
// short; only after a failed transfer is it taken at once.
class LedTest : public Worker {
    Q_OBJECT

public:
    ~LedTest() override { stopAndWait(); }
    bool begin(std::shared_ptr<screenlink::Screen> screen);
    // Once it has ended: why it failed (the screen left meanwhile), or
    // empty when it ran.
    QString failure() const { return m_failure; }

    static constexpr uint8_t kController = 0x74;

protected:
    void work() override;

private:
    std::shared_ptr<screenlink::Screen> m_screen;
    QString m_failure;
};

// 300 black frames' worth of bulk data without a header, back to back. A
// stop skips what is not sent yet.
class ThroughputTest : public Worker {
    Q_OBJECT

public:
    ~ThroughputTest() override { stopAndWait(); }
    bool begin(std::shared_ptr<screenlink::Screen> screen, QSize picture);
    // Once it has ended, as LedTest's.
    QString failure() const { return m_failure; }

    static constexpr int kTransfers = 300;

protected:
    void work() override;

private:
    std::shared_ptr<screenlink::Screen> m_screen;
    QSize m_picture;
    QString m_failure;
};

} // namespace session
