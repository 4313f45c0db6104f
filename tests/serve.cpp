// SPDX-License-Identifier: MIT
// What a client sees on the socket and what the server writes, request by request.
#include "harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

const std::string index_html = "<!doctype html><title>sever</title><h1>hello</h1>\n";
const std::string ok = "HTTP/1.0 200 OK\r\n\r\n";
const std::string forbidden = "HTTP/1.0 403 Forbidden\r\n\r\n";
const std::string not_found = "HTTP/1.0 404 Not Found\r\n\r\n";
const std::string start = "Listen\nGG\n";
const std::string child = "wow\nAW\n";

std::string get(const std::string &path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: x\r\n\r\n";
}

// A document root with a file of each kind a request can meet, and a secret beside it.
struct Fixture : testing::Test {
    Tree tree;
    std::string binary = noise(300 * 1024, 7);
    std::string lines = std::string(249, 'l') + "\n" + std::string(100000, 'm') + "\nend";
    void SetUp() override
    {
        tree.file("index.html", index_html);
        tree.file("empty", "");
        tree.file("binary.bin", binary);
        tree.file("long.txt", lines);
        tree.file("dir/inner.txt", "inner\n");
        tree.file("a.html?x=1", "query\n");
        tree.file("a%20b.html", "percent\n");
        std::ofstream(tree.base + "/secret.txt") << "secret\n";
        fs::create_symlink("index.html", tree.root + "/link");
        fs::create_symlink("../out", tree.root + "/output");
        ASSERT_EQ(mkfifo((tree.root + "/fifo").c_str(), 0644), 0);
    }
    void TearDown() override
    {
        if (!expect_errors && server) {
            EXPECT_EQ(server->err(), "");
        }
    }
    std::unique_ptr<Server> server;
    bool expect_errors = false;
    void start_server(const Launch &launch = {}) { server = std::make_unique<Server>(tree, launch); }
};

struct Case {
    const char *name;
    std::string request;
    std::string status; // empty: no answer at all
    std::string body;
    std::string trace; // what the child adds to standard output after "AW"
};

