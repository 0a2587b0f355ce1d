// A bare UDP echo for the virtual module: every datagram to port 7 goes back to its
// sender as it came. The board figures compare the daemon's round trips with it.
#include <netinet/in.h>
#include <sys/socket.h>

int main(void) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons(7);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0) return 1;
    for (;;) {
        char buf[1500];
        struct sockaddr_in from;
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (struct sockaddr *)&from, &len);
        if (n >= 0) sendto(fd, buf, (size_t)n, 0, (struct sockaddr *)&from, len);
    }
}
