#include "logoinput.h"

#include "firmwarefile.h"

namespace fwimage {

namespace {

LogoVerdict refuse(LogoRule rule)
{
    return LogoVerdict{rule, Fault::None, 0};
}

LogoVerdict badImage(Fault fault)
{
    return LogoVerdict{LogoRule::BadImage, fault, 0};
}

} // namespace

LogoVerdict checkLogoFile(LogoInput input, std::string_view path, std::uint64_t fileSize)
{
    // The order is the one the window has always used: name, suffix, size.
    if (input == LogoInput::Official && fileFamily(path) != FirmwareFamily::Telv)
        return refuse(LogoRule::NameLacksTelv);
    if (!path.ends_with(".bin"))
        return refuse(LogoRule::NotBin);
    if (input == LogoInput::Customised) {
        // Judged by the low 32 bits of the size, as this check always has been.
        if (std::uint32_t(fileSize) < BootRegionSize)
            return refuse(LogoRule::CustomisedTooSmall);
    } else if (fileSize != BootRegionSize) {
        return refuse(LogoRule::OfficialWrongSize);
    }
    return {};
}

LogoVerdict checkLogoImage(LogoInput input, ByteView image)
{
    const Result<std::uint32_t> header = checkTelvImage(image);
    if (!header)
        return badImage(header.fault);
    // The merge takes block 3 of the customised image and keeps blocks 1
    // and 2 of the official one.
    const auto chain = logoBlocks(image, header.value, input == LogoInput::Customised ? 3 : 2);
    if (!chain)
        return badImage(chain.fault);
    if (input == LogoInput::Official) {
        if (const auto region = bootRegion(image); !region)
            return badImage(region.fault);
    }
    return LogoVerdict{LogoRule::Accepted, Fault::None, header.value};
}

std::string logoVerdictText(const LogoVerdict &verdict, std::string_view shownPath)
{
    switch (verdict.rule) {
    case LogoRule::Accepted: return {};
    case LogoRule::NameLacksTelv: return "File name must have TELV.";
    case LogoRule::NotBin: return "Firmware must be a bin file.";
    case LogoRule::CustomisedTooSmall: return "Customized firmware size should be >= 24KB.";
    case LogoRule::OfficialWrongSize: return "Official firmware size should be 24KB.";
    case LogoRule::BadImage: break;
    }
    const std::string path(shownPath);
    switch (verdict.fault) {
    case Fault::ShortImage:
    case Fault::NotBootImage: return "This is not a valid TELV firmware.";
    case Fault::LogoAtZero: return "This firmware has invalid data.";
    case Fault::LogoOutside: return "The logo area of " + path + " lies outside the file.";
    case Fault::BlockOutside: return "The logo block lengths of " + path + " lead outside the file.";
    case Fault::BootLengthOutside: return "The boot length of " + path + " runs past the end of the file.";
    default: return path + " cannot be used: " + std::string(describe(verdict.fault)) + ".";
    }
}

} // namespace fwimage