// Requests that each get one answer, checked byte for byte with the trace they leave.
TEST_F(Fixture, AnswersRequestsByteForByte)
{
    // A writer waits on the FIFO for a reader; the server must not be the one.
    pid_t writer = fork();
    if (writer == 0)
        _exit(open((tree.root + "/fifo").c_str(), O_WRONLY) < 0 ? 1 : 0);
    std::string syscall = "/proc/" + std::to_string(writer) + "/syscall";
    auto waiting = [&] { return slurp(syscall).rfind(std::to_string(SYS_openat) + " ", 0) == 0; };
    ASSERT_TRUE(eventually(waiting));
    // As root, the kernel's own file systems mounted in the folder, for the server alone.
    bool mounted =
        is_root() && fs::create_directory(tree.root + "/proc") && fs::create_directory(tree.root + "/sys");
    std::string mount = "mount -t proc proc proc && mount -t sysfs sysfs sys && exec \"$@\"";
    start_server(mounted ? Launch{.wrapper = {"unshare", "-m", "sh", "-c", mount, "sh"}} : Launch{});
    std::string deep;
    while (deep.size() < 3900)
        deep += "./";
    deep += "index.html";
    std::string secret = tree.base + "/secret.txt";
    const std::vector<Case> cases = {
        {"file", get("/index.html"), ok, index_html, echo200 + "index.html\n"},
        {"no leading slash", get("index.html"), ok, index_html, echo200 + "index.html\n"},
        {"spaces around tokens", "   GET    /index.html   HTTP/1.0\r\n\r\n", ok, index_html,
         echo200 + "index.html\n"},
        {"root is the empty path", get("/"), not_found, "", echo404},
        {"missing file", get("/nope.html"), not_found, "", echo404},
        {"no path token", "GET   ", not_found, "", echo404},
        {"text ends at a NUL", std::string("GET /index.html\0 junk", 21), ok, index_html,
         echo200 + "index.html\n"},
        {"query is part of the name", get("/a.html?x=1"), ok, "query\n", echo200 + "a.html?x=1\n"},
        {"no percent decoding", get("/a%20b.html"), ok, "percent\n", echo200 + "a%20b.html\n"},
        {"line end belongs to a path without version", "GET /index.html\r\n\r\n", not_found, "", echo404},
        {"empty file", get("/empty"), ok, "", echo200 + "empty\n"},
        {"binary with NUL bytes", get("/binary.bin"), ok, binary, echo200 + "binary.bin\n"},
        {"lines longer than any chunk", get("/long.txt"), ok, lines, echo200 + "long.txt\n"},
        {"file in a folder", get("/dir/inner.txt"), ok, "inner\n", echo200 + "dir/inner.txt\n"},
        {"symbolic link in the tree", get("/link"), ok, index_html, echo200 + "link\n"},
        {"long path within the limit", get("/" + deep), ok, index_html, echo200 + deep + "\n"},
        {"directory", get("/dir"), forbidden, "", ""},
        {"directory with slash", get("/dir/"), forbidden, "", ""},
        {"fifo", get("/fifo"), forbidden, "", ""},
        {"parent", get("/../secret.txt"), forbidden, "", ""},
        {"parent without slash", get("../secret.txt"), forbidden, "", ""},
        {"parent in the middle", get("/dir/../../secret.txt"), forbidden, "", ""},
        {"parent at the end", get("/dir/.."), forbidden, "", ""},
        {"absolute path", get("/" + secret), forbidden, "", ""},
        {"the server's own output", get("/output"), forbidden, "", ""},
        {"a procfs in the folder", get(mounted ? "/proc/self/environ" : "/output"), forbidden, "", ""},
        {"a sysfs in the folder", get(mounted ? "/sys/kernel/profiling" : "/output"), forbidden, "", ""},
        {"encoded parent is just a name", get("/..%2fsecret.txt"), not_found, "", echo404},
        {"dots that are a name", get("/..."), not_found, "", echo404},
        {"lower-case method", "get /index.html HTTP/1.0\r\n\r\n", "", "", ""},
        {"HEAD", "HEAD /index.html HTTP/1.0\r\n\r\n", "", "", ""},
        {"POST", "POST /index.html HTTP/1.0\r\n\r\n", "", "", ""},
        {"method glued to the line end", "GET\r\n\r\n", "", "", ""},
        {"nothing", "", "", "", ""},
    };
    std::string expected = start;
    for (const Case &c : cases) {
        Reply reply;
        if (c.request.empty() || c.name == std::string("no path token")) {
            // The client shuts down its side: the request ends here.
            int fd = dial();
            ASSERT_GE(fd, 0);
            send_all(fd, c.request);
            shutdown(fd, SHUT_WR);
            reply = drain(fd);
            close(fd);
        } else {
            reply = fetch(c.request);
        }
        EXPECT_FALSE(reply.timed_out) << c.name;
        EXPECT_FALSE(reply.reset) << c.name;
        EXPECT_EQ(reply.bytes.substr(0, c.status.size()), c.status) << c.name;
        EXPECT_TRUE(reply.bytes.size() >= c.status.size() && reply.bytes.substr(c.status.size()) == c.body)
            << c.name << ": got " << reply.bytes.size() << " bytes";
        expected += child + c.trace;
        EXPECT_TRUE(eventually([&] { return server->out() == expected; })) << c.name << ": stdout is\n"
                                                                           << server->out() << "\nexpected\n"
                                                                           << expected;
        expected = server->out(); // one failure does not spoil the cases after it
    }
    EXPECT_TRUE(waiting()) << "the FIFO's writer was let go: " << slurp(syscall);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
}

