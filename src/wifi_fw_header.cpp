// The firmware header partition and the version query.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_fw_header.h"
#include "wifi_platform.h"
#include "wifi_util.h"

enum { PATH_BUF = 512, COPY_PIECE = 512 };

uint16_t wifi_version_magic(const struVersionHead *h) { return (uint16_t)(h->raw[0] | (h->raw[1] << 8)); }

uint32_t wifi_version_u32(const struVersionHead *h, int offset) {
    const uint8_t *p = h->raw + offset;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static bool write_all(int fd, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Erases the block and writes the temporary copy back; the copy goes once it is in place.
static int write_back(const char *tmp_path) {
    printf("======= mtd_debug erase==========\n");
    wifi_shell_run("mtd_debug erase " WIFI_FIRMWARE_MTD_DEV " 0 0x10000");
    printf("======= mtd_debug write==========\n");
    // After the erase the temporary file is the only copy of the kept area: it stays
    // when the write-back fails.
    if (wifi_shell_run("cat " WIFI_FIRMWARE_MTD_DEV_TMP " > " WIFI_FIRMWARE_MTD_BLOCK_DEV) != 0) {
        printf("======= mtd write back failed, %s kept==========\n", WIFI_FIRMWARE_MTD_DEV_TMP);
        return -1;
    }
    return unlink(tmp_path) == 0 ? 0 : -1;
}

int wifi_firmware_header_recover() {
    char tmp_path[PATH_BUF];
    wifi_path(WIFI_FIRMWARE_MTD_DEV_TMP, tmp_path, sizeof(tmp_path));
    UniqueFd tmp(open(tmp_path, O_RDONLY | O_CLOEXEC));
    if (!tmp.valid()) return 0;
    struct stat st;
    struVersionHead rec;
    bool whole = fstat(tmp.get(), &st) == 0 && st.st_size == WIFI_FW_RECORD_OFFSET + WIFI_VERSION_HEAD_SIZE &&
                 pread(tmp.get(), rec.raw, sizeof(rec.raw), WIFI_FW_RECORD_OFFSET) == (ssize_t)sizeof(rec.raw) &&
                 wifi_version_magic(&rec) == WIFI_VERSION_MAGIC;
    tmp.reset();
    // A copy cut short was made before any erase: the block is still whole.
    if (!whole) return unlink(tmp_path) == 0 ? 0 : -1;
    printf("======= %s holds a header write that did not end, writing it back==========\n", WIFI_FIRMWARE_MTD_DEV_TMP);
    return write_back(tmp_path);
}

int wifi_set_firmware_header_info(const struVersionHead *h) {
    if (h == nullptr) return -1;
    // A write that did not end (the daemon was killed between the erase and the
    // write-back) is finished first: its copy is the only one of the kept area.
    if (wifi_firmware_header_recover() != 0) return -1;
    if (wifi_version_magic(h) != WIFI_VERSION_MAGIC) {
        printf("wifi_set_firmware_header_info failed magic[%x]\n", wifi_version_magic(h));
        return -1;
    }
    char dev_path[PATH_BUF], tmp_path[PATH_BUF];
    UniqueFd dev(open(wifi_path(WIFI_FIRMWARE_MTD_DEV, dev_path, sizeof(dev_path)), O_RDWR | O_CLOEXEC));
    if (!dev.valid()) {
        printf("=======open WIFI_FIRMWARE_MTD_DEV error==========\n");
        return -1;
    }
    // Emptied first: bytes left past the record by an earlier run would otherwise
    // be written back into the block.
    wifi_path(WIFI_FIRMWARE_MTD_DEV_TMP, tmp_path, sizeof(tmp_path));
    UniqueFd tmp(open(tmp_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!tmp.valid()) {
        printf("=======open WIFI_FIRMWARE_MTD_DEV_TMP error==========\n");
        return -1;
    }
    int total = 0;
    bool copied = true;
    char piece[COPY_PIECE];
    while (total < WIFI_FW_RECORD_OFFSET) {
        if (read(dev.get(), piece, sizeof(piece)) != (ssize_t)sizeof(piece)) {
            printf("=======read error!!! break================\n");
            break;
        }
        // The block is erased next: a copy that was not written whole must stop here.
        if (!write_all(tmp.get(), piece, sizeof(piece))) {
            copied = false;
            break;
        }
        total += COPY_PIECE;
    }
    if (total < WIFI_FW_RECORD_OFFSET || !copied) {
        printf("=======wtf!!! iTotalReadLen %d ==========\n", total);
        return -1;
    }
    if (!write_all(tmp.get(), h->raw, sizeof(h->raw)) || fsync(tmp.get()) != 0) {
        printf("=======wtf!!! iTotalReadLen %d ==========\n", total);
        return -1;
    }
    tmp.reset();
    dev.reset();
    return write_back(tmp_path);
}

int wifi_get_firmware_header_info(struVersionHead *out) {
    if (out == nullptr) return -1;
    char dev_path[PATH_BUF];
    UniqueFd dev(open(wifi_path(WIFI_FIRMWARE_MTD_DEV, dev_path, sizeof(dev_path)), O_RDWR | O_CLOEXEC));
    if (!dev.valid()) {
        printf("=======wifi_get_firmware_header_info open error==========\n");
        return -1;
    }
    if (lseek(dev.get(), WIFI_FW_RECORD_OFFSET, SEEK_SET) != WIFI_FW_RECORD_OFFSET) return -1;
    struVersionHead rec;
    if (read(dev.get(), rec.raw, sizeof(rec.raw)) == (ssize_t)sizeof(rec.raw)) {
        printf("======read firmware header info ,magic :%x=major:%d==minor:%d======\n", wifi_version_magic(&rec),
               rec.raw[2], rec.raw[3]);
        if (wifi_version_magic(&rec) == WIFI_VERSION_MAGIC) *out = rec;
    }
    return 0;
}

WIFI_HANDLER(wifi_msg_proc_get_ver_rsp) {
    if (!wifi_args_ok(cmd, reply, reply_size)) return -1;
    struVersionHead rec;
    memset(&rec, 0, sizeof(rec));
    if (wifi_get_firmware_header_info(&rec) != 0) return -1;
    snprintf(reply, (size_t)reply_size, "%sV%u.%u", "+OK=", (unsigned)rec.raw[2], (unsigned)rec.raw[3]);
    wifi_log_val(__func__, cmd, reply);
    return 0;
}
