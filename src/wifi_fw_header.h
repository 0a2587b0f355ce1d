// The firmware header partition (/dev/mtd2): the version record of the installed
// firmware, and the version query.
#pragma once

#include <stdint.h>

#include "wifi_msg_proc.h"

#define WIFI_FIRMWARE_MTD_DEV "/dev/mtd2"
#define WIFI_FIRMWARE_MTD_BLOCK_DEV "/dev/mtdblock2"
#define WIFI_FIRMWARE_MTD_DEV_TMP "/tmp/mtd2_buf"
// The block being written, kept on flash from before the erase until it reads back.
#define WIFI_FIRMWARE_BLOCK_COPY "/config/mtd2_block"
#define WIFI_FIRMWARE_BLOCK_COPY_TMP "/config/mtd2_block.tmp"

enum {
    WIFI_VERSION_HEAD_SIZE = 20,
    WIFI_VERSION_MAGIC = 0x514C,
    WIFI_FW_BLOCK_SIZE = 0x10000,                                            // the erase block holding the record
    WIFI_FW_RECORD_OFFSET = 0xFE00,                                          // bytes before it are kept on every write
    WIFI_FW_BLOCK_WRITTEN = WIFI_FW_RECORD_OFFSET + WIFI_VERSION_HEAD_SIZE,  // the rest stays erased
};

// The 20-byte version record of a package and of the partition. Its multi-byte
// fields are little-endian; the record keeps the 20 bytes as they came, so the
// fields nobody reads are stored unchanged.
struct struVersionHead {
    uint8_t raw[WIFI_VERSION_HEAD_SIZE];
};
uint16_t wifi_version_magic(const struVersionHead *h);
uint32_t wifi_version_u32(const struVersionHead *h, int offset);  // offset 4, 8, 12 or 16

// 0 when the block was rewritten with the record and reads back so. Before the
// erase the whole block is kept on /config (put in place whole or not at all) and
// stays there until the partition reads back equal.
int wifi_set_firmware_header_info(const struVersionHead *h);
// Finishes a header write that did not end (a power cut, a failed write-back) from
// the copy on /config. 0, also when there is none; -1 when the write-back failed
// (the copy then stays).
int wifi_firmware_header_recover();
// -1 only when the partition cannot be opened or positioned; the output is filled
// only when a valid record is there.
int wifi_get_firmware_header_info(struVersionHead *out);

WIFI_HANDLER(wifi_msg_proc_get_ver_rsp);
