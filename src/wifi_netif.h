// Interface control: IPv4 address and netmask, up and down.
#pragma once

#include <stdint.h>

int wifi_set_if_addr(const char *name, const uint32_t *addr, const uint32_t *mask);
int wifi_set_if_flags(const char *name, const char *flag);
