// Writes the firmware folder the fleet playbook test upgrades from: the
// 6.8-inch TELV file, and a 7-inch one that differs where another model's
// official file differs (its logo block 2), so that each is only its own.
#include "testimages.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

bool write(const std::filesystem::path &path, const testimages::Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out.flush());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: fleetfirmware FOLDER\n";
        return 2;
    }
    const std::filesystem::path telv = std::filesystem::path(argv[1]) / "TELV";
    std::error_code error;
    std::filesystem::create_directories(telv, error);
    testimages::Bytes seven = testimages::upgradeTelvImage(26000);
    seven[testimages::blockStart(seven, 0x1000, 1) + 8] ^= 0xFF;
    if (error || !write(telv / "TELV.6d8.TAVRIK.bin", testimages::upgradeTelvImage(30000))
        || !write(telv / "TELV.7d0.TAVRIK.bin", seven)) {
        std::cerr << "fleetfirmware: cannot write " << telv << '\n';
        return 1;
    }
    return 0;
}
