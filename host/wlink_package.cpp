#include "wlink_package.h"

#include <array>
#include <cstring>
#include <ctime>

namespace wlink {
namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void put_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The header CRC: over the 64 bytes with the CRC field zero.
uint32_t header_crc(const uint8_t* p) {
  std::array<uint8_t, kImageHeaderSize> h;
  std::memcpy(h.data(), p, h.size());
  std::memset(h.data() + 4, 0, 4);
  return crc32(h.data(), h.size());
}

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

ImageHeader parse_image_header(const uint8_t* p) {
  ImageHeader h;
  h.magic = be32(p), h.hcrc = be32(p + 4), h.time = be32(p + 8), h.size = be32(p + 12);
  h.load = be32(p + 16), h.ep = be32(p + 20), h.dcrc = be32(p + 24);
  h.os = p[28], h.arch = p[29], h.type = p[30], h.comp = p[31];
  h.name.assign(reinterpret_cast<const char*>(p + 32), strnlen(reinterpret_cast<const char*>(p + 32), 32));
  return h;
}

ByteVec wrap_image(ImageHeader h, const ByteVec& data) {
  ByteVec out(kImageHeaderSize, 0);
  uint8_t* p = out.data();
  put_be32(p, h.magic);
  put_be32(p + 8, h.time ? h.time : static_cast<uint32_t>(std::time(nullptr)));
  put_be32(p + 12, static_cast<uint32_t>(data.size()));
  put_be32(p + 16, h.load);
  put_be32(p + 20, h.ep);
  put_be32(p + 24, crc32(data.data(), data.size()));
  p[28] = h.os, p[29] = h.arch, p[30] = h.type, p[31] = h.comp;
  std::memcpy(p + 32, h.name.data(), std::min<size_t>(h.name.size(), 31));
  put_be32(p + 4, header_crc(p));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

int compression_code(const std::string& name) {
  const char* names[] = {"none", "gzip", "bzip2", "lzma", "lzo"};
  for (int i = 0; i < 5; ++i)
    if (name == names[i]) return i;
  return -1;
}

VersionHeader parse_version_header(const uint8_t* p) {
  VersionHeader v;
  v.magic = static_cast<uint16_t>(p[0] | (p[1] << 8));
  v.major = p[2], v.minor = p[3];
  v.kernel_len = le32(p + 4), v.res0 = le32(p + 8), v.app_len = le32(p + 12), v.res1 = le32(p + 16);
  return v;
}

ByteVec build_package(const ByteVec& image, const ByteVec& app, uint8_t major, uint8_t minor) {
  ByteVec out(kVersionHeaderSize, 0);
  out[0] = kVersionMagic & 0xFF, out[1] = kVersionMagic >> 8, out[2] = major, out[3] = minor;
  put_le32(out.data() + 4, static_cast<uint32_t>(image.size()));  // image header and data
  put_le32(out.data() + 12, static_cast<uint32_t>(app.size() - 7));
  out.insert(out.end(), image.begin(), image.end());
  out.insert(out.end(), app.begin(), app.end());
  return out;
}

std::vector<Check> check_package(const ByteVec& pkg) {
  std::vector<Check> c;
  const size_t n = pkg.size();
  c.push_back({"length 1 to 5242880", n >= 1 && n <= kMaxPackageSize, true});
  c.push_back({"at least 84 bytes (version and image headers)", n >= kPackageHeadSize, true});
  if (n < kPackageHeadSize) return c;
  const uint8_t* ih = pkg.data() + kVersionHeaderSize;
  const ImageHeader h = parse_image_header(ih);
  const bool inside = uint64_t{kPackageHeadSize} + h.size <= n;
  c.push_back({"image inside the package", inside, true});
  if (!inside) return c;
  const size_t app = n - kPackageHeadSize - h.size;
  c.push_back({"image and application part not empty", h.size > 0 && app > 0, true});
  c.push_back({"image magic 0x27051956", h.magic == kImageMagic, true});
  c.push_back({"image header CRC", h.hcrc == header_crc(ih), true});
  c.push_back({"image data CRC", h.dcrc == crc32(ih + kImageHeaderSize, h.size), true});
  c.push_back({"architecture MIPS", h.arch == kArchMips, true});
  const VersionHeader v = parse_version_header(pkg.data());
  c.push_back({"version header lengths match (logged only)",
               v.app_len + 7 == static_cast<uint32_t>(app) && v.kernel_len - kImageHeaderSize == h.size, false});
  c.push_back({"version magic 0x514C (else the version is not stored)", v.magic == kVersionMagic, false});
  return c;
}

bool package_accepted(const std::vector<Check>& checks) {
  for (const Check& k : checks)
    if (k.refuses && !k.ok) return false;
  return true;
}

bool image_is_valid(const ByteVec& image, std::string* why) {
  if (image.size() < kImageHeaderSize) return *why = "shorter than an image header", false;
  const ImageHeader h = parse_image_header(image.data());
  if (h.magic != kImageMagic) return *why = "bad magic", false;
  if (kImageHeaderSize + uint64_t{h.size} != image.size()) return *why = "size field does not match the file", false;
  if (h.hcrc != header_crc(image.data())) return *why = "bad header CRC", false;
  if (h.dcrc != crc32(image.data() + kImageHeaderSize, h.size)) return *why = "bad data CRC", false;
  return true;
}

}  // namespace wlink
