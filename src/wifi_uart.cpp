// The serial port: /dev/ttyS0, 115200 8N1, raw, reads that never wait.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "wifi_platform.h"
#include "wifi_frame.h"
#include "wifi_uart.h"
#include "wifi_util.h"

UniqueFd g_uart_fd;

struct wifi_uart_rate {
    int rate;
    speed_t code;
};

static const wifi_uart_rate wifi_uart_rate_table[] = {
    {115200, B115200}, {57600, B57600}, {38400, B38400}, {19200, B19200}, {9600, B9600},
    {4800, B4800},     {2400, B2400},   {1200, B1200},   {300, B300},
};

int wifi_uart_set_speed(int fd, int rate) {
    struct termios opt;
    // Settings that could not be read are never written back: the port keeps its own.
    if (tcgetattr(fd, &opt) != 0) {
        printf("tcgetattr failed, speed not set!\n");
        return -1;
    }
    for (const wifi_uart_rate &r : wifi_uart_rate_table) {
        if (r.rate != rate) continue;
        tcflush(fd, TCIOFLUSH);
        cfsetispeed(&opt, r.code);
        cfsetospeed(&opt, r.code);
        if (tcsetattr(fd, TCSANOW, &opt) != 0) {
            printf("tcsetattr failed!\n");
            return -1;
        }
        tcflush(fd, TCIOFLUSH);
        return 0;
    }
    printf("unsupported speed %d, speed not set!\n", rate);
    return -1;
}

int wifi_uart_set_parity(int fd, int databits, int stopbits, int parity) {
    struct termios opt;
    if (tcgetattr(fd, &opt) != 0) {
        printf("Setup Serial 1 error!\n");
        return -1;
    }
    opt.c_cflag &= ~(tcflag_t)CSIZE;
    switch (databits) {
        case 7:
            opt.c_cflag |= CS7;
            break;
        case 8:
            opt.c_cflag |= CS8;
            break;
        default:
            printf("Unsupported data size!/n\n");
            return -1;
    }
    switch (parity) {
        case 'n':
        case 'N':
            opt.c_cflag &= ~(tcflag_t)PARENB;
            opt.c_iflag &= ~(tcflag_t)INPCK;
            break;
        case 'o':
        case 'O':
            opt.c_cflag |= (PARODD | PARENB);
            opt.c_iflag |= INPCK;
            break;
        case 'e':
        case 'E':
            opt.c_cflag |= PARENB;
            opt.c_cflag &= ~(tcflag_t)PARODD;
            opt.c_iflag |= INPCK;
            break;
        case 's':
        case 'S':
            opt.c_cflag &= ~(tcflag_t)PARENB;
            opt.c_cflag &= ~(tcflag_t)CSTOPB;
            break;
        default:
            printf("Unsupported parity!/n\n");
            return -1;
    }
    switch (stopbits) {
        case 1:
            opt.c_cflag &= ~(tcflag_t)CSTOPB;
            break;
        case 2:
            opt.c_cflag |= CSTOPB;
            break;
        default:
            printf("Unsupported stop bits!/n\n");
            return -1;
    }
    if (parity != 'n') {
        opt.c_cflag |= (CLOCAL | CREAD);
        opt.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ISIG);
        opt.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
        opt.c_oflag &= ~(tcflag_t)OPOST;
    }
    opt.c_iflag &= ~(tcflag_t)ICRNL;
    opt.c_cc[VTIME] = 0;
    opt.c_cc[VMIN] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        printf("Setup Serial error!\n");
        return -1;
    }
    return 0;
}

static int uart_open_dev() {
    char path[256];
    return open(wifi_path(WIFI_UART_DEV, path, sizeof(path)), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Opens the port to give it its line settings, which stay with the device, and
// closes it again; -1, and the port keeps its own settings, when they cannot be read
// or applied. The messages are left out when `quiet`.
static int uart_init(bool quiet) {
    UniqueFd fd(uart_open_dev());
    if (!fd.valid()) {
        if (!quiet) printf("Can't Open Serial Port!\n");
        return -1;
    }
    if (wifi_uart_set_speed(fd.get(), 115200) != 0 || wifi_uart_set_parity(fd.get(), 8, 1, 'S') != 0) {
        if (!quiet) printf("====%s line settings not applied==============\n", WIFI_UART_DEV);
        return -1;
    }
    return 0;
}

int wifi_uart_init() { return uart_init(false); }

// Sets the port up and opens it for good; the descriptor, or -1.
static int uart_setup(bool quiet) {
    uart_init(quiet);
    g_uart_fd.reset(uart_open_dev());
    if (!g_uart_fd.valid() && !quiet) printf("====open %s failed!!!==============\n", WIFI_UART_DEV);
    return g_uart_fd.get();
}

int wifi_uart_open() {
    uart_setup(false);
    return 0;
}

void wifi_uart_open_wait() {
    wifi_uart_open();
    if (g_uart_fd.valid()) return;
    // The device may come later (a driver loaded after us): one line, then quiet tries.
    printf("====%s not open, trying again every second==============\n", WIFI_UART_DEV);
    while (uart_setup(true) < 0) wifi_plat().sleep_ms(1000);
    printf("====open %s suc==============\n", WIFI_UART_DEV);
}

int wifi_uart_write(const uint8_t *buf, size_t len) {
    if (!g_uart_fd.valid()) {
        printf("fd uart dev error!\n");
        return -EINVAL;
    }
    ssize_t n = write(g_uart_fd.get(), buf, len);
    if (n < 0) {
        printf("UART_WRITE error, errno: %d!\n", errno);
        return (int)n;
    }
    return 0;
}

int wifi_uart_read(uint8_t *buf, size_t len) {
    if (!g_uart_fd.valid()) {
        printf("fd error!\n");
        return -EINVAL;
    }
    ssize_t n = read(g_uart_fd.get(), buf, len);
    if (n < 0) {
        printf("UART RDWR err\n");
        return -1;
    }
    return (int)n;
}

uint8_t wifi_uart_checksum(const uint8_t *buf, size_t len) { return wifi_frame_sum(buf, len); }
