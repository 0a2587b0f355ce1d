// The serial command link: commands and replies cut into 16-byte frames.
#pragma once

#include <stddef.h>
#include <stdint.h>

void *wifi_uart_comm_task(void *arg);
// One whole command into buf (128 bytes): 0 and its length, or -1 when twenty reads
// in a row brought no good frame. Bytes read past the command stay for the next.
int wifi_uart_recv_msg(char *buf, int32_t *len);
void wifi_uart_send_msg(const char *text, size_t len);
// Forgets the bytes and the partial message the link holds (a new line).
void wifi_uart_link_reset();
