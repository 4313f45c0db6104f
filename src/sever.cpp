// SPDX-License-Identifier: MIT
// sever: serves the files below its working directory over HTTP/1.0 on port 8080, a child
// process per connection, with trace lines on standard output. C library and POSIX only.
#include <alloca.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// The one port this server listens on; there is no configuration.
constexpr uint16_t port = 8080;
// Connections queued between two accepts: as many as the kernel allows (net.core.somaxconn),
// since a short queue overflows on a burst and refused clients retry only seconds later.
constexpr int backlog = INT_MAX;
// Trace lines go to standard output, error lines to standard error.
constexpr int out = STDOUT_FILENO;
constexpr int err = STDERR_FILENO;
// The listening socket, handed over by a service manager or the server's own.
constexpr int listening = 3;
// Room for the longest path the file system accepts, with method, version and line end.
constexpr size_t request_size = PATH_MAX + 64;
// Room for the request's first bytes: the whole request line of nearly every client.
constexpr size_t glance_size = 512;
// Bytes of directory entries read at a time, on the stack (see list).
constexpr size_t listing_size = 4096;
// Bytes per read when a file has to be copied because sendfile cannot serve it.
constexpr size_t chunk_size = 16384;
// Bytes per sendfile call: smaller pieces than the whole file, with the header held back only
// for the first, cost less CPU per GiB (doc/performance.md).
constexpr size_t send_piece = size_t{256} * 1024;
// Bytes a connection may hold unsent, for a file larger than a send buffer grows to (see
// transfer).
constexpr int unsent_bytes = 128 * 1024;
constexpr off_t bounded_from = off_t{4} << 20;
// Units of time, for the limits below and the deadlines built from them.
constexpr int ms_per_s = 1000;
constexpr int us_per_ms = 1000;
constexpr long ns_per_ms = 1000L * 1000;
constexpr long ns_per_s = ms_per_s * ns_per_ms;
// A client gets this long to send its request line, and to take each byte of the answer,
// so idle or stalled clients cannot pile up processes.
constexpr int request_ms = 30 * ms_per_s;
constexpr int send_ms = 30 * ms_per_s;
// After the answer, what the client still sends is read and dropped for at most this long
// and this much: closing with unread bytes resets the connection, losing unread answer.
constexpr int linger_ms = 2000;
constexpr size_t linger_bytes = 1 << 20;
// The user a server started as root goes on as (see anonymous): nobody, as Debian names it.
constexpr uid_t nobody = 65534;
// Pause after accept fails for want of descriptors or memory, so the loop does not spin.
constexpr int pause_ms = 100;
// After a stop signal, queued connections and answers in progress get this long: less than
// the 10 s that service managers and container runtimes wait before they kill.
constexpr int grace_ms = 5 * ms_per_s;
// How long a trace or error line waits for an output that takes nothing (a pipe nobody reads,
// a stalled log collector); then it and the lines after it are dropped until it takes bytes.
constexpr int line_ms = 10;
// Another instance sharing a handed-over socket may take a connection between poll and
// accept: the accept gives up after this long.
constexpr int accept_ms = 10;
// Where a stop cannot count the queued connections, it takes what waits for at most this
// long, so that new arrivals cannot eat the grace time of answers in progress.
constexpr int guess_ms = grace_ms / 5;
// CPU seconds a child may use, a limit it cannot raise: a spinning child is ended by the
// kernel, while the largest answer needs a fraction of it (doc/performance.md).
constexpr rlim_t cpu_s = 600;
// The service manager's notification socket, where it gave one, kept for the stop.
constexpr int notifier = listening + 1;

// Set by the timer's signal when it cut a wait short: the next line goes out only if its
// output takes bytes at once.
static volatile sig_atomic_t stalled = 0;
// Standard output and error as started: whether a line to them can wait (see note), and
// which files they are, never to be served. Set once at start, before any child.
struct output {
    bool waits;
    dev_t device;
    ino_t inode;
};
static output outputs[STDERR_FILENO + 1] = {};

// The kernel's own file systems, by statfs type and mount-table name: never served, wherever
// mounted (devtmpfs reads as tmpfs, and holds no regular files anyway).
struct pseudo {
    uint32_t type;
    const char *name;
};
constexpr pseudo kernels[] = {
    {0x9fa0, "proc"},           {0x62656572, "sysfs"},       {0, "devtmpfs"},
    {0x1cd1, "devpts"},         {0x64626720, "debugfs"},     {0x74726163, "tracefs"},
    {0x73636673, "securityfs"}, {0x27e0eb, "cgroup"},        {0x63677270, "cgroup2"},
    {0xcafe4a11, "bpf"},        {0x62656570, "configfs"},    {0x6165676c, "pstore"},
    {0xde5e81e4, "efivarfs"},   {0x42494e4d, "binfmt_misc"}, {0x65735543, "fusectl"},
    {0xf97cff8c, "selinuxfs"},  {0x43415d53, "smackfs"},     {0x19800202, "mqueue"},
    {0x6e736673, "nsfs"},       {0x7655821, "resctrl"},
};

// The status selector handed from resolve to header; it indexes the status lines.
enum selector : int { ok = 0, forbidden = 1, missing = 2 };
constexpr const char *status_lines[] = {
    "HTTP/1.0 200 OK\r\n\r\n",
    "HTTP/1.0 403 Forbidden\r\n\r\n",
    "HTTP/1.0 404 Not Found\r\n\r\n",
};

// Waits at most ms for a descriptor to become ready.
static bool wait(int fd, short events, int ms)
{
    pollfd ready = {fd, events, 0};
    int count = 0;
    do
        count = poll(&ready, 1, ms);
    while (count < 0 && errno == EINTR);
    return count > 0;
}

// Sets the timer that cuts a blocking call short with SIGALRM after ms, or clears it (0).
static void arm(int ms)
{
    itimerval timer = {{0, 0}, {ms / ms_per_s, static_cast<suseconds_t>(ms % ms_per_s) * us_per_ms}};
    (void)setitimer(ITIMER_REAL, &timer, nullptr); // valid arguments: cannot fail
}

// Writes one line in a single call, so lines of several processes never tear and nothing is
// buffered to be lost or written twice. Where the output can block, the write waits at most
// line_ms; a line it does not take is lost, and later ones are dropped until it takes bytes.
static void emit(int fd, iovec *parts, int count)
{
    int saved = errno; // the caller may be about to report it
    bool timed = outputs[fd].waits;
    if (timed && stalled && !wait(fd, POLLOUT, 0))
        return;
    // Written only when it changes: a child that writes to a page it shares with the
    // server gets a copy of it, and that costs more than the test.
    if (timed && stalled)
        stalled = 0;
    if (timed)
        arm(line_ms);
    // A line that cannot be written is lost (stalled is then set); serving goes on.
    if (writev(fd, parts, count) < 0 && errno != saved)
        errno = saved;
    if (timed)
        arm(0);
}

static void trace(const char *text)
{
    iovec line[] = {{const_cast<char *>(text), strlen(text)}, {const_cast<char *>("\n"), 1}};
    emit(out, line, 2);
}

// Writes an error line as perror does: the tag, a colon and a blank, then the reason.
static void report(const char *tag, const char *reason)
{
    iovec line[] = {{const_cast<char *>(tag), strlen(tag)},
                    {const_cast<char *>(": "), 2},
                    {const_cast<char *>(reason), strlen(reason)},
                    {const_cast<char *>("\n"), 1}};
    emit(err, line, 4);
}

