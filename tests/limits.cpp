// SPDX-License-Identifier: MIT
// Clients that stall, and a server out of descriptors: nothing is held for ever, nothing spins.
#include "harness.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <thread>

namespace {

const std::string ok = "HTTP/1.0 200 OK\r\n\r\n";

// Whether the server still holds the client's connection open.
bool established(int fd)
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_ESTABLISHED;
}

// A client that never completes its request line, one that sends it a byte every two
// seconds, and one that stops taking the answer are each dropped once their time is up:
// 30 s after they connected, or after the last byte taken. Their children exit 0 and
// write nothing more.
TEST(Limits, StalledClientsAreDropped)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    Tree tree;
    tree.file("index.html", "hello\n");
    tree.file("huge.bin", noise(64 << 20, 1));
    std::string trace = tree.base + "/strace";
    Server tracer(tree, traced(trace));
    ASSERT_EQ(children(tracer.pid).size(), 1u);
    pid_t server = children(tracer.pid)[0];
    int silent = dial();
    int partial = dial();
    int dribbler = dial();
    int stalled = dial();
    ASSERT_GE(silent, 0);
    ASSERT_GE(partial, 0);
    ASSERT_GE(dribbler, 0);
    ASSERT_GE(stalled, 0);
    send_all(partial, "GET /index.html"); // the path may go on: the line is not complete
    int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    send_all(stalled, "GET /huge.bin HTTP/1.0\r\n\r\n");
    auto begun = std::chrono::steady_clock::now();
    std::thread dribble([&] {
        send_all(dribbler, "GET /");
        while (std::chrono::steady_clock::now() - begun < 45s && established(dribbler)) {
            std::this_thread::sleep_for(2s);
            send_all(dribbler, "a");
        }
    });
    ASSERT_TRUE(eventually([&] { return children(server).size() == 4; }));
    // Meanwhile everyone else is served.
    EXPECT_EQ(fetch("GET /index.html HTTP/1.0\r\n\r\n").bytes, ok + "hello\n");
    // Every line so far: five children, and the answers of the stalled client and this one.
    ASSERT_TRUE(eventually([&] {
        std::string out = tracer.out();
        return occurrences(out, "AW\n") == 5 && out.find("huge.bin\n") != std::string::npos &&
               out.find("index.html\n") != std::string::npos;
    }));
    std::string before = tracer.out();
    std::map<int, std::chrono::steady_clock::duration> held;
    eventually(
        [&] {
            for (int fd : {silent, partial, dribbler, stalled})
                if (!held.count(fd) && !established(fd))
                    held[fd] = std::chrono::steady_clock::now() - begun;
            return held.size() == 4;
        },
        60s);
    dribble.join();
    const std::map<int, const char *> names = {
        {silent, "silent"}, {partial, "partial"}, {dribbler, "dribbler"}, {stalled, "stalled"}};
    for (auto [fd, name] : names) {
        EXPECT_TRUE(held.count(fd)) << name << " was never dropped";
        EXPECT_GE(held[fd], 29s) << name << " was dropped before the time limit";
    }
    EXPECT_TRUE(eventually([&] { return children(server).empty(); }));
    EXPECT_EQ(drain(silent, 5s).bytes, "");
    EXPECT_EQ(drain(partial, 5s).bytes, "");
    // The close marks the end of an answer: one cut short ends with a reset instead.
    Reply cut = drain(stalled, 5s);
    EXPECT_TRUE(cut.reset);
    EXPECT_LT(cut.bytes.size(), ok.size() + (64u << 20));
    EXPECT_EQ(tracer.out(), before);
    EXPECT_EQ(tracer.err(), "");
    // Five children, and the one the server makes at start to learn whether the kernel reaps.
    EXPECT_EQ(occurrences(slurp(trace), "+++ exited with 0 +++"), 6) << slurp(trace);
    for (int fd : {silent, partial, dribbler, stalled})
        close(fd);
}

// Out of descriptors, accept fails over and over: each failure is reported once after a
// pause instead of spinning, and the waiting client is served once descriptors are back.
TEST(Limits, AcceptFailingForWantOfDescriptorsPauses)
{
    Tree tree;
    tree.file("index.html", "hello\n");
    Server server(tree);
    std::string before;
    ASSERT_TRUE(limit(server.pid, "--nofile --raw --noheadings -o SOFT,HARD", &before));
    std::string hard = before.substr(before.find(' ') + 1, before.find('\n') - before.find(' ') - 1);
    // The lowest free descriptor number is the limit that leaves accept none; only the
    // soft limit is lowered, since raising it again then needs no privilege.
    rlim_t lowest = 0;
    while (access(("/proc/" + std::to_string(server.pid) + "/fd/" + std::to_string(lowest)).c_str(), F_OK) ==
           0)
        ++lowest;
    ASSERT_TRUE(limit(server.pid, "--nofile=" + std::to_string(lowest) + ":" + hard));
    int fd = dial();
    ASSERT_GE(fd, 0);
    send_all(fd, "GET /index.html HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return occurrences(server.err(), "[main:82:accept]") >= 2; }));
    ASSERT_TRUE(limit(server.pid, "--nofile=" + before.substr(0, before.find(' ')) + ":" + hard));
    EXPECT_EQ(drain(fd).bytes, ok + "hello\n");
    close(fd);
    std::string line = error_line(server.err(), "[main:82:accept]", EMFILE);
    ASSERT_NE(line, "") << server.err();
    int failures = occurrences(server.err(), line);
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 30) << "accept failures are not paused";
    EXPECT_EQ(server.err().size(), failures * line.size());
    EXPECT_EQ(occurrences(server.out(), "wow\n"), failures + 1);
}

} // namespace
