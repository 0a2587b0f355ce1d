// The firmware header partition and the version query.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_fw_header.h"
#include "wifi_platform.h"
#include "wifi_rewrite.h"
#include "wifi_util.h"

enum { PATH_BUF = 512, COPY_PIECE = 512 };

uint16_t wifi_version_magic(const struVersionHead *h) { return (uint16_t)(h->raw[0] | (h->raw[1] << 8)); }

uint32_t wifi_version_u32(const struVersionHead *h, int offset) {
    const uint8_t *p = h->raw + offset;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

namespace {
// The block as it is written back: the kept area and the record after it.
struct fw_block {
    uint8_t *p = static_cast<uint8_t *>(malloc(WIFI_FW_BLOCK_WRITTEN));
    ~fw_block() { free(p); }
};
}  // namespace

static bool read_all(int fd, void *buf, size_t n) {
    char *p = static_cast<char *>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

// True when the partition starts with exactly these bytes.
static bool block_reads_back(const uint8_t *block) {
    char dev_path[PATH_BUF];
    UniqueFd dev(open(wifi_path(WIFI_FIRMWARE_MTD_DEV, dev_path, sizeof(dev_path)), O_RDONLY | O_CLOEXEC));
    fw_block got;
    return dev.valid() && got.p != nullptr && read_all(dev.get(), got.p, WIFI_FW_BLOCK_WRITTEN) &&
           memcmp(got.p, block, WIFI_FW_BLOCK_WRITTEN) == 0;
}

// Erases the block and writes `block` back through the temporary file the write-back
// command reads. 0 once the partition reads back equal, when the copy on /config
// goes; -1 otherwise, and the copy stays for the next try.
static int write_back(const uint8_t *block) {
    char tmp_path[PATH_BUF];
    wifi_path(WIFI_FIRMWARE_MTD_DEV_TMP, tmp_path, sizeof(tmp_path));
    UniqueFd tmp(wifi_plat().file_open(tmp_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!tmp.valid()) {
        printf("=======open WIFI_FIRMWARE_MTD_DEV_TMP error==========\n");
        return -1;
    }
    bool staged = wifi_write_all(tmp.get(), block, WIFI_FW_BLOCK_WRITTEN) == 0;
    if (close(tmp.release()) != 0 || !staged) {
        printf("=======wtf!!! iTotalReadLen %d ==========\n", WIFI_FW_RECORD_OFFSET);
        return -1;
    }
    printf("======= mtd_debug erase==========\n");
    if (wifi_plat().run_op(WIFI_OP_RECORD_ERASE) != 0) {
        printf("======= mtd erase failed, %s kept==========\n", WIFI_FIRMWARE_BLOCK_COPY);
        return -1;
    }
    printf("======= mtd_debug write==========\n");
    if (wifi_plat().run_op(WIFI_OP_RECORD_WRITE) != 0 || !block_reads_back(block)) {
        printf("======= mtd write back failed, %s kept==========\n", WIFI_FIRMWARE_BLOCK_COPY);
        return -1;
    }
    if (wifi_plat().file_unlink(tmp_path) != 0) return -1;
    return wifi_remove_file(WIFI_FIRMWARE_BLOCK_COPY);
}

int wifi_firmware_header_recover() {
    char copy_path[PATH_BUF];
    UniqueFd copy(open(wifi_path(WIFI_FIRMWARE_BLOCK_COPY, copy_path, sizeof(copy_path)), O_RDONLY | O_CLOEXEC));
    if (!copy.valid()) return 0;
    fw_block block;
    struct stat st;
    struVersionHead rec;
    bool whole = block.p != nullptr && fstat(copy.get(), &st) == 0 && st.st_size == WIFI_FW_BLOCK_WRITTEN &&
                 read_all(copy.get(), block.p, WIFI_FW_BLOCK_WRITTEN);
    copy.reset();
    if (whole) memcpy(rec.raw, block.p + WIFI_FW_RECORD_OFFSET, sizeof(rec.raw));
    // The copy is put in place whole or not at all: anything else is not ours.
    if (!whole || wifi_version_magic(&rec) != WIFI_VERSION_MAGIC) {
        printf("======= %s is not a header block, removed==========\n", WIFI_FIRMWARE_BLOCK_COPY);
        return wifi_remove_file(WIFI_FIRMWARE_BLOCK_COPY);
    }
    printf("======= %s holds a header write that did not end, writing it back==========\n", WIFI_FIRMWARE_BLOCK_COPY);
    return write_back(block.p);
}

int wifi_set_firmware_header_info(const struVersionHead *h) {
    if (h == nullptr) return -1;
    // A write that did not end (power cut between the erase and the write-back) is
    // finished first: its copy may be the only one of the kept area.
    if (wifi_firmware_header_recover() != 0) return -1;
    if (wifi_version_magic(h) != WIFI_VERSION_MAGIC) {
        printf("wifi_set_firmware_header_info failed magic[%x]\n", wifi_version_magic(h));
        return -1;
    }
    char dev_path[PATH_BUF];
    UniqueFd dev(open(wifi_path(WIFI_FIRMWARE_MTD_DEV, dev_path, sizeof(dev_path)), O_RDWR | O_CLOEXEC));
    if (!dev.valid()) {
        printf("=======open WIFI_FIRMWARE_MTD_DEV error==========\n");
        return -1;
    }
    fw_block block;
    if (block.p == nullptr) return -1;
    int total = 0;
    while (total < WIFI_FW_RECORD_OFFSET) {
        if (read(dev.get(), block.p + total, COPY_PIECE) != (ssize_t)COPY_PIECE) {
            printf("=======read error!!! break================\n");
            break;
        }
        total += COPY_PIECE;
    }
    if (total < WIFI_FW_RECORD_OFFSET) {
        printf("=======wtf!!! iTotalReadLen %d ==========\n", total);
        return -1;
    }
    dev.reset();
    memcpy(block.p + WIFI_FW_RECORD_OFFSET, h->raw, sizeof(h->raw));
    // Before the erase, the block as it will be: on flash, so that a power cut
    // between the erase and the write-back loses nothing.
    if (wifi_write_file(WIFI_FIRMWARE_BLOCK_COPY, WIFI_FIRMWARE_BLOCK_COPY_TMP, block.p, WIFI_FW_BLOCK_WRITTEN) != 0) {
        printf("======= %s cannot be written, nothing erased==========\n", WIFI_FIRMWARE_BLOCK_COPY);
        return -1;
    }
    return write_back(block.p);
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
