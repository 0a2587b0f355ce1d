// Package processing, flash writing and the heartbeat of an upgrade.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_fw_header.h"
#include "wifi_platform.h"
#include "wifi_rewrite.h"
#include "wifi_up_proc.h"
#include "wifi_up_sign.h"
#include "wifi_util.h"

#define UP_ERR(fmt, ...) fprintf(stderr, "file:%s,line:%d, " fmt "\n", "wifi_up_proc", __LINE__, ##__VA_ARGS__)

enum {
    PATH_BUF = 512,
    IMAGE_HEAD_LEN = 64,
    IMAGE_MAGIC = 0x27051956,
    IMAGE_ARCH_MIPS = 5,
    HEART_TYPE = 4,
    HEART_BEAT = 10,
    HEART_LAST = 1,
    HEART_PAUSE_MS = 3000,
    HEART_MAX_BEATS = 40,
    UPG_WAIT_MS = 10000,  // the longest wait for the next bytes of the package
    UPG_GAP_MS = 100,     // once bytes come, a pause this long ends one read
};

static uint32_t be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

uint32_t wifi_crc32(const uint8_t *p, size_t n) {
    static uint32_t table[256];
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    });
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

int wifi_up_send_ack(int fd, int32_t type, int32_t value) {
    uint8_t msg[8];
    uint32_t t = htonl((uint32_t)type), v = htonl((uint32_t)value);
    memcpy(msg, &t, 4);
    memcpy(msg + 4, &v, 4);
    // A host that has gone makes this a failed send, never a SIGPIPE.
    return send(fd, msg, sizeof(msg), MSG_NOSIGNAL) < 0 ? -1 : 0;
}

// ---- heartbeat

namespace {

// One upgrade's heartbeat; nothing of it is shared with another upgrade.
struct heart_ctx {
    int fd;          // the upgrade connection
    int stop_rd;     // readable once the processing has ended
    int32_t g_exit;  // the stop flag: 0 while the processing runs
};

struct heartbeat {
    pthread_t tid;
    heart_ctx ctx;
    UniqueFd stop_rd, stop_wr;
    bool running = false;
};

}  // namespace

static int32_t exit_flag(const heart_ctx *ctx) { return __atomic_load_n(&ctx->g_exit, __ATOMIC_SEQ_CST); }

// Waits up to `ms` of module time; returns early once the stop is signalled.
static void heart_pause(int stop_rd, unsigned ms) {
    struct pollfd p = {stop_rd, POLLIN, 0};
    wifi_plat().poll(&p, 1, (int)ms);
}

static void *wifi_upgrade_proc_heart(void *ptr) {
    if (ptr == nullptr) {
        printf(" wifi_upgrade_proc_heart param error\n");
        return nullptr;
    }
    heart_ctx *ctx = static_cast<heart_ctx *>(ptr);
    printf(" wifi_upgrade_proc_heart start ==*(int*)ptr [%d]==\n", ctx->fd);
    int fd = ctx->fd, count = 0;
    printf("wifi_upgrade_proc_heart == start ==g_exit[%d]=\n", exit_flag(ctx));
    while (exit_flag(ctx) == 0) {
        printf("===========g_exit [%d] link_id[%d]\n", exit_flag(ctx), fd);
        if (wifi_up_send_ack(fd, HEART_TYPE, HEART_BEAT) != 0) {
            printf("Send error heart:\n");
            return nullptr;
        }
        printf("send heart suc  count[%d]\n", count);
        heart_pause(ctx->stop_rd, HEART_PAUSE_MS);
        count++;
        if (count >= HEART_MAX_BEATS && exit_flag(ctx) == 0) {
            if (wifi_up_send_ack(fd, HEART_TYPE, HEART_LAST) != 0) {
                fprintf(stderr, "Send EXITor: %s\n", strerror(errno));
                return nullptr;
            }
            heart_pause(ctx->stop_rd, 1000);
            return nullptr;
        }
    }
    printf("tui chu xin tiao gtread!!!!g_exit[%d]\n", exit_flag(ctx));
    return nullptr;
}

static int heart_start(heartbeat *h, int fd) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    h->stop_rd.reset(p[0]);
    h->stop_wr.reset(p[1]);
    h->ctx.fd = fd;
    h->ctx.stop_rd = p[0];
    __atomic_store_n(&h->ctx.g_exit, 0, __ATOMIC_SEQ_CST);
    h->running = pthread_create(&h->tid, nullptr, wifi_upgrade_proc_heart, &h->ctx) == 0;
    return h->running ? 0 : -1;
}