// A request line longer than the request buffer is not looked up cut short.
TEST_F(Fixture, OverlongRequestLineIsNotFound)
{
    start_server();
    // Spaces before the path leave room for a cut piece short enough to look up; cut
    // anywhere, this path names a directory, which would be 403.
    std::string path = "/";
    while (path.size() < 9000)
        path += "./";
    Reply reply = fetch("GET" + std::string(3000, ' ') + path + "index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.bytes, not_found);
    EXPECT_FALSE(reply.reset);
}

// TCP may split a request anywhere; the answer does not depend on where.
TEST_F(Fixture, RequestsInPieces)
{
    start_server();
    const std::vector<std::vector<std::string>> requests = {
        {"GE", "T /index.html HTTP/1.0\r\n\r\n"},
        {"GET /ind", "ex.html HTTP/1.0\r\n\r\n"},
        {"GET /index.html", " HTTP/1.0\r\n", "Host: x\r\n\r\n"},
        {"  ", "GET", " ", "/index.html", " "},
    };
    for (const auto &pieces : requests) {
        Reply reply = fetch(pieces, 150ms);
        EXPECT_EQ(reply.bytes, ok + index_html) << pieces[0];
    }
}

// A browser-sized request for a large file: the client reads only after a pause, by which
// time the server has long finished; the answer must still arrive whole, with no reset.
TEST_F(Fixture, LargeAnswerAfterLongRequestArrivesWhole)
{
    std::string big = noise(1 << 20, 11);
    tree.file("big.bin", big);
    start_server();
    std::string request = "GET /big.bin HTTP/1.0\r\n";
    while (request.size() < 2000)
        request += "X-Filler: " + std::string(60, 'f') + "\r\n";
    request += "\r\n";
    for (int round = 0; round < 5; ++round) {
        int fd = dial();
        ASSERT_GE(fd, 0);
        // The request line first, the header lines a moment later, as a browser may send
        // them: the server has its answer before the header lines come.
        size_t line = request.find('\n') + 1;
        ASSERT_TRUE(send_all(fd, request.substr(0, line)));
        std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(send_all(fd, request.substr(line)));
        std::this_thread::sleep_for(300ms);
        Reply reply = drain(fd);
        close(fd);
        EXPECT_FALSE(reply.reset) << "round " << round;
        EXPECT_EQ(reply.bytes.size(), ok.size() + big.size()) << "round " << round;
        EXPECT_TRUE(reply.bytes == ok + big) << "round " << round;
    }
}

// Trace lines: once each, whole, in order, with the start-up lines there before anyone
// connects, also when standard output is a file.
TEST_F(Fixture, TraceLinesAreWholeAndWrittenOnce)
{
    start_server({.args = {"--port", "9090", "-x", "junk"}});
    EXPECT_EQ(server->out(), start); // nothing else is written before the first connection
    const int clients = 40;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([i] { fetch(get(i % 2 ? "/index.html" : "/missing")); });
    for (auto &thread : threads)
        thread.join();
    std::map<std::string, int> seen;
    ASSERT_TRUE(
        eventually([&] { return server->out().size() > start.size() && server->out().back() == '\n'; }));
    ASSERT_TRUE(eventually([&] {
        seen.clear();
        std::istringstream out(server->out());
        for (std::string line; std::getline(out, line);)
            seen[line]++;
        return seen["index.html"] == clients / 2 && seen["HTTP/1.0 404 Not Found\r"] == clients / 2;
    }));
    EXPECT_EQ(seen["Listen"], 1);
    EXPECT_EQ(seen["GG"], 1);
    EXPECT_EQ(seen["wow"], clients);
    EXPECT_EQ(seen["AW"], clients);
    EXPECT_EQ(seen["HTTP/1.0 200 OK\r"], clients / 2);
    EXPECT_EQ(seen["\r"], clients); // the empty line that ends each echoed header
    EXPECT_EQ(seen[""], clients);   // and the line end puts adds after it
    EXPECT_EQ(seen.size(), 9u) << server->out();
}

// Two clients at once are served by separate children: one that never speaks holds up
// nothing but its own child.
TEST_F(Fixture, SilentClientHoldsUpNoOne)
{
    start_server();
    int silent = dial();
    ASSERT_GE(silent, 0);
    ASSERT_TRUE(eventually([&] { return children(server->pid).size() == 1; }));
    EXPECT_EQ(fetch(get("/index.html")).bytes, ok + index_html);
    EXPECT_TRUE(eventually([&] { return children(server->pid).size() == 1; }));
    close(silent);
    EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }));
}

// Finished children are reaped: none is left behind however many requests are served.
TEST_F(Fixture, NoZombies)
{
    start_server();
    for (int i = 0; i < 100; ++i)
        fetch(get(i % 3 ? "/index.html" : "/missing"));
    EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }))
        << children(server->pid).size() << " children left, " << zombies(server->pid) << " of them zombies";
}

// A client that leaves in the middle of a large file ends only its own answer.
TEST_F(Fixture, ClientLeavingMidTransfer)
{
    tree.file("huge.bin", noise(32 << 20, 3));
    start_server();
    for (int i = 0; i < 3; ++i) {
        int fd = dial();
        ASSERT_GE(fd, 0);
        send_all(fd, get("/huge.bin"));
        char some[4096];
        ASSERT_GT(recv(fd, some, sizeof some, 0), 0);
        linger hard = {1, 0}; // leave with a reset, as a crashed client does
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(fd);
    }
    EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }));
    EXPECT_EQ(fetch(get("/index.html")).bytes, ok + index_html);
    EXPECT_EQ(server->out(), start + (child + echo200 + "huge.bin\n") + (child + echo200 + "huge.bin\n") +
                                 (child + echo200 + "huge.bin\n") + child + echo200 + "index.html\n");
}

// Every child ends with exit status 0, whatever became of its request.
TEST_F(Fixture, ChildrenExitWithZero)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    tree.file("huge.bin", noise(32 << 20, 5));
    std::string trace = tree.base + "/strace";
    start_server(traced(trace));
    fetch(get("/index.html"));
    fetch(get("/missing"));
    fetch("HEAD / HTTP/1.0\r\n\r\n");
    fetch(get("/dir"));
    int fd = dial();
    ASSERT_GE(fd, 0);
    send_all(fd, get("/huge.bin"));
    char some[4096];
    ASSERT_GT(recv(fd, some, sizeof some, 0), 0);
    close(fd);
    // A client that resets right after its request: the header's send finds the reset, the
    // transfer then finds a connection already broken.
    fd = dial();
    ASSERT_GE(fd, 0);
    send_all(fd, get("/index.html"));
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
    auto count = [&](const std::string &what) { return occurrences(slurp(trace), what); };
    // Six children, and the one the server makes at start to learn whether the kernel reaps.
    EXPECT_TRUE(eventually([&] { return count("+++ exited with 0 +++") == 7; }, 10s)) << slurp(trace);
    EXPECT_EQ(count("+++ killed by"), 0) << slurp(trace);
}

