#pragma once

#include "telvimage.h"

#include <string_view>

// The firmware server's answer for one screen: a JSON object whose only
// member holds the screen block in Base64. Only the text between the first
// `":"` and the first `"}` is read, so nothing else of the reply matters.
namespace fwimage {

// The Base64 text of the reply; NoReplyMarkers when either marker is
// missing or they are in the wrong order.
Result<std::string_view> screenBlockText(std::string_view reply);

// Standard Base64 with optional '=' padding, as JSON encoders write it: the
// escaped slash "\/" is taken as "/", and line breaks (escaped "\n", "\r"
// or plain) and blanks may stand between groups of four. Anything else
// outside the alphabet is BadBase64.
Result<Bytes> decodeBase64(std::string_view text);

// The screen block of a reply, checked before anyone writes it: a whole
// head, at least one payload byte, its length field equal to what follows
// the head, and no larger than the boot region the upgrade reads it into.
Result<Bytes> screenBlockFromReply(std::string_view reply);

} // namespace fwimage