// Stops the heartbeat at once, mid-pause too, and waits for it: once this returns
// nothing more is sent on the connection.
static void heart_stop(heartbeat *h) {
    __atomic_store_n(&h->ctx.g_exit, 1, __ATOMIC_SEQ_CST);
    if (!h->running) return;
    ssize_t w = write(h->stop_wr.get(), "x", 1);
    (void)w;
    pthread_join(h->tid, nullptr);
    h->running = false;
}

// ---- reading the package

// Waits up to 10 s for the first bytes, then takes what follows without a pause
// longer than 100 ms: a result of 0 is one empty 10-second wait.
int sys_upg_sock_read(int fd, uint8_t *buf, int count) {
    int remaining = count;
    while (remaining >= 1) {
        struct pollfd p = {fd, POLLIN, 0};
        if (wifi_plat().poll(&p, 1, remaining == count ? UPG_WAIT_MS : UPG_GAP_MS) <= 0) break;
        ssize_t n = recv(fd, buf + (count - remaining), (size_t)remaining, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) break;
        remaining -= (int)n;
    }
    return count - remaining;
}

// The time the whole package may take: 30 s, and 1 s more per 20 KB.
static int package_time_ms(int len) { return 30000 + len / 20; }

int sys_upg_copy_file_to_buff(sys_upg_reader reader, int fd, uint8_t *buf, int len) {
    int done = 0, calls = 0, empty = 0;
    const int64_t deadline = wifi_plat().monotonic_ms() + package_time_ms(len);
    while (done < len) {
        int want = len - done < WIFI_UPG_READ_BLOCK ? len - done : WIFI_UPG_READ_BLOCK;
        int r = reader(fd, buf + done, want);
        printf("iLength [%d],iReadedLen[%d],iCount1[%d],iRwRet[%d]\n", len, done, calls, r);
        calls++;
        if (r < 0 || r > want) {
            UP_ERR("read err!!! iReadBlock=%d,iRwRet=%d,fileLen=%d,iReadedLen=%d", want, r, len, done);
            return -1;
        }
        if (r == 0) {
            if (empty >= 3) {
                UP_ERR("read 10 times length is diff , return err");
                return -1;
            }
            empty++;
        }
        done += r;
        // A host trickling its package must not hold the module for ever.
        if (done < len && wifi_plat().monotonic_ms() > deadline) {
            UP_ERR("package not received within %d s: %d of %d bytes", package_time_ms(len) / 1000, done, len);
            return -1;
        }
        wifi_plat().sleep_ms(10);
    }
    return 0;
}

// ---- checks

int sys_upg_check_package(const uint8_t *pkg, uint32_t len, uint32_t *image_len, uint32_t *app_len) {
    if (pkg == nullptr || len < WIFI_UPG_HEAD_LEN) {
        UP_ERR("package refused: %u bytes, shorter than its 84-byte headers", len);
        return -1;
    }
    const uint8_t *ih = pkg + 20;
    uint32_t size = be32(ih + 12);
    if ((uint64_t)WIFI_UPG_HEAD_LEN + size > len) {
        UP_ERR("package refused: image of %u bytes does not fit in the package of %u bytes", size, len);
        return -1;
    }
    *image_len = size;
    *app_len = len - size - WIFI_UPG_HEAD_LEN;
    if (*image_len == 0 || *app_len == 0) {
        UP_ERR("len error ====");
        return -1;
    }
    if (be32(ih) != IMAGE_MAGIC) {
        UP_ERR("package refused: image magic %x is not %x", be32(ih), IMAGE_MAGIC);
        return -1;
    }
    uint8_t head[IMAGE_HEAD_LEN];
    memcpy(head, ih, sizeof(head));
    memset(head + 4, 0, 4);
    if (wifi_crc32(head, sizeof(head)) != be32(ih + 4)) {
        UP_ERR("package refused: image header CRC: stored 0x%08X, computed 0x%08X", be32(ih + 4),
               wifi_crc32(head, sizeof(head)));
        return -1;
    }
    uint32_t dcrc = wifi_crc32(ih + IMAGE_HEAD_LEN, size);
    if (dcrc != be32(ih + 24)) {
        UP_ERR("package refused: image data CRC: stored 0x%08X, computed 0x%08X", be32(ih + 24), dcrc);
        return -1;
    }
    if (ih[29] != IMAGE_ARCH_MIPS) {
        UP_ERR("package refused: image architecture %d is not MIPS", ih[29]);
        return -1;
    }
    // The record is stored last; one that could not be stored must not be found out
    // only after both partitions were written.
    struVersionHead vh;
    memcpy(vh.raw, pkg, sizeof(vh.raw));
    if (wifi_version_magic(&vh) != WIFI_VERSION_MAGIC) {
        UP_ERR("package refused: version header magic %x is not %x", wifi_version_magic(&vh), WIFI_VERSION_MAGIC);
        return -1;
    }
    const struct {
        const char *dev;
        uint32_t need;
    } parts[] = {{"/dev/mtd5", IMAGE_HEAD_LEN + size}, {"/dev/mtd6", *app_len}};
    for (const auto &part : parts) {
        const long long room = wifi_plat().flash_size(part.dev);
        if (room < (long long)part.need) {
            UP_ERR("package refused: %u bytes for %s, which holds %lld", part.need, part.dev, room);
            return -1;
        }
    }
    return 0;
}

