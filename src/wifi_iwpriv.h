// The wireless driver's requests on ra0.
#pragma once

int iwconfig_get_current_channel(char *out, unsigned size);