// Whether a send that returned result goes on: progress, an interruption, or a client that
// took bytes again within the send time limit.
static bool onward(int conn, ssize_t result)
{
    if (result >= 0)
        return result > 0;
    if (errno == EINTR)
        return true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) && wait(conn, POLLOUT, send_ms);
}

// Sends all of data; false when the client has gone or stopped taking bytes.
static bool deliver(int conn, const char *data, size_t size, int more)
{
    while (size > 0) {
        ssize_t sent = send(conn, data, size, MSG_NOSIGNAL | more);
        if (!onward(conn, sent))
            return false;
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
        }
    }
    return true;
}

// Sends the status line, echoing 200 and 404 on the trace (a 200 with its path, in one
// write).
static void header(int conn, int selector, const char *path)
{
    int index = selector == ok ? ok : selector == forbidden ? forbidden : missing;
    const char *line = status_lines[index];
    iovec lines[] = {{const_cast<char *>(line), strlen(line)},
                     {const_cast<char *>("\n"), 1},
                     {const_cast<char *>(path), index == ok ? strlen(path) : 0},
                     {const_cast<char *>("\n"), 1}};
    if (index != forbidden)
        emit(out, lines, index == ok ? 4 : 2);
    // A 200's line waits for the file's first bytes, to leave in one segment with them:
    // the first send of the file, or the orderly end after an empty one, sends it. A
    // client that is gone is noticed by the transfer or the lingering close.
    (void)deliver(conn, line, strlen(line), index == ok ? MSG_MORE : 0);
}

// The monotonic clock, for a stop's deadline, through the system call: a fork does not
// carry the vDSO's page over, and a child reading it would fault it in again.
static timespec now()
{
    timespec time{};
    // CLOCK_MONOTONIC cannot fail on Linux.
    (void)syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &time);
    return time;
}

static timespec later(int ms)
{
    timespec time = now();
    time.tv_sec += ms / ms_per_s;
    time.tv_nsec += (ms % ms_per_s) * ns_per_ms;
    if (time.tv_nsec >= ns_per_s) {
        time.tv_sec += 1;
        time.tv_nsec -= ns_per_s;
    }
    return time;
}

// Milliseconds from now to the deadline; not more than a day, so it fits an int.
static int left(timespec deadline)
{
    timespec at = now();
    long ms = (deadline.tv_sec - at.tv_sec) * ms_per_s + (deadline.tv_nsec - at.tv_nsec) / ns_per_ms;
    return static_cast<int>(ms < 0 ? 0 : ms);
}

// ms as a time span, for the waits that count their time down (see await).
static timespec period(int ms)
{
    return {ms / ms_per_s, (ms % ms_per_s) * ns_per_ms};
}

// Waits at most the time left for the client to send or close, counting the wait off that
// time: ppoll itself writes back what is left. False once time is up or on an error.
static bool await(int conn, timespec &rest)
{
    pollfd ready = {conn, POLLIN, 0};
    long count = 0;
    do
        count = syscall(SYS_ppoll, &ready, 1, &rest, nullptr, 0); // no signal mask
    while (count < 0 && errno == EINTR);
    return count > 0;
}

// Receives what is there within the time left: the byte count, 0 once the client has shut
// down its side, -1 on an error or when time has run out.
static ssize_t take(int conn, char *buffer, size_t size, timespec &rest)
{
    for (;;) {
        ssize_t got = recv(conn, buffer, size, 0);
        if (got >= 0)
            return got;
        if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) || !await(conn, rest)))
            return -1;
    }
}

// A token as strtok cuts it at " ": leading spaces skipped, then up to the next space.
struct span {
    size_t start;
    size_t size;
};

static span token(const char *text, size_t length, size_t &at)
{
    while (at < length && text[at] == ' ')
        ++at;
    size_t start = at;
    while (at < length && text[at] != ' ')
        ++at;
    return {start, at - start};
}

// The request text ends at its first NUL byte, as a C string does.
static size_t textlength(const char *text, size_t size)
{
    const void *nul = memchr(text, '\0', size);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
}

// Whether enough of the request has come to answer it: a space after the path, a line
// end, or a NUL byte.
static bool complete(const char *text, size_t size)
{
    size_t length = textlength(text, size);
    if (length < size || memchr(text, '\n', size))
        return true;
    size_t at = 0;
    token(text, length, at);
    span path = token(text, length, at);
    return path.size > 0 && path.start + path.size < length;
}

// Cuts method and path out of the request in place. False when it is not a GET (no
// answer). *path is the name less one "/", or null: no path, or one a full buffer cut.
static bool parse(char *text, size_t size, bool full, const char **path)
{
    size_t length = textlength(text, size);
    size_t at = 0;
    span method = token(text, length, at);
    if (method.size != 3 || memcmp(text + method.start, "GET", 3) != 0)
        return false;
    span name = token(text, length, at);
    *path = nullptr;
    bool cut = full && length == size && name.start + name.size == length;
    if (name.size == 0 || cut)
        return true;
    text[name.start + name.size] = '\0';
    *path = text + name.start + (text[name.start] == '/' ? 1 : 0);
    return true;
}

// Whether the name stays below the working directory: relative, and no ".." segment.
static bool inside(const char *path)
{
    if (path[0] == '/')
        return false;
    for (const char *segment = path; segment; segment = strchr(segment, '/')) {
        if (*segment == '/')
            ++segment;
        if (segment[0] == '.' && segment[1] == '.' && (segment[2] == '/' || segment[2] == '\0'))
            return false;
    }
    return true;
}

// The answer the name deserves before the file system is asked: none outside the tree.
static int check(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return missing;
    return inside(path) ? ok : forbidden;
}

// A name found but not opened: gone since the look is missing, anything else forbidden.
static int failure(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return missing;
    default:
        return forbidden;
    }
}

// Copies the file through a buffer where sendfile cannot: up to size bytes, or with a size
// of 0 to its end (such files may have content). False when cut short. Out of line, so its
// buffer does not grow every child's stack.
[[gnu::noinline]] static bool copy(int conn, int file, off_t size)
{
    char chunk[chunk_size];
    bool sized = size > 0;
    while (!sized || size > 0) {
        size_t want =
            sized && size < static_cast<off_t>(sizeof chunk) ? static_cast<size_t>(size) : sizeof chunk;
        ssize_t got = read(file, chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 && !sized)
            return true;
        if (got <= 0 || !deliver(conn, chunk, static_cast<size_t>(got), 0))
            return false;
        size -= got;
    }
    return true;
}

// Sends the file without copying it, up to its size when opened, in send_piece pieces. A
// file larger than a send buffer grows to keeps at most unsent_bytes unsent, so the child
// sends its own bytes as the client takes them (doc/performance.md). False when cut short:
// the client gone or stalled, or the file shrank.
static bool transfer(int conn, int file, off_t size)
{
    if (size == 0)
        return copy(conn, file, 0);
    if (size > bounded_from)
        (void)setsockopt(conn, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent_bytes, sizeof unsent_bytes);
    off_t offset = 0;
    while (offset < size) {
        size_t piece =
            size - offset < static_cast<off_t>(send_piece) ? static_cast<size_t>(size - offset) : send_piece;
        ssize_t sent = sendfile(conn, file, &offset, piece);
        if (onward(conn, sent))
            continue;
        if (sent < 0 && offset == 0 && (errno == EINVAL || errno == ENOSYS))
            return copy(conn, file, size);
        return false;
    }
    return true;
}

