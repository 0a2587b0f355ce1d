/* A recorder's use of libwlink: open the module's serial line, read the
 * network name, and upgrade the module from a package file.
 *
 *   cc wlink_example.c $(pkg-config --cflags --libs wlink) -o wlink_example
 *   (or examples/CMakeLists.txt: find_package(wlink 2), target wlink::wlink)
 *   ./wlink_example /dev/ttyUSB0 192.168.1.1 firmware.pkg [UPGRADE_PORT]
 */
#include <stdio.h>
#include <stdlib.h>
#include <wlink.h>

/* A non-zero return would stop the upgrade. */
static int progress(void *ctx, size_t sent, size_t total) {
    (void)ctx;
    if (sent == total) printf("package sent: %zu bytes\n", total);
    return 0;
}

static int heartbeat(void *ctx, int value, int count) {
    (void)value;
    *(int *)ctx = count;
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s SERIAL_DEVICE MODULE_ADDRESS PACKAGE [UPGRADE_PORT]\n", argv[0]);
        return 2;
    }
    wlink_link *link;
    wlink_status st = wlink_open_serial(argv[1], &link);
    if (st != WLINK_OK) {
        fprintf(stderr, "%s: %s (%s)\n", argv[1], wlink_status_text(st), wlink_last_error(NULL));
        return 1;
    }
    char ssid[64];
    st = wlink_get(link, WLINK_SSID, ssid, sizeof ssid);
    if (st == WLINK_OK) printf("SSID: %s\n", ssid);

    int beats = 0;
    wlink_upgrade_options up;
    wlink_upgrade_options_init(&up);
    up.host = argv[2];
    up.port = argc > 4 ? (uint16_t)atoi(argv[4]) : 0;
    up.progress = progress;
    up.heartbeat = heartbeat;
    up.ctx = &beats;
    if (st == WLINK_OK) st = wlink_upgrade_file(link, argv[3], &up);
    if (st == WLINK_OK)
        printf("upgraded after %d heartbeats\n", beats);
    else
        fprintf(stderr, "failed: %s (%s)\n", wlink_status_name(st), wlink_last_error(link));
    wlink_close(link);
    return st == WLINK_OK ? 0 : 1;
}
