#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Family { Telv, K2t };

// How the panel is mounted behind its glass: what a host must do to a landscape
// picture so that the panel's scan order shows it upright.
enum class Mount { MirrorVertical, HalfTurn, QuarterTurn90, QuarterTurn270 };

struct Preset {
    std::string name;        // e.g. "6.8in-telv"
    std::string description; // one line for --list-presets
    uint32_t sizeCode = 0;
    int32_t variantCode = 0;
    Family family = Family::Telv;
    int panelWidth = 800;    // in the panel's own orientation
    int panelHeight = 480;
    int rotationCode = 1;    // 2: portrait panel, the host turns pictures a quarter turn
    std::string ident;       // answer to the identification request
    int flipDefault = 0;     // flip state with which the glass shows pictures upright

    int pictureWidth() const { return rotationCode == 2 ? panelHeight : panelWidth; }
    int pictureHeight() const { return rotationCode == 2 ? panelWidth : panelHeight; }
    Mount mount() const;
    // Older 5-inch panels skip 320 bytes at the start of every frame.
    int frameLead() const { return sizeCode == 5 && variantCode != 3 ? 320 : 0; }
    // The number after "v0." in the identification string, 0 without one.
    int firmwareMinor() const;
};

// One preset per row of the model table, plus a screen no table row knows.
const std::vector<Preset> &presets();
// nullptr when there is no preset of that name.
const Preset *findPreset(const std::string &name);

// The identification string with " DEBUG" added to its first field, as a
// debug firmware reports itself.
std::string debugIdent(const std::string &ident);

} // namespace sim
