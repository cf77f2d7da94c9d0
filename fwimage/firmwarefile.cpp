#include "firmwarefile.h"

namespace fwimage {

FirmwareFamily fileFamily(std::string_view path)
{
    return path.find("TELV") != std::string_view::npos ? FirmwareFamily::Telv : FirmwareFamily::K2t;
}

FileVerdict checkFirmwareFile(FirmwareFamily family, std::string_view path, std::uint64_t fileSize, ByteView content)
{
    // Size first, then the first byte, then the name: each check speaks for
    // itself, in this order.
    if (family == FirmwareFamily::Telv) {
        if (fileSize < BootRegionSize)
            return FileVerdict::TelvTooSmall;
        if (fileSize > FlashSize)
            return FileVerdict::TelvTooLarge;
        if (content.empty() || content[0] != TelvFirstByte)
            return FileVerdict::TelvNotBootImage;
        if (fileFamily(path) != FirmwareFamily::Telv)
            return FileVerdict::TelvNameLacksTelv;
        return FileVerdict::Accepted;
    }
    if (fileSize != EepromImageSize)
        return FileVerdict::EepromWrongSize;
    if (content.empty() || content[0] != EepromFirstByte)
        return FileVerdict::EepromNotC2;
    if (path.find("4NK2T.bin") != std::string_view::npos)
        return FileVerdict::EepromForbidden;
    return FileVerdict::Accepted;
}

std::string_view verdictText(FileVerdict verdict)
{
    switch (verdict) {
    case FileVerdict::Accepted: break;
    case FileVerdict::TelvTooSmall: return "This is not a valid firmware file, code = 1.";
    case FileVerdict::TelvTooLarge:
        return "This is not a valid firmware file: it is larger than the screen's 1 MiB flash.";
    case FileVerdict::TelvNotBootImage: return "This is not a valid firmware file, code = 2.";
    case FileVerdict::TelvNameLacksTelv: return "This firmware is forbidden, file name must start with TELV.";
    case FileVerdict::EepromWrongSize: return "This is not a valid firmware file, code = 3.";
    case FileVerdict::EepromNotC2: return "This is not a valid firmware file, code = 4.";
    case FileVerdict::EepromForbidden: return "This firmware is forbidden.";
    }
    return {};
}

} // namespace fwimage
