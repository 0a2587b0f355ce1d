#include "wifi_platform.h"

#include <string.h>

static wifi_platform *s_platform;

wifi_platform &wifi_plat() {
    if (!s_platform) s_platform = wifi_platform_target();
    return *s_platform;
}

void wifi_platform_set(wifi_platform *p) { s_platform = p; }

const char *wifi_path(const char *module_path, char *buf, size_t size) {
    if (size == 0) return "";
    if (wifi_plat().map_path(module_path, buf, size) != 0) buf[0] = '\0';
    return buf;
}

