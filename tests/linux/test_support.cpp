// The command helpers the kernel-facing tests lean on: time limits, bounded output
// and background processes that are always ended. These need neither root nor a
// namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "linux_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Alive and not merely a zombie waiting for its reaper.
bool pid_alive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) return false;
    std::string stat = wlt::read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
    return stat[paren + 2] != 'Z';
}

TEST(CommandHelpers, RunsAndCapturesBothStreams) {
    wlt::CmdResult r = wlt::run_cmd({"sh", "-c", "echo out; echo err >&2; exit 3"}, 10000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.exit_code(), 3);
    EXPECT_NE(r.output.find("out\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("err\n"), std::string::npos) << r.output;
}

TEST(CommandHelpers, MissingProgramIsReportedNotRun) {
    wlt::CmdResult r = wlt::run_cmd({"wlt-no-such-program"}, 1000);
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(wlt::find_tool("wlt-no-such-program"), "");
}

TEST(CommandHelpers, TimeLimitKillsTheWholeGroup) {
    // The shell's child keeps the output pipe open too; both must go at the limit.
    auto t0 = Clock::now();
    wlt::CmdResult r = wlt::run_cmd({"sh", "-c", "sleep 30 & echo $!; sleep 30"}, 500);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.ok());
    EXPECT_LT(ms_since(t0), 5000);
    pid_t child = (pid_t)atoi(r.output.c_str());
    ASSERT_GT(child, 0) << r.output;
    // The orphaned sleep is reaped by init shortly after the kill.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (pid_alive(child) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(pid_alive(child));
}

TEST(CommandHelpers, OutputIsBoundedWithoutBlockingTheProgram) {
    wlt::CmdResult r =
        wlt::run_cmd({"sh", "-c", "i=0; while [ $i -lt 2000 ]; do echo 0123456789012345678901234567890123456789; "
                                  "i=$((i+1)); done"},
                     20000, 1000);
    EXPECT_TRUE(r.ok()) << r.describe().substr(0, 200);
    EXPECT_EQ(r.output.size(), 1000u);
}

TEST(CommandHelpers, BackgroundProcessIsStoppedWithItsChildren) {
    wlt::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string log = dir.path() + "/bg.log";
    wlt::BackgroundProcess bg;
    // The shell ignores TERM, so stop() has to fall back to KILL after the grace time.
    ASSERT_EQ(bg.start({"sh", "-c", "trap '' TERM; sleep 60 & echo $!; wait"}, log), "");
    pid_t child = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (child <= 0 && Clock::now() < deadline) {
        child = (pid_t)atoi(wlt::read_text(log).c_str());
        if (child <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(bg.running());
    auto t0 = Clock::now();
    int status = bg.stop(300);
    EXPECT_LT(ms_since(t0), 5000);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(bg.running());
    deadline = Clock::now() + std::chrono::seconds(5);
    while (pid_alive(child) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(pid_alive(child));
}

TEST(CommandHelpers, EndedBackgroundProcessIsSeenAsEnded) {
    wlt::TempDir dir;
    ASSERT_TRUE(dir.ok());
    wlt::BackgroundProcess bg;
    ASSERT_EQ(bg.start({"sh", "-c", "exit 4"}, dir.path() + "/bg.log"), "");
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (bg.running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(bg.running());
    EXPECT_TRUE(WIFEXITED(bg.wait_status()));
    EXPECT_EQ(WEXITSTATUS(bg.wait_status()), 4);
    bg.stop();  // nothing left to end; must not signal anyone
}

}  // namespace
