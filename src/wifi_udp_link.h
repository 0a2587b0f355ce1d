// The UDP command link.
//   command: 55 44 33 22, 3 bytes, seq, 1 byte, length L, L bytes, checksum
//   reply:   66 77 78 79, "seq", seq, ",", length n, n bytes, checksum
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { WIFI_UDP_BUF_SIZE = 256, WIFI_UDP_MAX_REPLY = WIFI_UDP_BUF_SIZE - 11, WIFI_UDP_SRC_IP_SIZE = 32 };

void *wifi_udp_comm_task(void *arg);
// Creates and binds the link's socket; its descriptor, or -1.
int wifi_udp_open();
int wifi_udp_recv_msg(char *buf, int32_t size);
int qel_data_boot_send_udp(const char *text, int32_t len);
uint8_t wifi_udp_checksum(const uint8_t *buf, size_t len);

// Parses one command datagram of n bytes (at most 256). On success copies the
// payload (NUL-terminated) into `payload` (256 bytes) and returns 0; returns -1 for
// a wrong magic, a datagram shorter than its length byte says, a length the link
// cannot hold or a wrong checksum. *seq is set once the magic and length are good.
int wifi_udp_parse_cmd(const uint8_t *dgram, size_t n, int32_t *seq, char *payload);
// Builds a reply datagram into `out` (256 bytes); returns its length.
size_t wifi_udp_build_reply(int32_t seq, const char *text, uint8_t *out);

// The peer UDP commands are accepted from, set by "AT+UIP=" (cut to 31 characters).
int wifi_get_udp_src_ipaddr(char *buf, int32_t size);
void wifi_set_udp_src_ipaddr(const char *ip);
void wifi_read_udp_src_ipaddr(char *buf, size_t size);
