#include "upgradesteps.h"

#include "firmwareserver.h"

#include <algorithm>

namespace session {

using screenlink::DeviceKind;

UpgradePath upgradePath(fwimage::FirmwareFamily fileFamily, DeviceKind kind)
{
    if (fileFamily == fwimage::FirmwareFamily::Telv)
        return kind == DeviceKind::TelvBootLoader ? UpgradePath::TelvBootLoader : UpgradePath::TelvRunning;
    return kind == DeviceKind::K2tBootLoader ? UpgradePath::EepromBootLoader : UpgradePath::EepromRunning;
}

bool needsReplug(UpgradePath path)
{
    return path == UpgradePath::EepromRunning || path == UpgradePath::EepromBootLoader;
}

namespace {

int share(const UpgradeProgress &p, int from, int to)
{
    const int total = std::max(1, p.total);
    return from + (to - from) * std::clamp(p.done, 0, total) / total;
}

} // namespace

int dialogValue(UpgradePath path, const UpgradeProgress &p)
{
    const int total = std::max(1, p.total);
    switch (p.step) {
    case UpgradeStep::Read:
        return p.done * 40 / total;
    case UpgradeStep::Erase:
        // Programming switched on, then one value per erase step.
        return p.done == 0 ? 25 : 29 + p.done;
    case UpgradeStep::Program:
        switch (path) {
        case UpgradePath::TelvRunning: return std::min(p.done * 50 / total + 50, 95);
        case UpgradePath::TelvBootLoader: return 40 + 2 * p.done;
        case UpgradePath::EepromRunning: return p.done * 100 / total;
        case UpgradePath::EepromBootLoader: return 5 * p.done;
        }
        break;
    case UpgradeStep::Verify:
        return (path == UpgradePath::TelvRunning ? 96 : 97) + p.done;
    case UpgradeStep::Download:
    case UpgradeStep::Restart:
        break;
    }
    return -1; // a step the dialogue's bar does not show
}

int overallPercent(UpgradePath path, const UpgradeProgress &p)
{
    switch (path) {
    case UpgradePath::TelvRunning:
        switch (p.step) {
        case UpgradeStep::Read: return share(p, 0, 20);
        case UpgradeStep::Erase: return share(p, 20, 45);
        case UpgradeStep::Program: return share(p, 45, 95);
        case UpgradeStep::Verify: return share(p, 95, 99);
        case UpgradeStep::Download:
        case UpgradeStep::Restart: return 99;
        }
        break;
    case UpgradePath::TelvBootLoader:
        switch (p.step) {
        case UpgradeStep::Download: return share(p, 0, 5);
        case UpgradeStep::Program: return share(p, 5, 95);
        default: return 95;
        }
    case UpgradePath::EepromRunning:
        return p.step == UpgradeStep::Verify ? share(p, 97, 100) : share(p, 0, 97);
    case UpgradePath::EepromBootLoader:
        return share(p, 0, 100);
    }
    return 0;
}

QString stillWritingText()
{
    return QStringLiteral("The screen is still being written, longer than usual. Keep it plugged in: the upgrade "
                          "waits for the write to end.");
}

QString incompleteAdvice()
{
    return QStringLiteral("Its firmware is incomplete: keep the screen plugged in (or plug it back in) and upgrade "
                          "it again. If it restarts meanwhile, it waits in its boot loader, where the upgrade writes "
                          "it again; a TELV screen's block then comes from the firmware server %1 "
                          "(TAVRIK_FIRMWARE_SERVER names another).")
        .arg(firmwareserver::host());
}

QString blockSourceWord(BlockSource source)
{
    switch (source) {
    case BlockSource::Screen: return QStringLiteral("screen");
    case BlockSource::Saved: return QStringLiteral("saved");
    case BlockSource::Server: return QStringLiteral("server");
    case BlockSource::None: break;
    }
    return {};
}

QString stepWord(UpgradeStep step)
{
    switch (step) {
    case UpgradeStep::Download: return QStringLiteral("download");
    case UpgradeStep::Read: return QStringLiteral("read");
    case UpgradeStep::Erase: return QStringLiteral("erase");
    case UpgradeStep::Program: return QStringLiteral("program");
    case UpgradeStep::Verify: return QStringLiteral("verify");
    case UpgradeStep::Restart: return QStringLiteral("restart");
    }
    return {};
}

} // namespace session
