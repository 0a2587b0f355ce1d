// Package processing, flash writing and the heartbeat of an upgrade.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The processing's input.
struct sysUpgParam {
    int32_t iUpgMode;  // 3 from the exchange; not read
    int32_t iSrcfd;    // the connection the package comes on
    int32_t iFileLen;  // the package length announced in the request header
};

enum {
    WIFI_UPG_MAX_LEN = 5242880,     // the longest package
    WIFI_UPG_HEAD_LEN = 84,         // version header and image header
    WIFI_UPG_READ_BLOCK = 32768,    // one read of the package
    WIFI_UPG_FLASH_PIECE = 524288,  // one write to the staging file
    WIFI_UPG_MTD_IMAGE = 4,         // /dev/mtd5
    WIFI_UPG_MTD_APP = 5,           // /dev/mtd6
};

#define WIFI_UPGRADE_MTD_DEV_TMP "/tmp/mtd_buf"
// On /config from before an upgrade's first flash write until its record reads back:
// a module that starts with it there may hold a half-written image.
#define WIFI_UPGRADE_MARK "/config/upgrade_mark"
#define WIFI_UPGRADE_MARK_TMP "/config/upgrade_mark.tmp"

// Start-up: whether an upgrade left its mark. Once, before the links start.
void sys_upg_mark_load();
// True from a start that found the mark, or an upgrade that laid it, until an
// upgrade's record reads back and the mark is gone.
bool sys_upg_mark_left();

// The 8-byte message the module sends on the upgrade connection: type, value, both
// big-endian. One send, without SIGPIPE; 0, or -1 when the send reports an error.
int wifi_up_send_ack(int fd, int32_t type, int32_t value);

// (descriptor, buffer, count) -> bytes placed, 0..count; negative on a hard error.
typedef int (*sys_upg_reader)(int fd, uint8_t *buf, int count);

int sys_upgrade(const sysUpgParam *param);
int sys_upg_net(const sysUpgParam *param, sys_upg_reader reader);
// Fills buf with exactly len bytes from the reader; 0, or -1 (a reader error, a fourth
// empty read, or the package's time is up).
int sys_upg_copy_file_to_buff(sys_upg_reader reader, int fd, uint8_t *buf, int len);
int sys_upg_sock_read(int fd, uint8_t *buf, int count);

// The checks a package must pass, whole and in memory, before any partition is
// touched. Fills the image length and the application part's length; 0, or -1 with a
// log line naming what is wrong.
int sys_upg_check_package(const uint8_t *pkg, uint32_t len, uint32_t *image_len, uint32_t *app_len);
// CRC-32 as the legacy image format uses it (the zlib one).
uint32_t wifi_crc32(const uint8_t *p, size_t n);

// Stages `len` bytes in the temporary file and has the flash tool write them to the
// partition of `type`; 0 or -1.
int wifi_upgrade_write_flash(int8_t type, const uint8_t *data, int32_t len);