// When no child can be made, the client sees its connection closed and the server goes on.
TEST_F(Fixture, ForkFailureClosesTheConnection)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to run the server as a user with a process limit";
    expect_errors = true;
    start_server({.unprivileged = true, .uid = 64123, .nproc = 1});
    for (int i = 0; i < 2; ++i) {
        Reply reply = fetch(std::vector<std::string>{get("/index.html")}, 0ms, 5s);
        EXPECT_FALSE(reply.timed_out) << "the client was left waiting";
        EXPECT_EQ(reply.bytes, "");
    }
    std::string line = error_line(server->err(), "[main:88:fork]", EAGAIN);
    EXPECT_NE(line, "");
    EXPECT_EQ(server->err(), line + line);
    EXPECT_EQ(server->out(), start + "wow\nwow\n");
}

// Permissions decide between 403 and 404; checked as an ordinary user, since root may
// read everything.
TEST_F(Fixture, PermissionsAsOrdinaryUser)
{
    tree.file("locked.txt", "locked\n", 0000);
    tree.file("closed/inner.txt", "inner\n");
    fs::permissions(tree.root + "/closed", fs::perms::none);
    start_server({.unprivileged = true});
    const std::vector<Case> cases = {
        {"unreadable file", get("/locked.txt"), forbidden, "", ""},
        {"folder that may not be searched", get("/closed/inner.txt"), not_found, "", echo404},
        {"readable file", get("/index.html"), ok, index_html, echo200 + "index.html\n"},
    };
    std::string expected = start;
    for (const Case &c : cases) {
        EXPECT_EQ(fetch(c.request).bytes, c.status + c.body) << c.name;
        expected += child + c.trace;
        EXPECT_TRUE(eventually([&] { return server->out() == expected; })) << c.name << ": " << server->out();
        expected = server->out();
    }
}

// A file that passes the checks but cannot be opened is refused, not answered 200 with
// nothing after it: here the checks run as the real user root, the open as another user.
TEST_F(Fixture, UnopenableFileIsForbidden)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to split the real and the effective user";
    tree.file("private.txt", "private\n", 0600);
    start_server({.unprivileged = true, .effective_only = true});
    EXPECT_EQ(fetch(get("/private.txt")).bytes, forbidden);
    EXPECT_EQ(fetch(get("/index.html")).bytes, ok + index_html);
}

// Launched with standard input and output closed, the server must not let its sockets take
// their numbers: trace lines would go to the clients.
TEST_F(Fixture, ClosedStandardDescriptors)
{
    start_server({.wrapper = {"/bin/sh", "-c", "exec \"$@\" <&- >&-", "sh"}, .wait_ready = false});
    ASSERT_TRUE(eventually([] { return reachable(); }));
    EXPECT_EQ(fetch(get("/index.html")).bytes, ok + index_html);
}

