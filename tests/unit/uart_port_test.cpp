// Serial port settings, on a pseudo-terminal standing in for /dev/ttyS0. A
// pseudo-terminal always keeps eight data bits and no parity generation, so only
// the other settings are looked at here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "unit_helpers.h"

namespace {

class UartPort : public ::testing::Test {
protected:
    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        name_ = name;
    }
    void TearDown() override {
        if (g_uart_fd >= 0 && g_uart_fd != slave_) close(g_uart_fd);
        g_uart_fd = -1;
        close(slave_);
        close(master_);
    }
    termios attrs() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    // A cooked line: canonical, echo, output processing, CR translation, two stop
    // bits, odd parity checked on input.
    void make_cooked() {
        termios t = attrs();
        t.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST;
        t.c_cflag |= CSTOPB | PARODD;
        t.c_cflag &= ~(tcflag_t)CLOCAL;
        t.c_iflag |= INPCK;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        cfsetospeed(&t, B9600);
        cfsetispeed(&t, B9600);
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    }
    speed_t out_speed() const {
        termios t = attrs();
        return cfgetospeed(&t);
    }
    speed_t in_speed() const {
        termios t = attrs();
        return cfgetispeed(&t);
    }
    static bool same(const termios &a, const termios &b) {
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
               a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
    }
    static bool raw(const termios &t) {
        return (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) && !(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG)) &&
               !(t.c_iflag & (IXON | IXOFF | IXANY)) && !(t.c_oflag & OPOST);
    }

    FakePlatformScope plat_;
    int master_ = -1, slave_ = -1;
    std::string name_;
};

}  // namespace

TEST_F(UartPort, SpeedFromTheRateTable) {
    make_cooked();
    EXPECT_EQ(wifi_uart_set_speed(slave_, 115200), 1);
    EXPECT_EQ(out_speed(), (speed_t)B115200);
    EXPECT_EQ(wifi_uart_set_speed(slave_, 300), 1);
    EXPECT_EQ(in_speed(), (speed_t)B300);
    EXPECT_EQ(wifi_uart_set_speed(slave_, 12345), 1);  // not in the table: left as it was
    EXPECT_EQ(out_speed(), (speed_t)B300);
}

TEST_F(UartPort, EightDataBitsSpaceParityIsRaw) {
    make_cooked();
    EXPECT_EQ(wifi_uart_set_parity(slave_, 8, 1, 'S'), 0);
    termios t = attrs();
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(raw(t));
    EXPECT_FALSE(t.c_iflag & ICRNL);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(UartPort, ParityLetters) {
    const struct {
        int letter;
        tcflag_t cflag_set, cflag_clear, iflag_set, iflag_clear;
        bool raw;
    } cases[] = {
        {'N', 0, 0, 0, INPCK, true},          {'n', 0, 0, 0, INPCK, false},
        {'O', PARODD, 0, INPCK, 0, true},     {'o', PARODD, 0, INPCK, 0, true},
        {'E', 0, PARODD, INPCK, 0, true},     {'e', 0, PARODD, INPCK, 0, true},
        {'S', PARODD, 0, INPCK, 0, true},     {'s', PARODD, 0, INPCK, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((char)c.letter);
        make_cooked();
        EXPECT_EQ(wifi_uart_set_parity(slave_, 8, 1, c.letter), 0);
        termios t = attrs();
        EXPECT_EQ(t.c_cflag & c.cflag_set, c.cflag_set);
        EXPECT_EQ(t.c_cflag & c.cflag_clear, 0u);
        EXPECT_EQ(t.c_iflag & c.iflag_set, c.iflag_set);
        EXPECT_EQ(t.c_iflag & c.iflag_clear, 0u);
        EXPECT_FALSE(t.c_cflag & CSTOPB);
        EXPECT_FALSE(t.c_iflag & ICRNL);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_EQ(raw(t), c.raw);
        if (!c.raw) {
            // lower-case n keeps the line's own local, flow-control and output modes
            EXPECT_TRUE(t.c_lflag & ICANON);
            EXPECT_TRUE(t.c_iflag & IXON);
            EXPECT_TRUE(t.c_oflag & OPOST);
            EXPECT_FALSE(t.c_cflag & CLOCAL);
        }
    }
    make_cooked();
    EXPECT_EQ(wifi_uart_set_parity(slave_, 7, 2, 'S'), 0);
    EXPECT_TRUE(attrs().c_cflag & CSTOPB);
}

TEST_F(UartPort, UnsupportedSettingsChangeNothing) {
    const struct {
        int data, stop, parity;
    } cases[] = {{9, 1, 'S'}, {5, 1, 'N'}, {8, 1, 'x'}, {8, 3, 'N'}, {8, 0, 'E'}};
    for (const auto &c : cases) {
        make_cooked();
        termios before = attrs();
        EXPECT_EQ(wifi_uart_set_parity(slave_, c.data, c.stop, c.parity), 0);
        EXPECT_TRUE(same(before, attrs())) << c.data << " " << c.stop << " " << (char)c.parity;
    }
}

TEST_F(UartPort, OpenConfiguresAndKeepsTheDevice) {
    make_cooked();
    std::filesystem::create_directories(plat_->path("/dev"));
    std::filesystem::create_symlink(name_, plat_->path(WIFI_UART_DEV));
    EXPECT_EQ(wifi_uart_open(), 0);
    ASSERT_GE(g_uart_fd, 0);
    EXPECT_NE(fcntl(g_uart_fd, F_GETFL) & O_NONBLOCK, 0);
    termios t = attrs();  // set during the first open, still in force
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_TRUE(raw(t));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
}

TEST_F(UartPort, MissingDevice) {
    EXPECT_EQ(wifi_uart_init(), -1);
    EXPECT_EQ(g_uart_fd, -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wifi_uart_open(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("====open /dev/ttyS0 failed!!!==============\n"),
              std::string::npos);
    EXPECT_EQ(g_uart_fd, -1);
}
