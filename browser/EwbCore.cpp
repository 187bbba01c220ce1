#include "EwbCore.h"

#include <array>

#include "WebBrowser.h"

namespace kiva {

namespace {

// Flag values by member ordinal; the gap at 0x8000 has no member.
constexpr std::array<std::uint32_t, 29> kHostInfoFlagValues = {
    0x1,       0x2,       0x4,       0x8,        0x10,       0x20,     0x40,     0x80,
    0x100,     0x200,     0x400,     0x800,      0x1000,     0x2000,   0x4000,   0x10000,
    0x20000,   0x40000,   0x80000,   0x100000,   0x200000,   0x400000, 0x800000, 0x1000000,
    0x2000000, 0x4000000, 0x8000000, 0x10000000, 0x20000000,
};

constexpr std::array<std::uint32_t, 19> kDownloadControlFlagValues = {
    0x10,    0x20,       0x40,       0x80,       0x100,      0x200,   0x400,
    0x800,   0x1000,     0x2000,     0x4000,     0x8000,     0x10000, 0x20000,
    0x40000, 0x10000000, 0x20000000, 0x40000000, 0x80000000,
};

template <std::size_t N>
std::uint32_t SumOfFlags(std::uint64_t bits, const std::array<std::uint32_t, N>& values) {
    std::uint32_t flags = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (bits & (std::uint64_t{1} << i)) {
            flags += values[i];
        }
    }
    return flags;
}

} // namespace

std::uint32_t HostInfoFlagsOf(TUserInterfaceOptions options) {
    return SumOfFlags(options.Bits(), kHostInfoFlagValues);
}

std::uint32_t DownloadControlFlagsOf(TDownloadControlOptions options) {
    return SumOfFlags(options.Bits(), kDownloadControlFlagValues);
}

TCustomEmbeddedWB::TCustomEmbeddedWB(TComponent* owner) : TEWB(owner) {
    // The control is created on first use and reads the host information then, so the
    // defaults need no notification here.
    downloadOptions_ = {TDownloadControlOption::DownloadImages,
                        TDownloadControlOption::DownloadVideos,
                        TDownloadControlOption::DownloadBGSounds};
    downloadControlFlags_ = DownloadControlFlagsOf(downloadOptions_);
    userInterfaceOptions_ = {TUserInterfaceOption::EnablesFormsAutoComplete,
                             TUserInterfaceOption::EnableThemes};
    hostInfoFlags_ = HostInfoFlagsOf(userInterfaceOptions_);
}

void TCustomEmbeddedWB::SetUserInterfaceOptions(TUserInterfaceOptions options) {
    userInterfaceOptions_ = options;
    hostInfoFlags_ = HostInfoFlagsOf(options);
    AmbientPropertyChanged(DISPID_AMBIENT_DLCONTROL);
}

void TCustomEmbeddedWB::SetDownloadOptions(TDownloadControlOptions options) {
    downloadOptions_ = options;
    downloadControlFlags_ = DownloadControlFlagsOf(options);
    AmbientPropertyChanged(DISPID_AMBIENT_DLCONTROL);
}

void TCustomEmbeddedWB::GetHostInfo(DOCHOSTUIINFO& info) {
    info.cbSize = 20;
    info.dwFlags = hostInfoFlags_;
    info.dwDoubleClick = 0;
    info.pchHostCss.clear();
    info.pchHostNS.clear();
    if (OnGetHostInfo) {
        OnGetHostInfo(this, info);
    }
}

} // namespace kiva