// A standard output that nobody reads fills up, whatever it is and whoever made it: the
// server must go on answering at full speed, drop the lines that do not fit (whole, where
// the output can take a line whole), and write again once it is read.
TEST_F(Fixture, OutputNobodyReadsStopsNothing)
{
    struct Output {
        const char *name;
        bool terminal;
        Launch launch;
    };
    const std::vector<Output> outputs = {
        {"pipe", false, {}},
        {"root's pipe, the server as nobody", false, {.unprivileged = true}},
        {"pipe, no /proc",
         false,
         {.wrapper = {"unshare", "-m", "sh", "-c", "umount -l /proc && exec \"$@\"", "sh"}}},
        {"terminal master", true, {}},
        {"pipe, the timer's signal blocked", false, {.blocked = SIGALRM}},
    };
    for (Output output : outputs) {
        if (!is_root() && (output.launch.unprivileged || !output.launch.wrapper.empty()))
            continue; // needs root: another user, a mount namespace
        int ends[2];  // read end, and the server's standard output
        if (output.terminal) {
            ends[1] = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_TRUE(ends[1] >= 0 && grantpt(ends[1]) == 0 && unlockpt(ends[1]) == 0);
            ends[0] = open(ptsname(ends[1]), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios raw = {};
            ASSERT_EQ(tcgetattr(ends[0], &raw), 0);
            cfmakeraw(&raw); // the bytes as written, no echo
            ASSERT_EQ(tcsetattr(ends[0], TCSANOW, &raw), 0);
        } else {
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            ASSERT_EQ(fcntl(ends[1], F_SETFD, 0), 0);
            ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 8192), 0); // a small pipe fills soon
        }
        std::string redirect = "exec \"$@\" >&" + std::to_string(ends[1]);
        output.launch.wrapper.insert(output.launch.wrapper.end(), {"/bin/sh", "-c", redirect, "sh"});
        output.launch.wait_ready = false;
        start_server(output.launch);
        ASSERT_TRUE(eventually([] { return reachable(); })) << output.name;
        int lost = 0, requests = 0, held = -1, now = 0;
        std::string name = "index.html"; // a longer line fills the output in fewer answers
        while (name.size() < 400)
            name = "./" + name;
        auto serve = [&](int count) {
            for (int i = 0; i < count && lost == 0; ++i, ++requests)
                lost += fetch(std::vector<std::string>{get("/" + name)}, 0ms, 5s).bytes != ok + index_html;
        };
        // Until the output is full: what a pipe holds no longer grows while answers go on; a
        // terminal, whose own buffers hold more than it shows, takes no more.
        pollfd room = {ends[1], POLLOUT, 0};
        for (; lost == 0 && (output.terminal ? poll(&room, 1, 0) != 0 : now != held);
             ioctl(ends[0], FIONREAD, &now)) {
            held = now;
            serve(20);
        }
        close(ends[1]);
        serve(20);
        EXPECT_EQ(lost, 0) << output.name;
        EXPECT_TRUE(eventually([&] { return children(server->pid).empty(); }));
        ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
        auto unread = [&] {
            std::string text;
            char buffer[65536];
            for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<size_t>(got));
            return text;
        };
        std::istringstream lines(unread());
        std::map<std::string, int> seen;
        for (std::string line; std::getline(lines, line);)
            seen[line]++;
        for (const auto &[line, count] : seen) // a terminal may take part of a line
            EXPECT_TRUE(output.terminal || line == "Listen" || line == "GG" || line == "wow" ||
                        line == "AW" || line == "" || line == "\r" || line == "HTTP/1.0 200 OK\r" ||
                        line == name || line == "index.html")
                << output.name << ": a torn line: '" << line << "'";
        EXPECT_GT(seen["AW"], 10) << output.name;
        EXPECT_LT(seen["AW"], requests) << output.name << ": the output never filled";
        EXPECT_EQ(fetch(get("/index.html")).bytes, ok + index_html);
        EXPECT_TRUE(eventually([&] { return unread().find("index.html\n") != std::string::npos; }))
            << output.name;
        kill(server->pid, SIGTERM);
        // Ended, whatever its status: a sanitized server's leak check fails without /proc.
        EXPECT_NE(server->exited(20s), -1) << output.name << ": a stop signal did not end it";
        close(ends[0]);
        server.reset();
    }
}

// A file cut short while it is sent: the client must not take what it got for the whole.
TEST_F(Fixture, FileShrinkingWhileSentEndsWithReset)
{
    tree.file("shrinks.bin", noise(64 << 20, 13));
    start_server();
    int fd = dial();
    ASSERT_GE(fd, 0);
    send_all(fd, get("/shrinks.bin"));
    std::string first(1 << 20, '\0');
    ASSERT_EQ(recv(fd, first.data(), first.size(), MSG_WAITALL), static_cast<ssize_t>(first.size()));
    ASSERT_EQ(truncate((tree.root + "/shrinks.bin").c_str(), 0), 0);
    Reply rest = drain(fd);
    close(fd);
    EXPECT_TRUE(rest.reset) << first.size() + rest.bytes.size() << " bytes and then an orderly close";
}