// Whether what was opened is the server's own output or lies on a kernel file system:
// neither is sent, nor what cannot be told.
static bool withheld(int file, const struct stat &info)
{
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd)
        if (info.st_dev == outputs[fd].device && info.st_ino == outputs[fd].inode)
            return true;
    struct statfs where = {};
    if (fstatfs(file, &where) != 0)
        return true;
    bool kernel = false;
    for (const pseudo &system : kernels)
        kernel = kernel || (system.type != 0 && static_cast<uint32_t>(where.f_type) == system.type);
    return kernel;
}

// Opens the file path names if it is one to send. Only regular files are opened at all (an
// open lets a FIFO's writer go on, and a device sees it); what was opened is looked at again,
// since the name may have been swapped meanwhile.
static int obtain(const char *path, int *file, struct stat *info)
{
    if (stat(path, info) != 0)
        return missing;
    if (!S_ISREG(info->st_mode))
        return forbidden;
    // Nothing is ever executed, so no close-on-exec (which musl would set with a call of
    // its own).
    *file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (*file < 0)
        return failure(errno);
    return fstat(*file, info) == 0 && S_ISREG(info->st_mode) && !withheld(*file, *info) ? ok : forbidden;
}

// Answers a GET for path: the file is opened and checked before a 200 goes out. False when
// the answer was cut short.
static bool serve(int conn, const char *path)
{
    int status = check(path);
    int file = -1;
    struct stat info = {};
    if (status == ok)
        status = obtain(path, &file, &info);
    header(conn, status, path);
    bool whole = status != ok || transfer(conn, file, info.st_size);
    if (file >= 0)
        close(file); // read-only: nothing is lost if this fails
    return whole;
}

// Ends a whole answer in order: the sending side shuts, and what the client still sends is
// read into sink and dropped, within a bound, so no reset destroys the answer.
static void linger(int conn, char *sink, size_t size)
{
    // Fails only when the connection is already broken; then there is nothing to save.
    (void)shutdown(conn, SHUT_WR);
    timespec rest = period(linger_ms);
    size_t dropped = 0;
    // The client is only now sent the end, so its close is waited for before a first look.
    while (dropped < linger_bytes && await(conn, rest)) {
        ssize_t got = take(conn, sink, size, rest);
        if (got <= 0)
            return;
        dropped += static_cast<size_t>(got);
    }
}

// Makes the connection end with a reset however this process ends, or again in order: an
// answer cut short must not end like a whole one.
static void reset(int conn, bool on)
{
    struct linger abort = {on ? 1 : 0, 0};
    // Should this fail, the connection ends in order after all.
    (void)setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// Holds back (SIG_BLOCK) or lets through (SIG_UNBLOCK) SIGTERM, SIGINT and another if not
// 0; or holds those back and lets all else through (SIG_SETMASK). Returns the set.
static sigset_t hold(int how, int another)
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    if (another != 0)
        sigaddset(&held, another);
    (void)sigprocmask(how, &held, nullptr); // cannot fail with a valid how
    return held;
}

// Answers the request (size bytes, in room bytes and one more) and ends the connection:
// with a reset until the answer is whole, so nothing cut short passes for whole.
static void respond(int conn, char *text, size_t size, size_t room)
{
    const char *path = nullptr;
    if (parse(text, size, size == room, &path)) {
        reset(conn, true);
        if (!serve(conn, path))
            return;
        reset(conn, false);
    }
    // The answer is whole: a stop signal now waits until its lingering close is done.
    hold(SIG_BLOCK, 0);
    linger(conn, text, room + 1); // the request is answered: its room is free
}

// Goes on receiving a request line the first bytes did not complete, in room for the
// longest. Out of line, so its buffer does not grow resolve's stack.
[[gnu::noinline]] static void answer(int conn, timespec &rest, const char *start, size_t size)
{
    char request[request_size + 1];
    memcpy(request, start, size);
    while (size < request_size && !complete(request, size)) {
        ssize_t got = take(conn, request + size, request_size - size, rest);
        if (got < 0)
            return; // gone, broken, or too slow: no answer
        if (got == 0)
            break;
        size += static_cast<size_t>(got);
    }
    respond(conn, request, size, request_size);
}

// Serves the one request of a connection. The first bytes go into a small buffer, which
// holds nearly every request line: the child then touches a single page of stack.
static void resolve(int conn)
{
    timespec rest = period(request_ms);
    char start[glance_size + 1];
    ssize_t got = take(conn, start, glance_size, rest);
    if (got <= 0)
        return; // gone, broken, too slow or silent: no answer
    auto size = static_cast<size_t>(got);
    if (complete(start, size))
        respond(conn, start, size, glance_size);
    else
        answer(conn, rest, start, size);
}

// Points closed standard descriptors at /dev/null, before a socket can take their numbers,
// and standard input at /dev/null always: nothing may read the terminal.
static bool standard()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // Takes the lowest free number: this one, since those below it are open.
        if (open("/dev/null", O_RDWR) != fd)
            return false;
    }
    int null = open("/dev/null", O_RDONLY);
    bool done = null >= 0 && dup2(null, STDIN_FILENO) == STDIN_FILENO;
    if (null >= 0)
        close(null); // a copy of what standard input now is
    return done;
}

// The null device's numbers, the same on every Linux.
constexpr unsigned null_major = 1, null_minor = 3;

// Notes what standard output or error is. Lines to a pipe, terminal or socket are bounded
// in time (see emit); a regular file or /dev/null never keeps a writer waiting.
static output note(int fd)
{
    struct stat info = {};
    if (fstat(fd, &info) != 0)
        return {true, 0, 0};
    bool null =
        S_ISCHR(info.st_mode) && major(info.st_rdev) == null_major && minor(info.st_rdev) == null_minor;
    return {!S_ISREG(info.st_mode) && !null, info.st_dev, info.st_ino};
}

