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
    pid_t probe = fork(); // whether this system lets the server hide the kernel's file systems
    if (probe == 0)
        _exit((hide(), access("/proc/self", F_OK) == 0));
    int hidden = 1;
    ASSERT_EQ(waitpid(probe, &hidden, 0), probe);
    const char *shell[] = {"/bin/sh", "-c", "exit 0", nullptr};
    // The whole sandbox; or Landlock alone, or the filter alone, so that each layer's own
    // refusal shows.
    enum Layers { whole, landlock_only, filter_only };
    struct Row {
        const char *name;
        Layers layers;
        int expected;
        std::function<int()> attempt; // the errno it met, 0 for success
    };
    auto confine = [](Layers layers) {
        if (layers == whole)
            return sandbox();
        return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && (layers == landlock_only ? fence() : seal());
    };
    uint64_t zero[3] = {}; // an open_how for openat2, reading; a mark
    auto opening = [&](int flags) {
        return [&, flags] { return result(open(outside.c_str(), flags, 0600)); };
    };
    const std::vector<Row> rows = {
        {"read a file outside the folder", whole, 0, opening(O_RDONLY)},
        {"open a file for writing", whole, sigsys,
         [&] { return result(open(written.c_str(), O_WRONLY | O_CREAT, 0600)); }},
        {"read, the filter alone", filter_only, 0, opening(O_RDONLY)},
        {"write, the filter alone", filter_only, sigsys, opening(O_WRONLY)},
        {"create, the filter alone", filter_only, sigsys,
         [&] { return result(open(written.c_str(), O_RDONLY | O_CREAT, 0600)); }},
        {"truncate, the filter alone", filter_only, sigsys, opening(O_RDONLY | O_TRUNC)},
        {"openat2, whose flags no filter sees", filter_only, sigsys,
         [&] { return result(syscall(SYS_openat2, AT_FDCWD, outside.c_str(), &zero, sizeof zero)); }},
        {"rename itself", filter_only, sigsys, [&] { return result(prctl(PR_SET_NAME, "sshd", 0, 0, 0)); }},
        {"mark its packets", filter_only, sigsys,
         [&] { return result(setsockopt(client, SOL_SOCKET, SO_MARK, &zero, sizeof(int))); }},
        {"shut down standard output", filter_only, sigsys, [&] { return result(shutdown(1, SHUT_RDWR)); }},
        {"read standard input", filter_only, sigsys, [&] { return result(read(0, &zero, 1)); }},
        {"outlive the server", filter_only, sigsys, [&] { return result(prctl(PR_SET_PDEATHSIG, 0)); }},
        {"read /proc", landlock_only, EACCES, [&] { return result(open("/proc/self/environ", O_RDONLY)); }},
        {"reopen standard output", whole, ENOENT, [&] { return result(open("/proc/self/fd/1", O_RDONLY)); }},
        {"open its terminal", whole, ENOENT, [&] { return result(open("/dev/tty", O_RDONLY)); }},
        {"spin past its CPU limit, raised again", whole, 128 + SIGKILL,
         []() -> int {
             rlimit second = {1, 1}, most = {RLIM_INFINITY, RLIM_INFINITY}; // its own, run out sooner
             for (rlimit *limit : {&second, &most})                         // raising it fails
                 syscall(SYS_prlimit64, 0, RLIMIT_CPU, limit, nullptr);
             for (;;)
                 __asm__ volatile(""); // a loop the compiler keeps
         }},
        {"create a process, as a child", whole, EAGAIN,
         [&] { return detach(getppid()) ? result(spawn()) : 99; }},
        {"connect to a local port", landlock_only, EACCES, [&] { return reach(connect, client, 9000); }},
        {"bind another port", landlock_only, EACCES, [&] { return reach(bind, binder, 9001); }},
        {"connect, with the filter", whole, sigsys, [&] { return reach(connect, client, 9000); }},
        {"execve /bin/sh", whole, sigsys,
         [&] { return result(execv(shell[0], const_cast<char **>(shell))); }},
        {"make a new socket", whole, sigsys, [&] { return result(socket(AF_INET, SOCK_STREAM, 0)); }},
        {"kill the sandboxed parent", whole, sigsys,
         [&] {
             pid_t child = spawn();
             if (child == 0)
                 _exit(result(kill(getppid(), SIGKILL)));
             int status = 0;
             return waitpid(child, &status, 0) == child ? fate(status) : errno;
         }},
        {"unshare", whole, sigsys, [&] { return result(unshare(CLONE_NEWUSER)); }},
        {"map executable memory", whole, sigsys,
         [&] {
             return mmap(nullptr, 4096, PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED ? errno
                                                                                                     : 0;
         }},
    };
    for (const Row &row : rows) {
        if ((row.expected == sigsys && !filter) || (row.expected == EACCES && !landlock) ||
            (row.layers == filter_only && !filter) || (row.expected == ENOENT && hidden != 0)) {
            std::cout << "skipped, the kernel or this build has no such layer: " << row.name << "\n";
            continue;
        }
        pid_t child = fork();
        if (child == 0)
            _exit(!confine(row.layers) ? 99 : row.attempt());
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(fate(status), row.expected) << row.name;
    }
    EXPECT_NE(access(written.c_str(), F_OK), 0) << "a file was written";
    EXPECT_EQ(slurp(outside), "read me\n") << "a file was emptied";
}

} // namespace
