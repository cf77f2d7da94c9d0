#include "platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace platform {

std::string exeSuffix()
{
#ifdef _WIN32
    return ".exe";
#else
    return {};
#endif
}

std::string userObjectName(const std::string &base)
{
#ifdef _WIN32
    return base;
#else
    // The effective user owns what we create, so it names it too.
    return base + "." + std::to_string(geteuid());
#endif
}

} // namespace platform
