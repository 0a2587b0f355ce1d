// Start-up: the banner, the two link threads, then the main thread sleeps for ever.
#pragma once

int wifi_daemon_main();