// Takes a listening socket a service manager handed over on descriptor 3: 1, 0 when none
// was, -1 (reported) when it is not one listening stream socket.
static int handed()
{
    const char *pid = getenv("LISTEN_PID");
    if (pid == nullptr || strtol(pid, nullptr, 10) != getpid())
        return 0;
    const char *fds = getenv("LISTEN_FDS");
    bool one = fds != nullptr && strcmp(fds, "1") == 0;
    // Not for the server's children, nor for anything it might start.
    (void)unsetenv("LISTEN_PID");
    (void)unsetenv("LISTEN_FDS");
    (void)unsetenv("LISTEN_FDNAMES");
    if (!one) {
        report("[main:64:LISTEN_FDS]", "not exactly one socket handed over");
        return -1;
    }
    int type = 0;
    int accepting = 0;
    socklen_t size = sizeof type;
    if (getsockopt(listening, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
        getsockopt(listening, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0) {
        report("[main:66:getsockopt]", strerror(errno));
        return -1;
    }
    if (type != SOCK_STREAM || !accepting) {
        report("[main:66:getsockopt]", "not a listening stream socket");
        return -1;
    }
    // Its flags stay as handed over, blocking or not: the service manager, and any other
    // instance started on the same socket, share them.
    return 1;
}

// Connects to the service manager's notification socket (NOTIFY_SOCKET, a path or
// "@name") on notifier. Whether there is one.
static bool notifying()
{
    const char *name = getenv("NOTIFY_SOCKET");
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t size = name != nullptr ? strlen(name) : 0;
    if (size == 0 || size >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@'))
        return false;
    memcpy(address.sun_path, name, size);
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    (void)unsetenv("NOTIFY_SOCKET"); // for the server alone
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool done =
        fd >= 0 &&
        connect(fd, reinterpret_cast<sockaddr *>(&address), offsetof(sockaddr_un, sun_path) + size) == 0 &&
        (fd == notifier || dup2(fd, notifier) == notifier);
    if (fd >= 0 && fd != notifier)
        close(fd); // a copy, or a socket that did not connect
    return done;
}

// Tells the service manager READY=1 or STOPPING=1; it need not listen.
static void tell(bool managed, const char *state)
{
    if (managed)
        (void)send(notifier, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Where a directory entry, as getdents64 gives it, holds its size and its name.
constexpr size_t entry_size_at = 16, entry_name_at = 19;

// Calls visit with each name in the folder open on fd, read onto the stack (opendir would
// use the heap). False when they cannot be read.
static bool list(int folder, void (*visit)(int folder, const char *name, void *context), void *context)
{
    alignas(uint64_t) char entries[listing_size];
    for (;;) {
        long got = syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (got <= 0)
            return got == 0;
        for (long at = 0; at < got;) {
            uint16_t size = 0;
            memcpy(&size, entries + at + entry_size_at, sizeof size);
            visit(folder, entries + at + entry_name_at, context);
            at += size;
        }
    }
}

// Closes every descriptor from first on that the server was started with (a log file left
// open would stay writable). Without close_range, the ones /proc lists. False, reported.
static bool tidy(int first)
{
    // musl has no wrapper for close_range.
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return true;
    if (errno != ENOSYS && errno != EPERM) {
        report("[main:62:close_range]", strerror(errno));
        return false;
    }
    int listed = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto shut = [](int folder, const char *name, void *from) {
        int fd = static_cast<int>(strtol(name, nullptr, 10)); // 0 for "." and ".."
        if (fd >= *static_cast<int *>(from) && fd != folder)
            (void)close(fd); // one the server never uses: nothing to save if this fails
    };
    const char *failed = nullptr;
    if (listed < 0)
        failed = "[main:62:open]";
    else if (!list(listed, shut, &first))
        failed = "[main:62:getdents64]";
    int error = errno;
    if (listed >= 0)
        close(listed); // read-only
    if (failed != nullptr)
        report(failed, strerror(error));
    return failed == nullptr;
}

// A partly filled segment leaves at once (doc/performance.md); a 200's header still waits
// for the file. Accepted connections inherit it; other sockets refuse it harmlessly.
static void tune(int conn)
{
    int on = 1;
    (void)setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Opens the listening socket on port 8080 of every IPv4 address, on descriptor 3, non-
// blocking. The address is written, not looked up: getaddrinfo would make a heap, one more
// region every fork copies (doc/performance.md). False, reported, on a failure.
static bool endpoint()
{
    sockaddr_in everywhere = {};
    everywhere.sin_family = AF_INET;
    everywhere.sin_port = htons(port);
    everywhere.sin_addr.s_addr = htonl(INADDR_ANY);
    const char *failed = nullptr;
    int on = 1;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (listener < 0)
        failed = "[main:72:socket]";
    // A restart binds at once, though connections of the last run are still closing.
    else if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        failed = "[main:73:setsockopt]";
    else if (bind(listener, reinterpret_cast<sockaddr *>(&everywhere), sizeof everywhere) != 0)
        failed = "[main:74:bind]";
    else if (listen(listener, backlog) != 0)
        failed = "[main:76:listen]";
    else if (listener != listening && dup2(listener, listening) != listening)
        failed = "[main:77:dup2]";
    int error = errno;
    if (listener >= 0 && listener != listening)
        close(listener); // a copy, or the process is about to exit anyway
    if (failed != nullptr)
        report(failed, strerror(error));
    else
        tune(listening);
    return failed == nullptr;
}

// Settles on one identity when the real, effective and saved ids differ, never gaining
// privilege: an effective root gives way to the real user. The checks use the real ids and
// the open the effective ones, so with both the same no swapped name gets past. False,
// reported.
static bool settle()
{
    uid_t user[3] = {}; // real, effective, saved
    gid_t group[3] = {};
    // Cannot fail with valid addresses.
    (void)getresuid(&user[0], &user[1], &user[2]);
    (void)getresgid(&group[0], &group[1], &group[2]);
    if (user[0] == user[1] && user[1] == user[2] && group[0] == group[1] && group[1] == group[2])
        return true;
    bool root = user[1] == 0;
    uid_t uid = root ? user[0] : user[1];
    gid_t gid = root ? group[0] : group[1];
    const char *failed = nullptr;
    if (root && setgroups(0, nullptr) != 0)
        failed = "[main:79:setgroups]";
    else if (setresgid(gid, gid, gid) != 0)
        failed = "[main:79:setresgid]";
    else if (setresuid(uid, uid, uid) != 0)
        failed = "[main:79:setresuid]";
    if (failed != nullptr)
        report(failed, strerror(errno));
    return failed == nullptr;
}

// The timer's signal: a bounded wait ran out (see emit and next).
static void expire(int /*signal*/)
{
    stalled = 1;
}

// Failed sends and writes, not SIGPIPE. The kernel reaps children (an emulator may not: see
// reaped). The timer's signal cuts the call short. Stop signals end a child by default; the
// server reads them from a signalfd.
static bool handlers()
{
    struct sigaction ended = {};
    ended.sa_handler = SIG_DFL;
    ended.sa_flags = SA_NOCLDWAIT;
    struct sigaction timer = {};
    timer.sa_handler = expire;
    return signal(SIGPIPE, SIG_IGN) != SIG_ERR && sigaction(SIGCHLD, &ended, nullptr) == 0 &&
           sigaction(SIGALRM, &timer, nullptr) == 0 && signal(SIGTERM, SIG_DFL) != SIG_ERR &&
           signal(SIGINT, SIG_DFL) != SIG_ERR;
}

// Makes a child with the system call itself: the C library's fork adds calls for threads
// and fork handlers this process never has.
static pid_t spawn()
{
#ifdef SYS_fork
    return static_cast<pid_t>(syscall(SYS_fork));
#else
    return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)); // arm64 has clone alone
#endif
}

// Whether the kernel reaps ended children by itself, as asked (see handlers).
static bool reaped()
{
    pid_t probe = spawn();
    if (probe == 0)
        _exit(0);
    return probe > 0 && waitpid(probe, nullptr, 0) < 0 && errno == ECHILD;
}

// Sets a child apart: a stop signal ends it, the server's end kills it (SIGKILL), and it may
// create no process nor use more than cpu_s of CPU, limits it cannot raise. False when the
// server has already ended.
static bool detach(pid_t server)
{
    hold(SIG_UNBLOCK, SIGCHLD); // held back in the server for its signalfd; a child must feel them
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL); // valid arguments: cannot fail
    rlimit none = {0, 0};
    rlimit cpu = {cpu_s, cpu_s};
    // Called directly, since musl's setrlimit makes other calls. Lowering a limit cannot
    // fail; a CPU limit lower already stays as it is.
    (void)syscall(SYS_prlimit64, 0, RLIMIT_NPROC, &none, nullptr);
    (void)syscall(SYS_prlimit64, 0, RLIMIT_CPU, &cpu, nullptr);
    return getppid() == server;
}

// How many connections wait in the listen queue; where the kernel does not say (a Unix
// socket, qemu-user's short TCP_INFO), INT_MAX, and guess_ms bounds the taking.
static int queued()
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(listening, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_unacked) + sizeof info.tcpi_unacked)
        return INT_MAX;
    return static_cast<int>(info.tcpi_unacked);
}

// Accepts a connection poll saw. A handed-over socket may block (another instance may take
// the connection first): there the timer bounds the wait.
static int next(bool shared)
{
    if (shared)
        arm(accept_ms);
    // The call itself: musl's accept4 falls back to accept when the kernel says EINVAL, as
    // it does for a socket that no longer listens.
    int conn = static_cast<int>(syscall(SYS_accept4, listening, nullptr, nullptr, SOCK_NONBLOCK));
    if (shared)
        arm(0); // keeps errno
    if (shared && conn >= 0)
        tune(conn); // a handed-over socket is left as it was, so each connection is set
    return conn;
}

// The sandbox's kernel interfaces: musl has no kernel headers, and Debian 12's know only
// Landlock's first two versions.
namespace kernel {
// Landlock: the calls, the ruleset's rights by version, and its structures.
constexpr long create_ruleset = 444, add_rule = 445, restrict_self = 446; // alike on every architecture
constexpr unsigned version_query = 1;
constexpr int path_beneath = 1;
constexpr uint64_t read_file = 1 << 2, read_dir = 1 << 3;
constexpr int known = 6; // the highest version these definitions know
// File-system rights by version: 13 in the first; then refer, truncate, none, device ioctl.
// Version 4 adds TCP bind and connect, 6 the scopes.
constexpr uint64_t fs_rights[known + 1] = {
    0, (1 << 13) - 1, (1 << 14) - 1, (1 << 15) - 1, (1 << 15) - 1, (1 << 16) - 1, (1 << 16) - 1};
constexpr uint64_t tcp_bind_connect = 3, abstract_unix_and_signal = 3;
struct ruleset {
    uint64_t fs;
    uint64_t net;
    uint64_t scoped;
};
struct [[gnu::packed]] beneath {
    uint64_t allowed;
    int32_t parent;
};
// seccomp: a BPF program over the call's number, architecture and arguments.
struct op {
    uint16_t code;
    uint8_t yes;
    uint8_t no;
    uint32_t k;
};
struct program {
    unsigned short length;
    const op *ops;
};
constexpr uint16_t load = 0x20, equal = 0x15, at_least = 0x35, any_bit = 0x45,
                   give = 0x06;                               // ld w abs; jeq/jge/jset k; ret k
constexpr uint32_t kill = 0x80000000U, allow = 0x7fff0000U;   // kill the process; allow
constexpr uint32_t at_number = 0, at_arch = 4, at_first = 16; // offsets in struct seccomp_data
constexpr uint32_t arg_size = 8;                              // each argument takes 64 bits
constexpr uint32_t x32 = 0x40000000U;                         // calls of the x32 ABI carry this bit
constexpr int filter_mode = 2;                                // SECCOMP_MODE_FILTER
constexpr uint32_t tmpfile = 020000000;                       // __O_TMPFILE, without O_DIRECTORY
// Capabilities: the calls' header and their sets of the first 32 and the next 32.
struct cap_header {
    uint32_t version;
    int pid;
};
struct cap_sets {
    uint32_t effective;
    uint32_t permitted;
    uint32_t inheritable;
};
constexpr uint32_t cap_version = 0x20080522; // version 3: 64 capabilities in two sets
constexpr int dac_override = 1, dac_read_search = 2, setpcap = 8;
} // namespace kernel

// How a checked argument may look, in its low 32 bits (all the kernel reads of these).
enum test : uint8_t {
    any,     // not checked
    is,      // exactly the value
    without, // none of the value's bits
    from,    // the value or more
};
// The BPF jump for each test. For "without", a match is the failure: seal swaps the
// branches.
constexpr uint16_t jumps[] = {0, kernel::equal, kernel::any_bit, kernel::at_least};
struct match {
    uint8_t arg = 0; // which argument, from 0
    test how = any;
    uint32_t value = 0;
};
// A call the confined process may make, with at most two argument checks that must both
// hold. A call in several rows may carry what any one allows.
struct rule {
    long call;
    match first = {};
    match second = {};
};

// Opening with any of these would write, create, empty or append to a file.
constexpr uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | kernel::tmpfile;
// The first descriptor of the server's own: standard input, output and error are never
// read nor shut.
constexpr uint32_t owned = STDERR_FILENO + 1;

#if !defined(__SANITIZE_ADDRESS__) && (defined(__x86_64__) || defined(__aarch64__))
#ifdef __x86_64__
constexpr uint32_t architecture = 0xC000003EU; // AUDIT_ARCH_X86_64
#else
constexpr uint32_t architecture = 0xC00000B7U; // AUDIT_ARCH_AARCH64
#endif
// What a process may ask of the kernel once it serves, and why. Anything else (exec,
// socket, connect, mmap, kill, ptrace, unshare, capset, openat2, ...) ends the process, and
// so does a checked call no row allows.
// clang-format off
constexpr rule permitted[] = {
    {SYS_ppoll},                         // a child waits for its client to send (see await)
#ifdef __x86_64__
    {SYS_poll},                          // the server for connections and signals; a child for a client to take bytes
#endif
    {SYS_accept4},                       // the server takes a connection
#ifdef __x86_64__
    {SYS_fork},                          // and makes a child for it (see spawn)
#else
    {SYS_clone, {0, is, SIGCHLD}},       // (arm64: no fork) with no flag but the signal
#endif
    {SYS_read, {0, from, owned}},        // the signals from the signalfd; a file sendfile cannot send
    {SYS_writev},                        // trace and error lines
    {SYS_setitimer},                     // the bound on a line's write and a shared socket's accept
    {SYS_rt_sigreturn},                  // back from the timer's signal
    {SYS_restart_syscall},               // a wait that a signal interrupted goes on
    {SYS_rt_sigprocmask},                // signals held back and let through
    {SYS_prctl, {0, is, PR_SET_PDEATHSIG}, {1, is, SIGKILL}},           // the child's end with the server's
    {SYS_prlimit64, {0, is, 0}, {1, is, RLIMIT_NPROC}},                 // its own limit of no process
    {SYS_prlimit64, {0, is, 0}, {1, is, RLIMIT_CPU}},                   // and of CPU time
    {SYS_getppid},                       // the child: is the server still there
    {SYS_getpid},                        // the server's own pid, for its children to check
    {SYS_recvfrom, {0, from, owned}},    // the request, and what the client sends after the answer
#if defined(__x86_64__) && !defined(__GLIBC__)
    {SYS_stat},                          // is the name a regular file (musl on x86-64)
    {SYS_open, {1, without, writing}},   // the file, for reading only (musl on x86-64)
#else
    {SYS_newfstatat},                    // (glibc; arm64), and what was opened (glibc)
    {SYS_openat, {2, without, writing}}, // (glibc; arm64)
#endif
#ifndef __GLIBC__
    {SYS_fstat},                         // what was opened, and its size (musl)
#endif
    {SYS_fstatfs},                       // and which file system it lies on
    {SYS_setsockopt, {1, is, SOL_SOCKET}, {2, is, SO_LINGER}},          // a reset for an answer cut short
    {SYS_setsockopt, {1, is, IPPROTO_TCP}, {2, is, TCP_NODELAY}},       // a handed-over socket's connections
    {SYS_setsockopt, {1, is, IPPROTO_TCP}, {2, is, TCP_NOTSENT_LOWAT}}, // a large file's bound (see transfer)
    {SYS_sendto},                        // the status line
    {SYS_sendfile, {1, from, owned}},    // the file
    {SYS_shutdown, {0, from, owned}},    // the answer's end; never the output's
    {SYS_close},                         // descriptors done with
    {SYS_close_range, {0, is, listening}, {1, is, notifier}},           // a child's copies of the server's sockets
    {SYS_clock_gettime},                 // deadlines
    {SYS_getsockopt, {1, is, IPPROTO_TCP}, {2, is, TCP_INFO}},          // at a stop: how many are queued
    {SYS_rt_sigtimedwait},               // at a stop: the children's ends, or a second stop signal
    {SYS_wait4},                         // ended children the kernel left; at a stop: any left
    {SYS_exit_group},                    // the end of every process
};
// clang-format on
#else
// Sanitizers need calls serving does not (mmap and more): the filter is for plain x86-64
// and arm64 builds.
constexpr uint32_t architecture = 0;
constexpr rule permitted[] = {{0}};
#endif
constexpr size_t rows = sizeof permitted / sizeof *permitted;

// Whether the row at index is the first to name its call; and how many checks it has.
constexpr bool leading(size_t index)
{
    for (size_t i = 0; i < index; ++i)
        if (permitted[i].call == permitted[index].call)
            return false;
    return true;
}
constexpr size_t checks(const rule &row)
{
    return (row.first.how != any ? 1 : 0) + (row.second.how != any ? 1 : 0);
}
constexpr bool checked(size_t index)
{
    for (size_t i = 0; i < rows; ++i)
        if (permitted[i].call == permitted[index].call && checks(permitted[i]) > 0)
            return true;
    return false;
}
// The program's length: architecture and x32 tests, a test per call, kill and allow; for
// each checked call, a load and a test per check, an allow per row, and a kill.
constexpr size_t instructions()
{
    size_t count = 5 + 2;
    for (size_t i = 0; i < rows; ++i) {
        count += leading(i) ? 1 : 0;
        if (checked(i))
            count += 2 * checks(permitted[i]) + 1 + (leading(i) ? 1 : 0);
    }
    return count;
}
static_assert(instructions() <= 256, "every jump must reach at most 255 instructions on");

// Reports a failed sandbox call; a layer the kernel lacks or a container refuses is left
// out silently.
static bool lacking(const char *tag)
{
    if (errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL || errno == EPERM)
        return true;
    report(tag, strerror(errno));
    return false;
}

// Lets the ruleset read below name (opened in folder, links followed): a folder and all
// below it, or a file; anything else is left unreadable. False when the rule is refused.
static bool admit(int ruleset, int folder, const char *name)
{
    int fd = openat(folder, name, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return true;
    struct stat info = {};
    kernel::beneath rule = {0, fd};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        rule.allowed = kernel::read_file | kernel::read_dir;
    else if (S_ISREG(info.st_mode))
        rule.allowed = kernel::read_file; // a file takes file rights only
    bool added = rule.allowed == 0 || syscall(kernel::add_rule, ruleset, kernel::path_beneath, &rule, 0) == 0;
    close(fd); // O_PATH: nothing to lose
    return added;
}

// The ruleset fence adds rules to, and the error of the first rule refused.
struct ruling {
    int ruleset;
    bool refused;
    int error;
};

// Whether the working directory is the root, whose every entry is then read.
static bool rooted()
{
    struct stat here = {};
    struct stat top = {};
    return stat(".", &here) == 0 && stat("/", &top) == 0 && here.st_dev == top.st_dev &&
           here.st_ino == top.st_ino;
}

// Landlock: reading files and folders, anywhere but /proc, /sys and /dev, and nothing else:
// no write, make, remove, truncate, device ioctl or exec, no TCP bind or connect, no signal
// or abstract socket outside. Links in the folder are followed on purpose.
static bool fence()
{
    long version = syscall(kernel::create_ruleset, nullptr, 0, kernel::version_query);
    if (version < 0)
        return lacking("[main:80:landlock_create_ruleset]");
    int abi = version < kernel::known ? static_cast<int>(version) : kernel::known;
    kernel::ruleset rules = {kernel::fs_rights[abi], abi >= 4 ? kernel::tcp_bind_connect : 0,
                             abi >= 6 ? kernel::abstract_unix_and_signal : 0};
    size_t size = abi >= 6 ? sizeof rules : abi >= 4 ? offsetof(kernel::ruleset, scoped) : sizeof rules.fs;
    int ruleset = static_cast<int>(syscall(kernel::create_ruleset, &rules, size, 0));
    if (ruleset < 0)
        return lacking("[main:80:landlock_create_ruleset]");
    int top = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto rule = [](int folder, const char *name, void *context) {
        auto *rules = static_cast<ruling *>(context);
        bool kernels = strcmp(name, "proc") == 0 || strcmp(name, "sys") == 0 || strcmp(name, "dev") == 0;
        bool dots = strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
        if (!kernels && !dots && !rules->refused && !admit(rules->ruleset, folder, name)) {
            rules->refused = true;
            rules->error = errno;
        }
    };
    ruling added = {ruleset, false, 0};
    const char *failed = nullptr;
    if (top < 0)
        failed = "[main:80:open]";
    else if (!list(top, rule, &added))
        failed = "[main:80:getdents64]";
    else if (added.refused) {
        failed = "[main:80:landlock_add_rule]";
        errno = added.error;
    }
    if (failed == nullptr && !rooted() && !admit(ruleset, AT_FDCWD, "."))
        failed = "[main:80:landlock_add_rule]";
    if (failed == nullptr && syscall(kernel::restrict_self, ruleset, 0) != 0)
        failed = "[main:80:landlock_restrict_self]";
    int error = errno;
    if (top >= 0)
        close(top); // read-only
    close(ruleset);
    if (failed != nullptr)
        report(failed, strerror(error));
    return failed == nullptr;
}

// seccomp: the table as a program. The call's number comes first, so the kernel answers
// unchecked calls from its cache; checked calls try their rows in turn. Anything else, or
// another ABI, ends the process. Arguments are read at their low (little-endian) half.
static bool seal()
{
    if (architecture == 0) // cppcheck-suppress knownConditionTrueFalse ; no filter for this build
        return true;
    using kernel::op;
    op ops[instructions()];
    size_t at = 0;
    auto hop = [](size_t from, size_t to) { return static_cast<uint8_t>(to - from - 1); };
    ops[at++] = {kernel::load, 0, 0, kernel::at_arch};
    ops[at++] = {kernel::equal, 1, 0, architecture};
    ops[at++] = {kernel::give, 0, 0, kernel::kill};
    ops[at++] = {kernel::load, 0, 0, kernel::at_number};
    size_t abi = at++;
    size_t dispatch[rows] = {}; // where each call's number is tested
    for (size_t i = 0; i < rows; ++i)
        dispatch[i] = leading(i) ? at++ : 0;
    size_t deny = at++;
    size_t pass = at++;
    ops[abi] = {kernel::at_least, hop(abi, deny), 0, kernel::x32};
    ops[deny] = {kernel::give, 0, 0, kernel::kill};
    ops[pass] = {kernel::give, 0, 0, kernel::allow};
    for (size_t i = 0; i < rows; ++i) {
        if (!leading(i))
            continue;
        auto call = static_cast<uint32_t>(permitted[i].call);
        ops[dispatch[i]] = {kernel::equal, hop(dispatch[i], checked(i) ? at : pass), 0, call};
        if (!checked(i))
            continue;
        for (size_t j = i; j < rows; ++j) {
            if (permitted[j].call != permitted[i].call)
                continue;
            size_t tests[2] = {};
            size_t count = 0;
            const match *args[] = {&permitted[j].first, &permitted[j].second};
            for (const match *arg : args) {
                if (arg->how == any)
                    continue;
                ops[at++] = {kernel::load, 0, 0, kernel::at_first + arg->arg * kernel::arg_size};
                tests[count++] = at;
                ops[at++] = {jumps[arg->how], 0, 0, arg->value};
            }
            ops[at++] = {kernel::give, 0, 0, kernel::allow};
            for (size_t k = 0; k < count; ++k) { // a check that fails goes on to the next row
                op &test = ops[tests[k]];
                (test.code == kernel::any_bit ? test.yes : test.no) = hop(tests[k], at);
            }
        }
        ops[at++] = {kernel::give, 0, 0, kernel::kill};
    }
    kernel::program filter = {static_cast<unsigned short>(at), ops};
    if (prctl(PR_SET_SECCOMP, kernel::filter_mode, &filter) != 0)
        return lacking("[main:80:prctl]");
    return true;
}

// Makes a server started as root go on as nobody, keeping its capabilities for strip to
// cut: the kernel never limits the processes of its first namespace's root (see detach).
// Where nobody is not mapped, root stays: the kernel limits such a root. False, reported.
static bool anonymous()
{
    (void)prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0); // valid arguments: cannot fail
    const char *failed = nullptr;
    // A user namespace may deny setgroups; its groups then stay as they were mapped.
    if (setgroups(0, nullptr) != 0 && errno != EPERM)
        failed = "[main:80:setgroups]";
    else if (setresgid(nobody, nobody, nobody) != 0)
        failed = "[main:80:setresgid]";
    else if (setresuid(nobody, nobody, nobody) != 0)
        failed = "[main:80:setresuid]";
    if (failed != nullptr && errno != EINVAL)
        report(failed, strerror(errno));
    return failed == nullptr || errno == EINVAL;
}

// Gives up every capability but reading: a server started as root keeps CAP_DAC_READ_SEARCH
// (or CAP_DAC_OVERRIDE in a container), so root is still answered as root; any other user
// keeps none, since its checks ignore capabilities. False, reported.
static bool strip()
{
    kernel::cap_header whose = {kernel::cap_version, 0}; // this process
    kernel::cap_sets sets[2] = {};
    if (syscall(SYS_capget, &whose, sets) != 0) {
        report("[main:80:capget]", strerror(errno));
        return false;
    }
    uint32_t search = 1U << kernel::dac_read_search;
    uint32_t override = 1U << kernel::dac_override;
    uint32_t keep = 0;
    bool root = getuid() == 0; // the ids are one since settle
    if (root)
        keep = (sets[0].permitted & search) != 0 ? search : sets[0].permitted & override;
    // Fails only on kernels before 4.3, which have no ambient set.
    (void)prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (sets[0].effective & 1U << kernel::setpcap)
        for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
            if ((cap >= 32 || !(keep & 1U << cap)) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
                report("[main:80:prctl]", strerror(errno));
                return false;
            }
    if (root && !anonymous())
        return false;
    // A process with none has nothing to give up, and a service manager may refuse the call.
    bool some = false;
    for (const kernel::cap_sets &set : sets)
        some = some || set.effective != 0 || set.permitted != 0 || set.inheritable != 0;
    if (!some)
        return true;
    kernel::cap_sets kept[2] = {{keep, keep, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &whose, kept) != 0) {
        report("[main:80:capset]", strerror(errno));
        return false;
    }
    return true;
}

// Calls visit with each line of the file open on fd; one longer than the buffer is
// skipped.
static void scan(int fd, char *buffer, size_t size, void (*visit)(char *line, void *context), void *context)
{
    size_t held = 0;
    bool skipping = false;
    for (ssize_t got; (got = read(fd, buffer + held, size - held)) > 0;) {
        held += static_cast<size_t>(got);
        char *start = buffer;
        for (char *end; (end = static_cast<char *>(memchr(start, '\n', held - (start - buffer))));
             start = end + 1) {
            *end = '\0';
            if (!skipping)
                visit(start, context);
            skipping = false;
        }
        held -= static_cast<size_t>(start - buffer);
        memmove(buffer, start, held);
        if (held == size) {
            held = 0;
            skipping = true;
        }
    }
}

// Writes text to a file of /proc; whether it took it whole.
static bool put(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    bool done = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
    if (fd >= 0)
        close(fd); // nothing is buffered: the write said all
    return done;
}

// The line of an id map that maps id to itself alone, written into text: "ID ID 1".
static const char *mapping(char *text, unsigned id)
{
    char digits[sizeof id * 3] = {};
    size_t count = 0;
    do
        digits[count++] = static_cast<char>('0' + id % 10);
    while ((id /= 10) != 0);
    char *at = text;
    for (int twice = 0; twice < 2; ++twice, *at++ = ' ')
        for (size_t i = count; i > 0; --i)
            *at++ = digits[i - 1];
    at[0] = '1';
    at[1] = '\0';
    return text;
}

// Covers a mount of a kernel file system, given its mount-table line, with an empty
// read-only one, unless it lies in the served folder (where withheld refuses it).
static void cover(char *line, void *folder)
{
    char *field[5] = {};
    char *type = strstr(line, " - ");
    for (int i = 0; i < 5 && line != nullptr; ++i, line = strchr(line, ' '))
        field[i] = *line == ' ' ? ++line : line;
    if (field[4] == nullptr || type == nullptr || type < field[4])
        return;
    *strchr(field[4], ' ') = '\0';
    type += 3;
    *strchrnul(type, ' ') = '\0';
    char *to = field[4];
    for (const char *from = to; *from != '\0'; ++to)
        if (from[0] == '\\' && strlen(from) >= 4) {
            *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
            from += 4;
        } else {
            *to = *from++;
        }
    *to = '\0';
    const char *served = static_cast<const char *>(folder);
    size_t length = strlen(served);
    bool within = length > 1 && strncmp(field[4], served, length) == 0 && field[4][length] == '/';
    for (const pseudo &system : kernels)
        if (!within && strcmp(type, system.name) == 0)
            (void)mount("none", field[4], "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=555");
}

// Hides the kernel's file systems, wherever mounted, in a mount namespace of the server's
// own (a user's needs a user namespace), and lets go of the controlling terminal unless
// leading the session. Where the system refuses, the rest of the sandbox stands.
static void hide()
{
    int tty = getsid(0) == getpid() ? -1 : open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        (void)ioctl(tty, TIOCNOTTY); // it is this process's terminal: cannot fail
        close(tty);
    }
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return;
    char text[PATH_MAX] = {};
    if (uid != 0) {
        // A map that cannot be written leaves the ids unnamed in here, and the files' owners
        // as they are.
        (void)put("/proc/self/setgroups", "deny");
        (void)put("/proc/self/uid_map", mapping(text, uid));
        (void)put("/proc/self/gid_map", mapping(text, gid));
    }
    // Nothing done here may reach the mounts of the namespace the server was started in.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    char folder[PATH_MAX] = {};
    int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0 || getcwd(folder, sizeof folder) == nullptr) {
        if (table >= 0)
            close(table);
        return;
    }
    scan(table, text, sizeof text, cover, folder);
    close(table); // read-only
}

