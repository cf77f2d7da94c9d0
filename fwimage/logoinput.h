#pragma once

#include "telvimage.h"

#include <string>
#include <string_view>

// The checks each file chosen for a logo merge passes: its name and size
// before it is read, then its header and logo chain. Each refusal has its
// own message, the exact text the window shows.
namespace fwimage {

enum class LogoInput { Customised, Official };

enum class LogoRule {
    Accepted,
    NameLacksTelv,      // official only: "TELV" nowhere in the path
    NotBin,             // the path does not end in ".bin" (case-sensitive)
    CustomisedTooSmall, // under the boot region, judged by the low 32 bits of the size
    OfficialWrongSize,  // not exactly the boot region
    BadImage,           // the content is refused; `fault` says why
};

struct LogoVerdict {
    LogoRule rule = LogoRule::Accepted;
    Fault fault = Fault::None;
    // Where the logo area starts; set once the content has been accepted.
    std::uint32_t logoPosition = 0;

    bool ok() const { return rule == LogoRule::Accepted; }
    explicit operator bool() const { return ok(); }
};

// `path` is the file's full path as chosen (UTF-8); the name rules look at
// all of it, folders included. `fileSize` is its size on disk, 0 when it
// cannot be told.
LogoVerdict checkLogoFile(LogoInput input, std::string_view path, std::uint64_t fileSize);

// The content read from a file that passed checkLogoFile(): the image
// header, the logo chain up to the block the merge takes from this input,
// and for the official image, whose header the merged image keeps, a boot
// length inside the image.
LogoVerdict checkLogoImage(LogoInput input, ByteView image);

// The message of a refusal (English, untranslated), naming the file as
// `shownPath` where it names one; empty for an accepted file.
std::string logoVerdictText(const LogoVerdict &verdict, std::string_view shownPath);

} // namespace fwimage
