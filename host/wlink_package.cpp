// Upgrade packages: the legacy image header, CRC-32, the 20-byte version header,
// building a package and every check the module makes before it writes flash.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "wlink_int.h"

enum {
    VERSION_HEAD = 20,
    IMAGE_HEAD = 64,
    PACKAGE_HEADS = VERSION_HEAD + IMAGE_HEAD,
    VERSION_MAGIC = 0x514C,
    ARCH_MIPS = 5,
    OS_LINUX = 5,
    TYPE_KERNEL = 2,
};
static const uint32_t kImageMagic = 0x27051956;

static uint32_t be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
static uint32_t le32(const uint8_t *p) {
    return p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static void put_be32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (24 - 8 * i));
}
static void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

uint32_t wlink_crc32(const uint8_t *p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

// Over the 64 header bytes with the CRC field taken as zero.
static uint32_t header_crc(const uint8_t *h) {
    uint8_t copy[IMAGE_HEAD];
    memcpy(copy, h, IMAGE_HEAD);
    memset(copy + 4, 0, 4);
    return wlink_crc32(copy, IMAGE_HEAD);
}

static void read_image_header(const uint8_t *h, wlink_package_info *i) {
    i->magic = be32(h), i->header_crc = be32(h + 4), i->time = be32(h + 8), i->image_size = be32(h + 12);
    i->load = be32(h + 16), i->entry = be32(h + 20), i->data_crc = be32(h + 24);
    i->os = h[28], i->arch = h[29], i->type = h[30], i->compression = h[31];
    memcpy(i->name, h + 32, 32);
    i->name[32] = '\0';
    i->computed_header_crc = header_crc(h);
}

static wlink_status refuse(wlink_package_info *i, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static wlink_status refuse(wlink_package_info *i, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(i->reason, sizeof(i->reason), fmt, ap);
    va_end(ap);
    i->refused = 1;
    return WLINK_BAD_PACKAGE;
}

static wlink_status check(const uint8_t *pkg, size_t len, wlink_package_info *info) {
    if (len >= IMAGE_HEAD && be32(pkg) == kImageMagic) {
        info->is_bare_image = 1;
        read_image_header(pkg, info);
        return refuse(info, "this is a legacy image, not an upgrade package (wlinkctl pack makes one from it)");
    }
    if (len < 1 || len > WLINK_PACKAGE_MAX)
        return refuse(info, "%zu bytes: a package holds 1 to %d bytes", len, WLINK_PACKAGE_MAX);
    // A signature trailer is the module's to judge (with its keys); the parts come before it.
    const int trailer = wlink_trailer_read(pkg, len, info);
    if (trailer < 0) {
        info->refused = 1;
        return WLINK_BAD_PACKAGE;
    }
    if (trailer > 0) len -= WLINK_SIGN_TRAILER_SIZE;
    if (len < PACKAGE_HEADS)
        return refuse(info, "%zu bytes: shorter than its 84 bytes of version and image headers", len);
    info->has_headers = 1;
    info->version_magic = (unsigned)(pkg[0] | (pkg[1] << 8));
    info->major = pkg[2], info->minor = pkg[3];
    info->image_len_field = le32(pkg + 4), info->app_len_field = le32(pkg + 12);
    const uint8_t *h = pkg + VERSION_HEAD;
    read_image_header(h, info);
    if ((uint64_t)PACKAGE_HEADS + info->image_size > len)
        return refuse(info, "the image's %u bytes do not fit in the package of %zu bytes", info->image_size, len);
    info->image_len = info->image_size;
    info->app_len = len - PACKAGE_HEADS - info->image_size;
    info->computed_data_crc = wlink_crc32(h + IMAGE_HEAD, info->image_size);
    if (info->image_len == 0) return refuse(info, "the image is empty");
    if (info->app_len == 0) return refuse(info, "the application part is empty");
    if (info->magic != kImageMagic) return refuse(info, "image magic 0x%08X is not 0x%08X", info->magic, kImageMagic);
    if (info->header_crc != info->computed_header_crc)
        return refuse(info, "image header CRC: stored 0x%08X, computed 0x%08X", info->header_crc,
                      info->computed_header_crc);
    if (info->data_crc != info->computed_data_crc)
        return refuse(info, "image data CRC: stored 0x%08X, computed 0x%08X", info->data_crc, info->computed_data_crc);
    if (info->arch != ARCH_MIPS) return refuse(info, "image architecture %u is not MIPS (5)", info->arch);
    // The module stores the version header as its record: one it could not store is refused up front.
    if (info->version_magic != VERSION_MAGIC)
        return refuse(info, "version header magic 0x%04X is not 0x%04X", info->version_magic, VERSION_MAGIC);
    return WLINK_OK;
}

wlink_status wlink_package_check(const uint8_t *pkg, size_t len, wlink_package_info *info) {
    if (info == nullptr || info->size == 0 || (pkg == nullptr && len > 0)) return WLINK_BAD_ARGUMENT;
    // Filled whole here, given to the caller as far as its record goes.
    wlink_package_info full;
    memset(&full, 0, sizeof full);
    wlink_status st = check(pkg, len, &full);
    size_t n = info->size < sizeof full ? info->size : sizeof full;
    full.size = info->size;
    memcpy(info, &full, n);
    return st;
}

wlink_status wlink_image_check(const uint8_t *img, size_t n, char *why, size_t why_size) {
    char text[160] = "";
    wlink_status st = WLINK_OK;
    if (img == nullptr || n < IMAGE_HEAD) {
        snprintf(text, sizeof text, "shorter than an image header (64 bytes)");
        st = WLINK_BAD_PACKAGE;
    } else {
        wlink_package_info i;
        memset(&i, 0, sizeof i);
        read_image_header(img, &i);
        uint32_t dcrc = n - IMAGE_HEAD == i.image_size ? wlink_crc32(img + IMAGE_HEAD, i.image_size) : 0;
        st = WLINK_BAD_PACKAGE;
        if (i.magic != kImageMagic)
            snprintf(text, sizeof text, "image magic 0x%08X is not 0x%08X", i.magic, kImageMagic);
        else if (n - IMAGE_HEAD != i.image_size)
            snprintf(text, sizeof text, "its header gives %u data bytes, the file holds %zu", i.image_size,
                     n - IMAGE_HEAD);
        else if (i.header_crc != i.computed_header_crc)
            snprintf(text, sizeof text, "image header CRC: stored 0x%08X, computed 0x%08X", i.header_crc,
                     i.computed_header_crc);
        else if (i.data_crc != dcrc)
            snprintf(text, sizeof text, "image data CRC: stored 0x%08X, computed 0x%08X", i.data_crc, dcrc);
        else if (i.arch != ARCH_MIPS)
            snprintf(text, sizeof text, "image architecture %u is not MIPS (5)", i.arch);
        else
            st = WLINK_OK;
    }
    wlink_copy(why, why_size, text);
    return st;
}

wlink_status wlink_image_wrap(const wlink_image_params *p, const uint8_t *data, size_t n, uint8_t *out,
                              size_t out_size) {
    if (out == nullptr || (data == nullptr && n > 0) || out_size < IMAGE_HEAD + n || n > 0xFFFFFFFFu ||
        (p != nullptr && p->size == 0))
        return WLINK_BAD_ARGUMENT;
    // The caller's fields as far as its record goes, defaults past them.
    wlink_image_params given;
    memset(&given, 0, sizeof given);
    if (p != nullptr) memcpy(&given, p, p->size < sizeof given ? p->size : sizeof given);
    p = &given;
    const char *name = p != nullptr && p->name != nullptr ? p->name : "wlink firmware";
    if (strlen(name) > 31 || (p != nullptr && p->compression > 4)) return WLINK_BAD_ARGUMENT;
    memset(out, 0, IMAGE_HEAD);
    put_be32(out, kImageMagic);
    put_be32(out + 8, p != nullptr && p->time != 0 ? p->time : (uint32_t)time(nullptr));
    put_be32(out + 12, (uint32_t)n);
    put_be32(out + 16, p != nullptr && p->load != 0 ? p->load : 0x80000000u);
    put_be32(out + 20, p != nullptr && p->entry != 0 ? p->entry : 0x80000000u);
    put_be32(out + 24, wlink_crc32(data, n));
    out[28] = OS_LINUX, out[29] = ARCH_MIPS, out[30] = TYPE_KERNEL;
    out[31] = (uint8_t)(p != nullptr ? p->compression : 0);
    memcpy(out + 32, name, strlen(name));
    put_be32(out + 4, header_crc(out));
    if (n > 0) memmove(out + IMAGE_HEAD, data, n);
    return WLINK_OK;
}

wlink_status wlink_package_build(const uint8_t *image, size_t image_len, const uint8_t *app, size_t app_len,
                                 unsigned major, unsigned minor, uint8_t *out, size_t out_size) {
    if (out == nullptr || image == nullptr || app == nullptr || major > 255 || minor > 255 ||
        out_size < VERSION_HEAD + image_len + app_len || image_len > 0xFFFFFFFFu || app_len > 0xFFFFFFFFu)
        return WLINK_BAD_ARGUMENT;
    memset(out, 0, VERSION_HEAD);
    out[0] = VERSION_MAGIC & 0xFF, out[1] = VERSION_MAGIC >> 8, out[2] = (uint8_t)major, out[3] = (uint8_t)minor;
    put_le32(out + 4, (uint32_t)image_len);     // image header and data
    put_le32(out + 12, (uint32_t)app_len - 7);  // the module's own reckoning
    memcpy(out + VERSION_HEAD, image, image_len);
    memcpy(out + VERSION_HEAD + image_len, app, app_len);
    return WLINK_OK;
}
