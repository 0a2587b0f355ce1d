// Stands in for the daemon where the real one must not run (it would take the machine's
// serial port and port 8888): a process of the same name that lives until killed.
#include <unistd.h>

int main() {
    for (;;) pause();
}
