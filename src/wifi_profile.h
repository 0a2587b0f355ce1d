// The wireless profile store: Key=Value lines of /config/mt7628.dat.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "wifi_rewrite.h"

#define WIFI_PROFILE_PATH "/config/mt7628.dat"
#define WIFI_PROFILE_TMP_PATH "/config/mt7628_tmp.dat"

int wifi_set_profile_value(const char *key, const char *value);
// Writes several keys in one rewrite: the file becomes what writing them one after
// the other would make it, or stays as it was.
int wifi_set_profile_values(const wifi_kv *kv, size_t n);
int wifi_get_profile_value(const char *key, char *out, int32_t out_size);