// Confines the server and every child: no new privileges, the kernel's file systems out of
// sight, no needless capability, then Landlock and seccomp. False, reported, on a failure.
static bool sandbox()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 && !lacking("[main:80:prctl]"))
        return false;
    hide();
    return strip() && fence() && seal();
}

// Reaps ended children the kernel left as zombies. Whether any is left.
static bool reap()
{
    pid_t ended = 0;
    do
        ended = waitpid(-1, nullptr, WNOHANG);
    while (ended > 0);
    return ended == 0;
}

// The stop signals since the last look, from the signalfd; a child's end reaps.
static int arrived(int signals)
{
    signalfd_siginfo taken[3]; // each of the three signals is pending once at the most
    ssize_t got = read(signals, taken, sizeof taken);
    int stops = 0;
    for (size_t i = 0; got > 0 && i < static_cast<size_t>(got) / sizeof *taken; ++i) {
        if (taken[i].ssi_signo == SIGCHLD)
            (void)reap(); // more of them may still run
        else
            ++stops;
    }
    return stops;
}

// Stops once the queued connections are taken: new ones are refused, answers in progress
// get the rest of the grace time, and a second stop signal (or again) ends the wait.
// Children still at work when the server ends are killed.
static void finish(timespec deadline, bool again, sigset_t awaited)
{
    close(listening); // the process ends soon: nothing to do if this fails
    // The end of each child is awaited now, reaped by the kernel or not: held back from
    // here on, none can slip in between a look and the wait.
    sigaddset(&awaited, SIGCHLD);
    (void)sigprocmask(SIG_BLOCK, &awaited, nullptr); // cannot fail with a valid how
    while (!again && reap()) {
        int ms = left(deadline);
        timespec rest = period(ms);
        int caught = sigtimedwait(&awaited, nullptr, &rest);
        if (caught == SIGTERM || caught == SIGINT || ms == 0)
            return;
    }
}

