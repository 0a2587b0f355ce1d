// The serial port: /dev/ttyS0, 115200 8N1, raw, reads that never wait.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WIFI_UART_DEV "/dev/ttyS0"

extern int g_uart_fd;
int wifi_uart_open();
int wifi_uart_init();
// Opens the port; while it cannot be opened, tries again every second.
void wifi_uart_open_wait();
int wifi_uart_set_speed(int fd, int rate);
int wifi_uart_set_parity(int fd, int databits, int stopbits, int parity);
int wifi_uart_write(const uint8_t *buf, size_t len);
// Reads what is waiting, up to len bytes: the count, or -1 (nothing waiting, error),
// or -22 (no port).
int wifi_uart_read(uint8_t *buf, size_t len);
uint8_t wifi_uart_checksum(const uint8_t *buf, size_t len);
