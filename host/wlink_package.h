// C++ conveniences over libwlink's upgrade packages, for the tests and benchmarks.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "wlink.h"

namespace wlink {

constexpr size_t kPackageHeadSize = 84;
constexpr size_t kMaxPackageSize = WLINK_PACKAGE_MAX;
constexpr uint8_t kArchMips = 5;

using ByteVec = std::vector<uint8_t>;

struct ImageHeader {
    uint32_t load = 0x80000000, ep = 0x80000000;
    uint8_t arch = kArchMips, comp = 0;
    std::string name;
};

// A legacy image around data; an architecture other than MIPS is written with a
// header CRC that holds.
inline ByteVec wrap_image(const ImageHeader &h, const ByteVec &data) {
    ByteVec out(64 + data.size());
    wlink_image_params p{
        sizeof(wlink_image_params), h.load, h.ep, 0, h.comp, h.name.empty() ? nullptr : h.name.c_str()};
    if (wlink_image_wrap(&p, data.data(), data.size(), out.data(), out.size()) != WLINK_OK) return {};
    if (h.arch != kArchMips) {
        out[29] = h.arch;
        std::memset(out.data() + 4, 0, 4);
        const uint32_t crc = wlink_crc32(out.data(), 64);
        for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    return out;
}

inline ByteVec build_package(const ByteVec &image, const ByteVec &app, uint8_t major, uint8_t minor) {
    ByteVec out(20 + image.size() + app.size());
    wlink_package_build(image.data(), image.size(), app.data(), app.size(), major, minor, out.data(), out.size());
    return out;
}

inline bool package_accepted(const ByteVec &pkg) {
    wlink_package_info info;
    WLINK_INIT(info);
    return wlink_package_check(pkg.data(), pkg.size(), &info) == WLINK_OK;
}

}  // namespace wlink