// Takes connections until a stop, a child for each, on a handed-over (shared) or its own
// socket, telling a service manager (managed) of the stop; the status to exit with.
[[gnu::noinline]] static int run(bool shared, bool managed, int signals, sigset_t awaited)
{
    pid_t server = getpid();
    int stops = 0;
    int untaken = -1;       // once stopping: the connections queued at the stop signal, not yet taken
    timespec deadline = {}; // the end of the grace time
    timespec taking = {};   // and of the taking of queued connections
    for (;;) {
        pollfd events[] = {{listening, POLLIN, 0}, {signals, POLLIN, 0}};
        // Running, wait for either; stopping, only look at what is there.
        if (poll(events, 2, stops > 0 ? 0 : -1) < 0)
            continue; // interrupted: look again
        if (events[1].revents != 0)
            stops += arrived(signals);
        if (stops > 1)
            break;
        if (stops > 0 && untaken < 0) {
            tell(managed, "STOPPING=1");
            untaken = queued();
            deadline = later(grace_ms);
            taking = untaken == INT_MAX ? later(guess_ms) : deadline;
        }
        bool waiting = events[0].revents != 0;
        if (stops > 0 && (!waiting || untaken == 0 || left(taking) == 0))
            break;
        if (!waiting)
            continue;
        int conn = next(shared);
        if (conn < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue; // another process took it, or the bound ran out: look again
        if (stops > 0)
            --untaken;
        trace("wow");
        if (conn < 0) {
            int error = errno;
            report("[main:82:accept]", strerror(error));
            if (error == EINVAL || error == EBADF || error == ENOTSOCK) {
                // The socket itself no longer listens (shut down by another holder, say):
                // end as in a stop, with a failure a service manager restarts on.
                finish(later(grace_ms), false, awaited);
                return 1;
            }
            if (stops > 0)
                break; // what cannot be taken now is left to the close
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                pollfd stop = {signals, POLLIN, 0};
                (void)poll(&stop, 1, pause_ms); // a stop signal cuts the pause short
            }
            continue;
        }
        pid_t child = spawn();
        if (child == 0) {
            bool orphan = !detach(server);
            trace("AW");
            // The child's copies of the listening and the notification sockets (musl has no
            // wrapper): the server keeps its own.
            (void)syscall(SYS_close_range, listening, notifier, 0);
            if (!orphan)
                resolve(conn);
            _exit(0); // which closes the connection: the answer is whole, or was cut short with a reset
        }
        if (child < 0)
            report("[main:88:fork]", strerror(errno));
        close(conn); // the child has its own copy; without a child the client sees the close
    }
    finish(deadline, stops > 1, awaited);
    return 0;
}

