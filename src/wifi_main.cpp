// Start-up: banner, the two link threads, then the main thread sleeps for ever.
#include <pthread.h>
#include <stdio.h>

#include "wifi_fw_header.h"
#include "wifi_platform.h"
#include "wifi_main.h"
#include "wifi_uart_link.h"
#include "wifi_up_proc.h"
#include "wifi_udp_link.h"

int wifi_daemon_main() {
    printf("===========wlinkcmd start!!!===========================\n");
    // The daemon may have been killed in the middle of a version record write.
    wifi_firmware_header_recover();
    sys_upg_mark_load();
    pthread_t uart_tid, udp_tid;
    if (pthread_create(&uart_tid, nullptr, wifi_uart_comm_task, nullptr) != 0) {
        printf("===========pthread_create uart error!!!===========================\n");
        return -1;
    }
    if (pthread_create(&udp_tid, nullptr, wifi_udp_comm_task, nullptr) != 0) {
        printf("===========pthread_create uart error!!!===========================\n");
        return -1;
    }
    for (;;) wifi_plat().sleep_ms(10 * 1000);
}