// The server settles on one identity for all its ids, never the more privileged one,
// before it serves anyone, and keeps no more than it needs: as root only the right to read
// every file, and nothing it was started with beyond the standard descriptors.
TEST_F(Fixture, SettlesOnOneIdentity)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to split the real and the effective user";
    const std::string none = "0000000000000000", read_search = "0000000000000004";
    // The launch, the id that every user and group id must be, the effective, permitted and
    // bounding sets' capabilities.
    const std::vector<std::tuple<std::string, Launch, std::string, std::string>> rows = {
        {"effective root, real nobody",
         {.wrapper = {"setpriv", "--ruid=65534", "--rgid=65534", "--groups=4,27", "--"}},
         "65534",
         none},
        {"effective nobody, real root", {.unprivileged = true, .effective_only = true}, "65534", none},
        {"root, which goes on as nobody, with a log file open",
         {.wrapper = {"/bin/sh", "-c", "exec \"$@\" 9>>../held.log", "sh"}},
         "65534",
         read_search},
    };
    for (const auto &[name, launch, id, caps] : rows) {
        start_server(launch);
        int silent = dial();
        ASSERT_GE(silent, 0);
        // The child writes its line once it has set itself apart: its limits, its signals.
        ASSERT_TRUE(eventually([&] { return server->out() == start + child; })) << name;
        ASSERT_EQ(children(server->pid).size(), 1u) << name;
        for (pid_t process : {server->pid, children(server->pid)[0]}) {
            std::string status = slurp("/proc/" + std::to_string(process) + "/status");
            std::string ids = "\t" + id + "\t" + id + "\t" + id + "\t" + id + "\n";
            EXPECT_NE(status.find("\nUid:" + ids), std::string::npos) << name << status;
            EXPECT_NE(status.find("\nGid:" + ids), std::string::npos) << name << status;
            EXPECT_NE(status.find("\nNoNewPrivs:\t1\n"), std::string::npos) << name << ": not sandboxed";
            size_t groups = status.find("\nGroups:");
            std::string line = status.substr(groups + 1, status.find('\n', groups + 1) - groups - 1);
            EXPECT_EQ(line.find_first_of("0123456789"), std::string::npos) << name << ": " << line;
            for (const std::string &set :
                 {"CapInh:\t" + none, "CapPrm:\t" + caps, "CapEff:\t" + caps, "CapAmb:\t" + none,
                  caps == read_search ? "CapBnd:\t" + caps : "CapBnd:"})
                EXPECT_NE(status.find("\n" + set), std::string::npos) << name << ": " << set << status;
            std::string limits = slurp("/proc/" + std::to_string(process) + "/limits");
            bool none =
                limits.find("Max processes             0                    0 ") != std::string::npos &&
                limits.find("Max cpu time              600                  600 ") != std::string::npos;
            EXPECT_EQ(none, process != server->pid)
                << name << ": only a child may create no process, 600 s of CPU";
            std::error_code gone;
            for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(process) + "/fd", gone))
                EXPECT_NE(fs::read_symlink(fd.path(), gone).filename(), "held.log") << name << ": inherited";
        }
        close(silent);
        server.reset();
    }
}

} // namespace

// Stop signals: the server takes the connections already queued, lets answers in progress
// finish within its grace time, refuses new ones and exits with status 0.
struct Stopping : testing::Test {
    Tree tree;
    std::string huge = noise(32 << 20, 17);
    void SetUp() override
    {
        tree.file("index.html", "hello\n");
        tree.file("huge.bin", huge);
    }
    // An answer in progress: the client has the status line and takes no more for now.
    static int started()
    {
        int fd = dial();
        EXPECT_GE(fd, 0);
        send_all(fd, get("/huge.bin"));
        std::string status(ok.size(), '\0');
        EXPECT_EQ(recv(fd, status.data(), status.size(), MSG_WAITALL), static_cast<ssize_t>(ok.size()));
        return fd;
    }
    static bool refused()
    {
        return eventually([] { return !reachable(); });
    }
};

TEST_F(Stopping, TermFinishesWhatItHasAndRefusesTheRest)
{
    Server server(tree);
    int running = started();
    // Connections the kernel queues while the server cannot accept are still served.
    kill(server.pid, SIGSTOP);
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(dial());
        send_all(queued.back(), get("/index.html"));
    }
    kill(server.pid, SIGTERM);
    kill(server.pid, SIGCONT);
    EXPECT_TRUE(refused()) << "still accepting after SIGTERM";
    for (int fd : queued) {
        Reply reply = drain(fd);
        EXPECT_EQ(reply.bytes, ok + "hello\n");
        EXPECT_FALSE(reply.reset);
        close(fd);
    }
    Reply rest = drain(running, 20s);
    close(running);
    EXPECT_FALSE(rest.reset);
    EXPECT_TRUE(rest.bytes == huge) << rest.bytes.size() << " of " << huge.size() << " bytes";
    EXPECT_EQ(server.exited(10s), 0);
    EXPECT_EQ(server.err(), "");
}

// An answer still running when the grace time is up, or when a second stop signal cuts it
// short, ends with a reset.
TEST_F(Stopping, AnswersStillRunningAreReset)
{
    for (bool again : {true, false}) {
        Server server(tree);
        int stalled = started();
        kill(server.pid, SIGTERM);
        EXPECT_TRUE(refused());
        if (again)
            kill(server.pid, SIGTERM);
        else
            EXPECT_EQ(server.exited(2s), -1) << "no grace time for the answer in progress";
        EXPECT_EQ(server.exited(again ? 4s : 15s), 0) << (again ? "second signal" : "grace time");
        Reply rest = drain(stalled);
        close(stalled);
        EXPECT_TRUE(rest.reset) << (again ? "second signal" : "grace time");
        EXPECT_LT(rest.bytes.size(), huge.size());
    }
}