int main()
{
    if (!standard())
        return 1; // no standard descriptors, and nowhere to say so
    outputs[out] = note(out);
    outputs[err] = note(err);
    // The signals first: lines are written with the timer, and a stop signal that comes
    // before the loop waits for it.
    hold(SIG_SETMASK, 0);
    if (!handlers()) {
        report("[main:78:signal]", strerror(errno));
        return 1;
    }
    // Where the kernel reaps, the ends of children need not wake the loop.
    sigset_t awaited = hold(SIG_BLOCK, reaped() ? 0 : SIGCHLD);
    int handover = handed();
    if (handover < 0 || !tidy(handover == 1 ? listening + 1 : listening) || (handover == 0 && !endpoint()) ||
        !settle())
        return 1;
    bool managed = notifying();
    // The stop signals, and the ends of children, come as data the loop polls for along
    // with connections, so none can slip in between a look and a wait, however busy the
    // loop is.
    int signals = signalfd(-1, &awaited, SFD_NONBLOCK);
    if (signals < 0) {
        report("[main:78:signalfd]", strerror(errno));
        return 1;
    }
    if (!sandbox())
        return 1;
    trace("Listen");
    trace("GG");
    tell(managed, "READY=1");
    // The loop, and every child, runs from the top of a page of stack: a fork leaves each
    // page the server has written shared and write-protected, and the first write to it,
    // the server's or the child's, copies it. The frame here sits at a random place in its
    // page, and below it the loop's stack, with a child's, would straddle two pages or
    // three at times: a copy or two more for every connection.
    char here = 0;
    // cppcheck-suppress allocaCalled ; room in this frame, of a size known only now
    void *pad = alloca(reinterpret_cast<uintptr_t>(&here) % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)));
    __asm__ volatile("" : : "r"(pad) : "memory"); // the room is kept, though never used
    return run(handover == 1, managed, signals, awaited);
}
