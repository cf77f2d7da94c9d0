#include "fault.h"

namespace fwimage {

std::string_view describe(Fault fault)
{
    switch (fault) {
    case Fault::None:
        return "no fault";
    case Fault::ShortImage:
        return "image too short";
    case Fault::NotBootImage:
        return "not an eGON boot image";
    case Fault::LogoAtZero:
        return "logo position is 0";
    case Fault::LogoOutside:
        return "logo area outside the image";
    case Fault::BlockOutside:
        return "logo block length leads outside the image";
    case Fault::BootLengthOutside:
        return "boot length beyond the image";
    case Fault::TooSmall:
        return "incorrect firmware";
    case Fault::TooLarge:
        return "assembled image too large";
    case Fault::NotEeprom:
        return "not an 8 KiB EEPROM image";
    case Fault::NoFreeDeviceId:
        return "every new device ID of this second is taken";
    case Fault::NoReplyMarkers:
        return "server reply holds no screen block";
    case Fault::BadBase64:
        return "screen block is not valid Base64";
    case Fault::BlockTooShort:
        return "screen block too short";
    case Fault::BlockTooLarge:
        return "screen block larger than the boot region";
    case Fault::BlockLengthWrong:
        return "screen block length field disagrees with its size";
    }
    return "unknown fault";
}

} // namespace fwimage
