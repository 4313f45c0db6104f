// SPDX-License-Identifier: MIT
// Many clients at once: every answer whole, nothing left behind, no descriptor leaked.
#include "harness.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

const std::string ok = "HTTP/1.0 200 OK\r\n\r\n";

// A request as a browser sends it, about 600 bytes of header lines.
std::string browser(const std::string &path)
{
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n";
    while (request.size() < 600)
        request += "X-Browser-Header: " + std::string(40, 'b') + "\r\n";
    return request + "\r\n";
}

// Connection attempts the kernel dropped because the listen queue was full, from the
// TcpExt lines of /proc/net/netstat: a header line of names, then one of values.
long overflows()
{
    std::istringstream netstat(slurp("/proc/net/netstat"));
    for (std::string names, values; std::getline(netstat, names) && std::getline(netstat, values);) {
        std::istringstream name(names), value(values);
        std::string word;
        long number = 0;
        while (name >> word && value >> number)
            if (word == "ListenOverflows")
                return number;
    }
    return -1;
}

struct Load : testing::Test {
    Tree tree;
    std::string small = noise(64 << 10, 1);
    std::string large = noise(1 << 20, 2);
    std::unique_ptr<Server> server;
    int before = 0;
    long overflowed = overflows();
    void SetUp() override
    {
        tree.file("small.bin", small);
        tree.file("large.bin", large);
        tree.file("huge.bin", noise(32 << 20, 3));
        server = std::make_unique<Server>(tree);
        before = descriptors(server->pid);
    }
    void TearDown() override
    {
        EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }, 10s)) << "children left";
        EXPECT_EQ(descriptors(server->pid), before) << "the server leaks descriptors";
        EXPECT_EQ(overflows(), overflowed) << "the listen queue overflowed";
        EXPECT_EQ(server->err(), "");
    }
    // Runs body(i) for i in [0, count) on as many threads at once.
    static void together(int count, const std::function<void(int)> &body)
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back(body, i);
        for (auto &thread : threads)
            thread.join();
    }
};

TEST_F(Load, ConcurrentClientsGetWholeAnswers)
{
    std::atomic<int> lost = 0, reset = 0;
    together(200, [&](int i) {
        const std::string &body = i % 2 ? large : small;
        Reply reply =
            fetch(std::vector<std::string>{browser(i % 2 ? "/large.bin" : "/small.bin")}, 0ms, 120s);
        if (reply.bytes != ok + body)
            ADD_FAILURE() << "client " << i << ": " << reply.bytes.size() << " of " << ok.size() + body.size()
                          << " bytes" << (reply.timed_out ? ", timed out" : "")
                          << (reply.reset ? ", reset" : "");
        lost += reply.bytes != ok + body;
        reset += reply.reset;
    });
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(reset, 0);
}

TEST_F(Load, IdleConnectionsDelayNoOne)
{
    // A burst: a thousand connections as fast as the client can open them.
    std::vector<int> idle;
    while (idle.size() < 1000) {
        idle.push_back(dial());
        ASSERT_GE(idle.back(), 0);
    }
    ASSERT_TRUE(eventually([&] { return children(server->pid).size() == idle.size(); }, 20s));
    std::atomic<int> lost = 0;
    together(100, [&](int) {
        lost += fetch(std::vector<std::string>{browser("/small.bin")}, 0ms, 20s).bytes != ok + small;
    });
    EXPECT_EQ(lost, 0);
    for (int fd : idle)
        close(fd);
}

TEST_F(Load, ClientsVanishingMidTransfer)
{
    together(50, [&](int i) {
        int fd = dial();
        ASSERT_GE(fd, 0);
        send_all(fd, browser("/huge.bin"));
        char some[65536];
        ASSERT_GT(recv(fd, some, sizeof some, 0), 0);
        if (i % 2) { // half of them crash, half just close
            linger hard = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(fd);
    });
    EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }, 10s));
    EXPECT_EQ(fetch(browser("/small.bin")).bytes, ok + small);
}

} // namespace
