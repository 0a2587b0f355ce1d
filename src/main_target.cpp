// wlinkcmd: the control daemon of the module. It takes no options.
#include <stdio.h>

#include "wifi_platform.h"
#include "wifi_main.h"

int main(int argc, char **argv) {
    (void)argc;
    (void)argv;
    setvbuf(stdout, nullptr, _IOFBF, 16384);  // written out before every wait
    wifi_platform_set(wifi_platform_target());
    return wifi_daemon_main();
}