// Ctrl-C reaches the server and every child: answers in progress end with a reset, a
// connection still waiting for its request is just closed, and the server exits 0.
TEST_F(Stopping, InterruptToTheGroup)
{
    Server server(tree);
    int running = started();
    int waiting = dial();
    ASSERT_TRUE(eventually([&] { return children(server.pid).size() == 2; }));
    kill(-server.pid, SIGINT);
    EXPECT_EQ(server.exited(10s), 0);
    Reply rest = drain(running);
    EXPECT_TRUE(rest.reset);
    EXPECT_LT(rest.bytes.size(), huge.size());
    Reply nothing = drain(waiting);
    EXPECT_EQ(nothing.bytes, "");
    EXPECT_FALSE(nothing.reset);
    close(running);
    close(waiting);
}

// However busy it is, a stopping server exits within its grace time of 5 s (with slack for
// a loaded machine): it takes only the connections queued at the signal, and a second
// signal, even while it takes them, ends the stop at once. Under strace the server forks
// far slower than clients connect, so the listen queue stays full throughout a flood.
TEST_F(Stopping, BoundedWhateverTheLoad)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    std::vector<std::thread> flood;
    std::vector<int> held;
    std::atomic<bool> stopped = false;
    // How the load is made, given the server and its tracer; how long the stop may take, the
    // grace time and a margin for a slow machine, under strace; and the most connections the
    // server may take after this test's signal.
    using Row = std::tuple<const char *, std::function<void(pid_t, Server &)>, std::chrono::seconds, int>;
    const std::vector<Row> rows = {
        {"a flood of new connections until the server has ended",
         [&](pid_t, Server &tracer) {
             for (int i = 0; i < 16; ++i)
                 flood.emplace_back([&] {
                     while (!stopped) {
                         int fd = dial();
                         if (fd < 0)
                             std::this_thread::sleep_for(1ms); // refused: the server has stopped
                         close(fd);
                     }
                 });
             ASSERT_TRUE(eventually([&] { return occurrences(tracer.out(), "wow") > 100; }, 30s))
                 << "no flood";
         },
         15s, INT_MAX},
        {"a second signal while 1,000 queued connections are taken",
         [&](pid_t server, Server &tracer) { // the test's own signal is the second
             held.push_back(started());
             kill(server, SIGSTOP);
             for (int i = 0; i < 1000; ++i)
                 held.push_back(dial());
             // SIGINT first: the test's SIGTERM then counts as a second one even if it comes
             // before the first is read (two SIGTERMs pending at once are one).
             kill(server, SIGINT);
             kill(server, SIGCONT);
             // The queue is being taken when the second signal comes.
             ASSERT_TRUE(eventually([&] { return occurrences(tracer.out(), "wow") > 1; }));
         },
         15s, 10}, // the second signal ends the stop: the rest of the queue is left
        {"accept failing for want of descriptors",
         [&](pid_t server, Server &) {
             ASSERT_TRUE(limit(server, "--nofile=4:4")); // below what it has open: no room for another
             held.push_back(dial());
             ASSERT_TRUE(
                 eventually([&] { return occurrences(slurp(tree.base + "/err"), "[main:82:accept]") > 1; }));
         },
         8s, INT_MAX},
    };
    for (const auto &[name, before, within, most] : rows) {
        Server tracer(tree, traced(tree.base + "/strace"));
        pid_t server = children(tracer.pid).at(0);
        before(server, tracer);
        int taken = occurrences(tracer.out(), "wow");
        kill(server, SIGTERM);
        EXPECT_EQ(tracer.exited(within), 0) << name;
        EXPECT_LE(occurrences(tracer.out(), "wow") - taken, most) << name;
        stopped = true;
        for (auto &thread : flood)
            thread.join();
        flood.clear();
        for (int fd : held)
            close(fd);
        held.clear();
    }
}

// As the first process of a PID namespace, as in a container, the server gets only the
// signals it handles: SIGTERM must still stop it.
TEST_F(Stopping, FirstProcessOfItsNamespace)
{
    if (!is_root())
        GTEST_SKIP() << "needs root for a PID namespace";
    Server outer(tree, {.wrapper = {"unshare", "--pid", "--fork", "--kill-child"}});
    ASSERT_EQ(children(outer.pid).size(), 1u);
    EXPECT_EQ(fetch(get("/index.html")).bytes, ok + "hello\n");
    kill(children(outer.pid)[0], SIGTERM);
    EXPECT_EQ(outer.exited(5s), 0);
}

