// Upgrade packages on the host side: the legacy image header, CRC-32, the 20-byte
// version header, building a package and every check the module makes on one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wlink {

constexpr size_t kImageHeaderSize = 64;
constexpr size_t kVersionHeaderSize = 20;
constexpr size_t kPackageHeadSize = kVersionHeaderSize + kImageHeaderSize;
constexpr size_t kMaxPackageSize = 5242880;
constexpr uint32_t kImageMagic = 0x27051956;
constexpr uint16_t kVersionMagic = 0x514C;
constexpr uint8_t kArchMips = 5, kOsLinux = 5, kTypeKernel = 2;

using ByteVec = std::vector<uint8_t>;

uint32_t crc32(const uint8_t* p, size_t n);

struct ImageHeader {
  uint32_t magic = kImageMagic, hcrc = 0, time = 0, size = 0, load = 0x80000000, ep = 0x80000000, dcrc = 0;
  uint8_t os = kOsLinux, arch = kArchMips, type = kTypeKernel, comp = 0;
  std::string name;  // at most 31 characters
};

// The header at p (64 bytes, big-endian fields).
ImageHeader parse_image_header(const uint8_t* p);
// A legacy image: `h` with size, time (when 0), both CRCs filled, then the data.
ByteVec wrap_image(ImageHeader h, const ByteVec& data);
// Compression names as the legacy format numbers them: none gzip bzip2 lzma lzo; -1 if unknown.
int compression_code(const std::string& name);

struct VersionHeader {
  uint16_t magic = kVersionMagic;
  uint8_t major = 0, minor = 0;
  uint32_t kernel_len = 0, res0 = 0, app_len = 0, res1 = 0;  // app_len: application part - 7
};
VersionHeader parse_version_header(const uint8_t* p);

// Version header (filled so that the module's length check passes), image, application part.
ByteVec build_package(const ByteVec& image, const ByteVec& app, uint8_t major, uint8_t minor);

// One check of the module; `refuses` is false for those it only logs.
struct Check {
  std::string what;
  bool ok;
  bool refuses;
};
// Every check the module makes on a package; the module takes it when none that
// refuses failed.
std::vector<Check> check_package(const ByteVec& pkg);
bool package_accepted(const std::vector<Check>& checks);
// The checks of a legacy image on its own (magic, size, both CRCs).
bool image_is_valid(const ByteVec& image, std::string* why);

}  // namespace wlink
