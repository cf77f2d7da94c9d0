#include "presets.h"

#include <cstdlib>

namespace sim {

namespace {

// Identification strings follow the firmware's "model,panel size,version,board,build date" form.
std::vector<Preset> makePresets()
{
    const auto telv = Family::Telv;
    const auto k2t = Family::K2t;
    return {
        {"4in-k2t-4ndn", "4.0in TAVRIK-4NDNK2T (older family)", 4, 2, k2t, 480, 800, 2,
         "K2T-4NDN,480x800,v0.09,FX2-4NDN,2019-03-02"},
        {"4in-telv", "4.0in TELV TAVRIK-4INRGB", 4, 7, telv, 480, 800, 2,
         "TAVRIK-4INRGB,480x800,v0.18,T113-4D0,2024-05-14"},
        {"4in-square-telv", "4.0in square TELV PANEL-Q40A", 4, 12, telv, 480, 480, 2,
         "PANEL-Q40A,480x480,v0.18,T113-4S0,2024-05-14"},
        {"4in-k5tx", "4.0in PANEL-X40 (older family)", 4, 5, k2t, 480, 800, 2,
         "K5TX-X40,480x800,v0.07,FX2-X40,2018-11-20"},
        {"5in-k2t-m50a", "5.0in PANEL-M50A (older family)", 5, -1, k2t, 480, 854, 2,
         "K2T-M50A,480x854,v0.06,FX2-M50A,2018-06-01"},
        {"5in-k2t-w50c", "5.0in PANEL-W50C (older family)", 5, 0, k2t, 480, 854, 2,
         "K2T-W50C,480x854,v0.06,FX2-W50C,2018-06-01"},
        {"5in-telv", "5.0in TELV TAVRIK-5INRGB", 5, 3, telv, 480, 854, 2,
         "TAVRIK-5INRGB,480x854,v0.18,T113-5D0,2024-05-14"},
        {"5in-unknown", "5-inch panel of an unknown variant", 5, 1, k2t, 480, 854, 2,
         "K2T-5XX,480x854,v0.05,FX2-5XX,2018-02-11"},
        {"6.8in-telv", "6.8in TELV TAVRIK-6.8INRGB", 7, 6, telv, 800, 480, 1,
         "TAVRIK-6.8INRGB,800x480,v0.18,T113-6D8,2024-05-14", 1},
        {"6.8in-k2t", "6.8in PANEL-W68A (older family)", 7, 0, k2t, 800, 480, 1,
         "K2T-W68A,800x480,v0.08,FX2-W68A,2019-01-15"},
        {"7in-telv", "7.0in TELV 1024x600", 8, 0, telv, 1024, 600, 1,
         "TAVRIK-7INRGB,1024x600,v0.18,T113-7D0,2024-05-14"},
        {"10in-telv", "10in TELV TAVRIK-10INRGB", 10, 10, telv, 1024, 600, 1,
         "TAVRIK-10INRGB,1024x600,v0.18,T113-10D,2024-05-14"},
        {"10in-unknown", "10-inch panel of an unknown variant", 10, 0, k2t, 1024, 600, 1,
         "K2T-10XX,1024x600,v0.05,FX2-10XX,2018-02-11"},
        {"4in-k2t-y40", "4.0in PANEL-Y40 (older family)", 0x104, -1, k2t, 480, 800, 2,
         "K2T-Y40,480x800,v0.06,FX2-Y40,2018-06-01"},
        {"4in-k2p-w40b", "4.0in PANEL-W40B (older family)", 0x104, 0, k2t, 480, 800, 2,
         "K2P-W40B,480x800,v0.06,FX2-W40B,2018-06-01"},
        {"4in-k2t-m40a", "4.0in PANEL-M40A (older family)", 0x104, 1, k2t, 480, 800, 2,
         "K2T-M40A,480x800,v0.06,FX2-M40A,2018-06-01"},
        {"4in-unknown", "4-inch (0x104) panel of an unknown variant", 0x104, 2, k2t, 480, 800, 2,
         "K2T-4XX,480x800,v0.05,FX2-4XX,2018-02-11"},
        {"4.3in-telv", "4.3in TELV TAVRIK-4.3INRGB", 0x304, 8, telv, 480, 800, 2,
         "TAVRIK-4.3INRGB,480x800,v0.18,T113-4D3,2024-05-14"},
        {"4.3in-k2t", "4.3in PANEL-W43A (older family)", 0x304, 0, k2t, 480, 800, 2,
         "K2T-W43A,480x800,v0.07,FX2-W43A,2018-11-20"},
        {"3.4in-round-telv", "3.4in round TELV TAVRIK-3.4IN-ROUND", 0x403, 5, telv, 800, 800, 1,
         "TAVRIK-3.4IN-ROUND,800x800,v0.18,T113-3R4,2024-05-14"},
        {"3.4in-unknown", "3.4-inch round panel of an unknown variant", 0x403, 0, k2t, 800, 800, 1,
         "K2T-3R4X,800x800,v0.05,FX2-3R4X,2018-02-11"},
        {"7.8in-long-telv", "7.85in long TELV PANEL-L78C", 0x807, 0, telv, 400, 1280, 2,
         "PANEL-L78C,400x1280,v0.18,T113-7N8,2024-05-14"},
        {"unknown", "a screen whose size code no table row knows", 0x99, 0, k2t, 800, 480, 1,
         "PROTO-X,800x480,v0.01,FX2-PROTO,2017-01-01"},
    };
}

} // namespace

Mount Preset::mount() const
{
    if (rotationCode == 2)
        return sizeCode == 0x807 ? Mount::QuarterTurn270 : Mount::QuarterTurn90;
    if (sizeCode == 7 || sizeCode == 10)
        return Mount::MirrorVertical;
    return Mount::HalfTurn;
}

int Preset::firmwareMinor() const
{
    const auto pos = ident.find("v0.");
    if (pos == std::string::npos)
        return 0;
    return std::atoi(ident.c_str() + pos + 3);
}

const std::vector<Preset> &presets()
{
    static const std::vector<Preset> all = makePresets();
    return all;
}

const Preset *findPreset(const std::string &name)
{
    for (const auto &p : presets())
        if (p.name == name)
            return &p;
    return nullptr;
}

std::string debugIdent(const std::string &ident)
{
    const auto comma = ident.find(',');
    if (comma == std::string::npos)
        return ident + " DEBUG";
    return ident.substr(0, comma) + " DEBUG" + ident.substr(comma);
}

} // namespace sim
