// SPDX-License-Identifier: MIT
// The sandbox as an attacker who took over a server process meets it: the server's own
// sandbox, applied in a forked child, then one thing to try, and exactly how it ends.
#define main sever_main
#include "../src/sever.cpp"
#undef main

#include <arpa/inet.h>
#include <sched.h>
#include <sys/mman.h>

#include "harness.h"

namespace {

constexpr int sigsys = 128 + SIGSYS; // the outcome of a process the filter ended

int fate(int status)
{
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int result(long returned)
{
    return returned < 0 ? errno : 0;
}

// Binds or connects a socket to a port of 127.0.0.1: the errno it meets, or 0.
int reach(int (*call)(int, const sockaddr *, socklen_t), int fd, int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return result(call(fd, reinterpret_cast<sockaddr *>(&address), sizeof address));
}

TEST(Sandbox, RefusesWhatServingDoesNotNeed)
{
    Tree tree;
    std::string outside = tree.base + "/outside.txt", written = tree.base + "/written";
    tree.file("../outside.txt", "read me\n");
    int listener = socket(AF_INET, SOCK_STREAM, 0), client = socket(AF_INET, SOCK_STREAM, 0);
    int binder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(reach(bind, listener, 9000) == 0 && listen(listener, 1) == 0);
    bool landlock = syscall(kernel::create_ruleset, nullptr, 0, kernel::version_query) > 0;
    bool filter = architecture != 0;
    const char *shell[] = {"/bin/sh", "-c", "exit 0", nullptr};
    struct Row {
        const char *name;
        bool whole; // the whole sandbox, or Landlock alone (so that its own refusal shows)
        int expected;
        std::function<int()> attempt; // the errno it met, 0 for success
    };
    const std::vector<Row> rows = {
        {"read a file outside the folder", true, 0, [&] { return result(open(outside.c_str(), O_RDONLY)); }},
        {"open a file for writing", true, EACCES,
         [&] { return result(open(written.c_str(), O_WRONLY | O_CREAT, 0600)); }},
        {"connect to a local port", false, EACCES, [&] { return reach(connect, client, 9000); }},
        {"bind another port", false, EACCES, [&] { return reach(bind, binder, 9001); }},
        {"connect, with the filter", true, sigsys, [&] { return reach(connect, client, 9000); }},
        {"execve /bin/sh", true, sigsys, [&] { return result(execv(shell[0], const_cast<char **>(shell))); }},
        {"make a new socket", true, sigsys, [&] { return result(socket(AF_INET, SOCK_STREAM, 0)); }},
        {"kill the sandboxed parent", true, sigsys,
         [&] {
             pid_t child = fork();
             if (child == 0)
                 _exit(result(kill(getppid(), SIGKILL)));
             int status = 0;
             return waitpid(child, &status, 0) == child ? fate(status) : errno;
         }},
        {"unshare", true, sigsys, [&] { return result(unshare(CLONE_NEWUSER)); }},
        {"map executable memory", true, sigsys,
         [&] {
             return mmap(nullptr, 4096, PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED ? errno
                                                                                                     : 0;
         }},
    };
    for (const Row &row : rows) {
        if ((row.expected == sigsys && !filter) || (row.expected == EACCES && !landlock)) {
            std::cout << "skipped, the kernel or this build has no such layer: " << row.name << "\n";
            continue;
        }
        pid_t child = fork();
        if (child == 0)
            _exit(!(row.whole ? sandbox() : prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && fence())
                      ? 99
                      : row.attempt());
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(fate(status), row.expected) << row.name;
    }
    EXPECT_NE(access(written.c_str(), F_OK), 0) << "a file was written";
}

} // namespace
