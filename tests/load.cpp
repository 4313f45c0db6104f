// Many clients at once: every answer whole, nothing left behind, no descriptor leaked.
#include "harness.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

struct Load : testing::Test {
    Tree tree;
    std::string small = noise(64 << 10, 1);
    std::string large = noise(1 << 20, 2);
    std::unique_ptr<Server> server;
    int before = 0;
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
        // The listen queue holds ten: 200 connections at the same instant would mostly be
        // dropped and retried seconds later, so they arrive over a fifth of a second.
        std::this_thread::sleep_for(i * 1ms);
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
    // Opened a few at a time: the listen queue holds only ten, and a connection it has no
    // room for waits a second for the client to try again.
    std::vector<int> idle;
    while (idle.size() < 300) {
        for (int i = 0; i < 8; ++i) {
            idle.push_back(dial());
            ASSERT_GE(idle.back(), 0);
        }
        ASSERT_TRUE(eventually([&] { return children(server->pid).size() == idle.size(); }, 20s));
    }
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
