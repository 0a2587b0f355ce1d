// The serial port: /dev/ttyS0, 115200 8N1, raw, reads that never wait.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "unique_fd.h"

#define WIFI_UART_DEV "/dev/ttyS0"

// The open port; not valid while it is not open.
extern UniqueFd g_uart_fd;
// Sets the port up and keeps it open in g_uart_fd (not valid when it cannot be opened); 0.
int wifi_uart_open();
// Gives the port its line settings and closes it again: 0, or -1 (not opened, or its
// settings could not be read or applied).
int wifi_uart_init();
// Opens the port; while it cannot be opened, tries again every second.
void wifi_uart_open_wait();
// Both 0, or -1 with a line saying why when the settings could not be read, the
// values are not supported or the port refused them; the port then keeps its own.
int wifi_uart_set_speed(int fd, int rate);
int wifi_uart_set_parity(int fd, int databits, int stopbits, int parity);
int wifi_uart_write(const uint8_t *buf, size_t len);
// Reads what is waiting, up to len bytes: the count, or -1 (nothing waiting, error),
// or -22 (no port).
int wifi_uart_read(uint8_t *buf, size_t len);
uint8_t wifi_uart_checksum(const uint8_t *buf, size_t len);
