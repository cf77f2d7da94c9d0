#pragma once

#include "telvimage.h"

namespace fwimage {

// Which of the two merged images a fault lies in.
enum class MergeInput { None, Official, Customised };

struct MergeResult {
    Bytes image;
    Fault fault = Fault::None;
    MergeInput culprit = MergeInput::None;

    bool ok() const { return fault == Fault::None; }
    explicit operator bool() const { return ok(); }
};

// Puts the boot logo of a customised image into an official one: the
// official image up to the end of its block 2 (its screen-type specific
// blocks), then block 3 of the customised image, padded with 0xFF to the
// boot region size, with the boot checksum completed. A longer result is
// neither padded nor cut. The positions are those checkTelvImage() gave.
MergeResult mergeLogo(ByteView official, std::uint32_t officialPosition, ByteView customised,
                      std::uint32_t customisedPosition);

// What makes an image its model's: everything up to the end of block 2,
// which a merge keeps from its official image, with the boot length and
// checksum words, which a merge recomputes, set to 0. Two images made for
// the same model have the same print.
Result<Bytes> modelPrint(ByteView image);

} // namespace fwimage
