// The driver's identity: operation 14 and its banner, and operation 10.
#include <array>
#include <cstring>

#include "driver.h"

namespace driver {

namespace {

// The installation banner: a line feed, then six rows of 62 bytes, each ending in a line
// feed; box-drawing and shading characters of code page 437.
constexpr std::array<char, kBannerLength + 1> MakeBanner() {
    std::array<char, kBannerLength + 1> b{};
    std::size_t n = 0;
    auto put = [&](unsigned char c, int times = 1) {
        for (int i = 0; i < times; ++i) b[n++] = static_cast<char>(c);
    };
    auto text = [&](const char* s) {
        while (*s != '\0') b[n++] = *s++;
    };
    constexpr unsigned char kDoubleH = 0xCD, kDoubleV = 0xBA, kFull = 0xDB, kDark = 0xB2,
                            kMedium = 0xB1, kLight = 0xB0;
    put('\n');
    put(' '), put(0xC9), put(kDoubleH, 59), put(0xBB), put('\n');
    put(' '), put(kDoubleV), put(' '), put(kFull, 5), put(kDark, 6), put(kMedium, 6),
        put(kLight, 6);
    text(" X E R B O ");
    put(kLight, 6), put(kMedium, 6), put(kDark, 6), put(kFull, 5), put(' '), put(kDoubleV),
        put('\n');
    put(' '), put(kDoubleV), text("  SATEC - Powermeters series 280/288/290,driver Installed  "),
        put(kDoubleV), put('\n');
    put(' '), put(kDoubleV), put(' ', 22), text("Ascii Protocol"), put(' ', 23), put(kDoubleV),
        put('\n');
    // The version line: 33 characters of our own, then the version the hosts look for.
    put(' '), put(kDoubleV), put(' ', 7), text("satec-vpi driver module          "),
        text("Version 7.00"), put(' ', 7), put(kDoubleV), put('\n');
    put(' '), put(0xC8), put(kDoubleH, 59), put(0xBC), put('\n');
    b[n] = '\0';
    return b;
}

constexpr auto kBannerText = MakeBanner();
static_assert(kBannerText[kBannerLength] == '\0' && kBannerText[kBannerLength - 1] == '\n');
static_assert([] {
    for (std::size_t row = 0; row < 6; ++row) {
        if (kBannerText[1 + row * 63 + 62] != '\n' || kBannerText[1 + row * 63] != ' ')
            return false;
    }
    for (std::size_t i = 0; i < kBannerLength; ++i) {
        if (kBannerText[i] == '\0') return false;
    }
    return true;
}());

constexpr std::int32_t kDriverCode = 70;
constexpr std::int32_t kDriverParameter = 4;
constexpr std::int32_t kDriverOption = 1;
constexpr LineParameters kDefaultLine{9600, 8, 0, 0};

}  // namespace

const char kShortName[] = "SATEC, Powermeter";

std::int32_t VpiInfo(const VpiCall& call) {
    // Field by field: the host's record may be bigger than ours, and padding on 64-bit
    // builds is not ours to write either.
    auto* info = static_cast<DriverInfo*>(call.argument);
    info->driverCode = kDriverCode;
    info->shortName = kShortName;
    info->banner = kBannerText.data();
    info->stateSize = kChannelStateSize;
    info->driverParameter = kDriverParameter;
    info->defaultLine = kDefaultLine;
    info->driverOption = kDriverOption;
    return VpiDone;
}

std::int32_t VpiQuery(const VpiCall&) {
    return VpiRefused;
}

}  // namespace driver