// Process-level behaviour of the listener: a second instance, and a restart.
TEST(Listener, SecondInstanceFailsCleanly)
{
    Tree tree;
    Server first(tree);
    Tree other;
    Server second(other, {.wait_ready = false});
    EXPECT_EQ(second.exited(10s), 1);
    std::string line = error_line(second.err(), "[main:74:bind]", EADDRINUSE);
    EXPECT_NE(line, "");
    EXPECT_EQ(second.err(), line);
    EXPECT_EQ(second.out(), "");
    EXPECT_EQ(first.err(), "");
}

TEST(Listener, RestartBindsAtOnce)
{
    Tree tree;
    tree.file("a", "a");
    {
        Server server(tree);
        // The server closes first, so its side of these connections waits out TIME_WAIT.
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fetch(get("/a")).bytes, ok + "a");
    }
    Server again(tree);
    EXPECT_EQ(again.err(), "");
    EXPECT_EQ(fetch(get("/a")).bytes, ok + "a");
}

// Two instances on one handed-over socket, as in a restart without downtime: when one
// stops the other goes on serving, and the socket's flags stay as they were handed over.
TEST(Listener, InstancesShareAHandedOverSocket)
{
    Tree trees[2];
    for (int flags : {0, O_NONBLOCK}) {
        int sock = socket(AF_INET, SOCK_STREAM | flags, 0); // no CLOEXEC: it is handed over
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(8080);
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Children of the last round may still be closing their copies of the last socket.
        ASSERT_TRUE(eventually(
            [&] { return bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0; }));
        ASSERT_EQ(listen(sock, 64), 0);
        std::string hand = "export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$@\" 3<&" + std::to_string(sock);
        Launch launch = {.wrapper = {"/bin/sh", "-c", hand, "sh"}};
        trees[1].file("index.html", "hello\n");
        Server first(trees[0], launch), second(trees[1], launch);
        kill(first.pid, SIGTERM);
        EXPECT_EQ(first.exited(5s), 0);
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(fetch(std::vector<std::string>{get("/index.html")}, 0ms, 2s).bytes, ok + "hello\n")
                << i;
        EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, flags);
        ASSERT_EQ(shutdown(sock, SHUT_RD), 0); // it no longer listens: the other instance ends
        EXPECT_EQ(second.exited(5s), 1);
        std::string line = error_line(second.err(), "[main:82:accept]", EINVAL);
        EXPECT_NE(line, "");
        EXPECT_EQ(second.err(), line);
        close(sock);
    }
}

// A listening socket handed over by a service manager is served on whatever address it
// has, and the server binds nothing itself; anything else handed over stops it at start.
TEST(Listener, SocketHandedOver)
{
    const std::string activate = "/usr/bin/systemd-socket-activate";
    if (access(activate.c_str(), X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is not installed (apt-get install systemd)";
    Tree tree;
    tree.file("index.html", "hello\n");
    {
        // It starts the server at the first connection, as a socket unit does.
        Server server(
            tree, {.wrapper = {activate, "-E", "ASAN_OPTIONS", "-l", "127.0.0.1:8081"}, .wait_ready = false});
        ASSERT_TRUE(eventually([] { return reachable(8081); }));
        int fd = dial(8081);
        send_all(fd, get("/index.html"));
        Reply reply = drain(fd);
        close(fd);
        EXPECT_EQ(reply.bytes, ok + "hello\n");
        EXPECT_FALSE(reachable()) << "port 8080 was bound as well";
        kill(server.pid, SIGTERM);
        EXPECT_EQ(server.exited(5s), 0);
    }
    const std::string not_listening = "[main:66:getsockopt]: not a listening stream socket\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"-l", "127.0.0.1:8081", "-l", "127.0.0.1:8082"},
         "[main:64:LISTEN_FDS]: not exactly one socket handed over\n"},
        {{"--datagram", "-l", "127.0.0.1:8081"}, not_listening},
        {{"--accept", "-l", "127.0.0.1:8081"}, not_listening}, // a connection, as from Accept=yes
    };
    for (const auto &[options, line] : refused) {
        std::vector<std::string> wrapper = {activate};
        wrapper.insert(wrapper.end(), options.begin(), options.end());
        Server server(tree, {.wrapper = wrapper, .wait_ready = false});
        bool datagram = options[0] == "--datagram";
        int fd = socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(8081);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_TRUE(eventually([&] { return server.err().find("Listening on") != std::string::npos; }));
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        if (datagram) {
            ASSERT_EQ(send(fd, "x", 1, 0), 1);
        }
        EXPECT_TRUE(eventually([&] { return server.err().find(line) != std::string::npos; })) << server.err();
        if (options[0] != "--accept") { // there the activator goes on and starts the next
            EXPECT_EQ(server.exited(5s), 1) << options[0];
        }
        EXPECT_EQ(server.out(), "");
        close(fd);
    }
}