// ---- flash

int wifi_upgrade_write_flash(int8_t type, const uint8_t *data, int32_t len) {
    if (data == nullptr || len < 0) return -1;
    printf("============write flash start===================\n");
    char path[PATH_BUF];
    wifi_path(WIFI_UPGRADE_MTD_DEV_TMP, path, sizeof(path));
    UniqueFd f(wifi_plat().file_open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!f.valid()) {
        printf("=======open WIFI_UPGRADE_MTD_DEV_TMP error==========\n");
        return -1;
    }
    // Streamed from the package in pieces: the part is never copied in memory.
    for (int32_t done = 0; done < len;) {
        printf("============write path[%s] iLeftLen[%d]===================\n", WIFI_UPGRADE_MTD_DEV_TMP, len - done);
        int32_t n = len - done < WIFI_UPG_FLASH_PIECE ? len - done : WIFI_UPG_FLASH_PIECE;
        if (wifi_write_all(f.get(), data + done, (size_t)n) != 0) return -1;
        done += n;
    }
    if (close(f.release()) != 0) return -1;
    printf("============mtd write===================\n");
    int status = 0;
    if (type == WIFI_UPG_MTD_IMAGE) {
        status = wifi_plat().flash_copy(WIFI_UPGRADE_MTD_DEV_TMP, 5);
    } else if (type == WIFI_UPG_MTD_APP) {
        status = wifi_plat().flash_copy(WIFI_UPGRADE_MTD_DEV_TMP, 6);
    } else {
        printf("============unsupport mtd type===================\n");
    }
    if (wifi_plat().file_unlink(path) != 0) return -1;
    // A partition the tool did not write must not be reported as written.
    if (status != 0) {
        UP_ERR("flashcp failed, status %d", status);
        return -1;
    }
    printf("============write flash ok===================\n");
    return 0;
}

// ---- the mark of an upgrade writing flash

// Whether the mark is on /config as far as this process knows: found at start, laid
// by an upgrade, gone once an upgrade's record read back.
static bool s_upg_mark_left;

static void upg_mark_set_left(bool left) { __atomic_store_n(&s_upg_mark_left, left, __ATOMIC_SEQ_CST); }

bool sys_upg_mark_left() { return __atomic_load_n(&s_upg_mark_left, __ATOMIC_SEQ_CST); }

void sys_upg_mark_load() {
    wifi_file_stamp st;
    upg_mark_set_left(wifi_plat().file_stamp(WIFI_UPGRADE_MARK, &st) == 0);
    if (sys_upg_mark_left()) UP_ERR("an upgrade was cut while it wrote flash: send the package again");
}

// On /config, synced, before anything is written; it names the version being written.
static int upg_mark_lay(const struVersionHead *vh) {
    char text[16];
    const int n = snprintf(text, sizeof(text), "V%u.%u\n", vh->raw[2], vh->raw[3]);
    if (wifi_write_file(WIFI_UPGRADE_MARK, WIFI_UPGRADE_MARK_TMP, text, (size_t)n) != 0) {
        UP_ERR("upgrade mark not laid on /config: nothing written");
        return -1;
    }
    upg_mark_set_left(true);
    return 0;
}

static void upg_mark_remove() {
    if (wifi_remove_file(WIFI_UPGRADE_MARK) != 0) {
        UP_ERR("upgrade mark not removed from /config");
        return;
    }
    upg_mark_set_left(false);
}

// ---- processing

namespace {
// The package in memory; released by its one owner, early once the parts are written.
struct pkg_buffer {
    uint8_t *p = nullptr;
    void release() {
        free(p);
        p = nullptr;
    }
    ~pkg_buffer() { release(); }
};
}  // namespace

static int upg_fail(pkg_buffer *buf, heartbeat *h) {
    printf("free(pcFileBuff) start 1111===\n");
    buf->release();
    printf("close quit function=====\n");
    heart_stop(h);
    return -1;
}

int sys_upg_net(const sysUpgParam *param, sys_upg_reader reader) {
    if (param == nullptr || param->iSrcfd < 0 || reader == nullptr) {
        UP_ERR("pUpgParam param error");
        return -1;
    }
    const int fd = param->iSrcfd, len = param->iFileLen;
    printf("sys_upg_net=================iFileLen [%d]\n", len);
    printf("==start read data ====iSrcfd[%d]===iFileLen[%d]======\n", fd, len);
    if (len < 1 || len > WIFI_UPG_MAX_LEN) {
        UP_ERR("pUpgParam param error");
        return -1;
    }
    heartbeat heart;
    pkg_buffer buf;
    buf.p = static_cast<uint8_t *>(malloc((size_t)len));
    if (buf.p == nullptr) {
        UP_ERR("====malloc error ");
        return -1;
    }
    memset(buf.p, 0, (size_t)len);
    if (sys_upg_copy_file_to_buff(reader, fd, buf.p, len) != 0) {
        printf("sys_upg_copy_file_to_buff error\n");
        return upg_fail(&buf, &heart);
    }
    // The whole package is checked before any partition is touched: an image that
    // would not boot is never written.
    // A signature trailer is checked (with the module's keys) and left out: the
    // partitions get the same bytes whether the package was signed or not.
    uint32_t body_len = 0, image_len = 0, app_len = 0;
    if (wifi_up_sign_check(buf.p, (uint32_t)len, &body_len) != 0 ||
        sys_upg_check_package(buf.p, body_len, &image_len, &app_len) != 0)
        return upg_fail(&buf, &heart);

    struVersionHead vh;
    memcpy(vh.raw, buf.p, sizeof(vh.raw));
    const unsigned magic = wifi_version_magic(&vh);
    const uint32_t kernel_len = wifi_version_u32(&vh, 4), recv_app_len = wifi_version_u32(&vh, 12);
    printf("====%d-%d====%x===========\n", vh.raw[2], vh.raw[3], magic);
    printf("app len[%d]\nkerenl len[%d]\n", (int)recv_app_len, (int)kernel_len);
    printf("app11 len[%d]\nkerenl11 len[%d]\n", (int)recv_app_len, (int)kernel_len);
    printf("mageic [%x]\n", ((magic & 0xFF) << 8) | (magic >> 8));
    if (recv_app_len + 7 != app_len || kernel_len - IMAGE_HEAD_LEN != image_len)
        printf("len check failed iAPPLen[%d]iRecvAPPLen[%d],iImageLen[%d]\n", (int)app_len, (int)recv_app_len,
               (int)image_len);
    UP_ERR("len check suc iAPPLen[%d]iRecvAPPLen[%d],iImageLen[%d]", (int)app_len, (int)recv_app_len, (int)image_len);
    const uint8_t *ih = buf.p + 20;
    printf("222ih_magic%x,ih_hcrc[%x],ih_time:[%x],res[%2x],res1[%2x]\n", be32(ih), be32(ih + 4), be32(ih + 8), 0, 0);
    printf("start paran image data iImageLen[%d]=iAPPLen[%d]==\n", (int)image_len, (int)app_len);

    printf("---------66------------wifi_upgrade_proc_heart start g_exit11[%d]\n", 0);
    if (heart_start(&heart, fd) != 0) {
        printf("wifi_upgrade_proc_heart failed\n");
        return upg_fail(&buf, &heart);
    }
    printf("===============no wifi_upgrade_proc_heart end \n");
    if (upg_mark_lay(&vh) != 0 ||
        wifi_upgrade_write_flash(WIFI_UPG_MTD_IMAGE, ih, (int32_t)(IMAGE_HEAD_LEN + image_len)) != 0 ||
        wifi_upgrade_write_flash(WIFI_UPG_MTD_APP, buf.p + WIFI_UPG_HEAD_LEN + image_len, (int32_t)app_len) != 0) {
        printf("writeflash ======error\n");
        return upg_fail(&buf, &heart);
    }
    printf("free(pcFileBuff) start ===\n");
    buf.release();
    printf("free(pcFileBuff) end ===\n");
    printf("wifi upgrade ok====\n");
    wifi_plat().sleep_ms(1000);
    printf("=====wifi_set_firmware_header_info start ==g_exit[%d]=\n", exit_flag(&heart.ctx));
    // Success means the new version is on record and reads back.
    int ret = 0;
    if (wifi_set_firmware_header_info(&vh) != 0) {
        printf("wifi_set_firmware_header_info failed\n");
        ret = -1;
    } else {
        upg_mark_remove();
    }
    heart_stop(&heart);
    return ret;
}

int sys_upgrade(const sysUpgParam *param) {
    if (param == nullptr) return -1;
    printf("======pUpgParam->iSrcfd [%d]\n", param->iSrcfd);
    int ret = sys_upg_net(param, sys_upg_sock_read);
    printf("iret00=========[%d]\n", ret);
    return ret;
}
