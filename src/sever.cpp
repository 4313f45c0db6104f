// SPDX-License-Identifier: MIT
// sever: serves the files below its working directory over HTTP/1.0 on TCP port 8080 of
// every local IPv4 address, one child process per connection, with short trace lines on
// standard output. Only C and POSIX are used: a small process image forks faster.
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
#include <termios.h>
#include <time.h>
#include <unistd.h>

// The one port this server listens on; there is no configuration.
constexpr uint16_t port = 8080;
// Connections the kernel queues while the server is busy between two accepts: as many as
// it allows (it caps this at net.core.somaxconn, 4096 by default). A short queue overflows
// on a burst, and clients whose connection attempts were dropped retry only seconds later.
constexpr int backlog = INT_MAX;
// Trace lines go to standard output, error lines to standard error.
constexpr int out = STDOUT_FILENO;
constexpr int err = STDERR_FILENO;
// The listening socket: where a service manager hands one over, and where the server keeps
// its own.
constexpr int listening = 3;
// Room for the longest path the file system accepts, with method, version and line end.
constexpr size_t request_size = PATH_MAX + 64;
// Room for the request's first bytes, which hold the whole request line of nearly every
// client (see resolve).
constexpr size_t glance_size = 512;
// Bytes of directory entries read at a time, on the stack (see list).
constexpr size_t listing_size = 4096;
// Bytes per read when a file has to be copied because sendfile cannot serve it.
constexpr size_t chunk_size = 16384;
// Bytes per sendfile call. One call for the whole file stays in the kernel while the
// client drains the socket; pieces of this size, with the header held back only for the
// first, took a third off the server's CPU time per GiB over loopback here, and one
// stream went some 40% faster (bench/run, paired with the build before).
constexpr size_t send_piece = size_t{256} * 1024;
// Bytes a connection may hold that the kernel has not sent yet, for a file larger than a
// send buffer grows to (4 MiB by default): see transfer.
constexpr int unsent_bytes = 128 * 1024;
constexpr off_t bounded_from = off_t{4} << 20;
// Units of time, for the limits below and the deadlines built from them.
constexpr int ms_per_s = 1000;
constexpr int us_per_ms = 1000;
constexpr long ns_per_ms = 1000L * 1000;
constexpr long ns_per_s = ms_per_s * ns_per_ms;
// A client gets this long to send its request line, and to take any byte of the answer;
// after that its child gives up, so idle or stalled clients cannot pile up processes.
constexpr int request_ms = 30 * ms_per_s;
constexpr int send_ms = 30 * ms_per_s;
// After the answer, what the client still sends is read and dropped for at most this
// long and this much: closing with unread bytes makes the kernel reset the connection,
// and a reset makes clients throw away an answer they have not read yet.
constexpr int linger_ms = 2000;
constexpr size_t linger_bytes = 1 << 20;
// The user a server started as root goes on as (see anonymous): nobody, as Debian names it.
constexpr uid_t nobody = 65534;
// Pause after accept fails for want of descriptors or memory, so the loop does not spin.
constexpr int pause_ms = 100;
// After a stop signal, the queued connections and the answers in progress get this long
// to finish: less than the 10 s that service managers and container runtimes wait before
// they kill.
constexpr int grace_ms = 5 * ms_per_s;
// A trace or error line waits at most this long for its output (a pipe or terminal that
// nobody reads, a stalled log collector) to take it; then it is dropped, and so are the
// lines after it, without waiting, until the output takes bytes again.
constexpr int line_ms = 10;
// A handed-over socket may be shared with another instance, which can take a connection
// between poll and accept: the accept then gives up after this long and looks again.
constexpr int accept_ms = 10;
// Where a stop cannot count the queued connections, it takes what waits for at most this
// long, so that new arrivals cannot use up the grace time of the answers in progress.
constexpr int guess_ms = grace_ms / 5;
// CPU seconds a child may use, a limit it cannot raise: a taken-over child that spins is
// ended by the kernel, while the largest answer takes a small part of it (see
// doc/performance.md for what 100 GiB takes).
constexpr rlim_t cpu_s = 600;
// The service manager's notification socket, where it gave one, kept for the stop.
constexpr int notifier = listening + 1;

// Set by the timer's signal when it cut a bounded wait short, above all a line that its
// output did not take: the next line then goes out only if its output takes bytes at once.
static volatile sig_atomic_t stalled = 0;
// Standard output and error as the server was started with them: whether a line written
// to them can wait at all (see slow), and which files they are, never to be served. Set
// once at start, before any child; read only after that.
struct output {
    bool waits;
    dev_t device;
    ino_t inode;
};
static output outputs[STDERR_FILENO + 1] = {};

// The kernel's own file systems: what they hold is the kernel's state (the server's
// environment, every client's address, devices, the trace stream through /proc/self/fd),
// never a file to serve, wherever they are mounted. Each by the type statfs reports and
// the name the mount table gives; devtmpfs reports tmpfs's type, and holds no regular files.
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

// Waits at most ms for a descriptor to become ready (a connection is non-blocking since
// accept).
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

// Writes one line in a single call, so that lines of several processes never tear and
// nothing waits in a buffer to be lost, or written twice by a forked child. Where the
// output can keep a writer waiting, the write waits at most line_ms: an output that takes
// nothing then (a pipe or terminal nobody reads, a full socket) loses the line, and the
// lines after it are dropped at once until it takes bytes again. A pipe takes a line of up
// to PIPE_BUF bytes whole or not at all.
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

// Whether a send that returned result goes on: it made progress, was interrupted, or the
// client took bytes again within the send time limit. Not when the client is gone.
static bool onward(int conn, ssize_t result)
{
    if (result >= 0)
        return result > 0;
    if (errno == EINTR)
        return true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) && wait(conn, POLLOUT, send_ms);
}

// Sends all of data, with MSG_MORE when more follows at once; false when the client has
// gone or stopped taking bytes.
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

// Sends the status line and the empty line after it, echoing 200 and 404 on the trace,
// a 200 with the path it sends on the next line, both in one write.
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

// The monotonic clock, for a stop's deadline (a child's waits count their own time down:
// see await). Read with the system call rather than through the vDSO, whose code page a
// fork does not carry over: a child that read the clock would fault it in again.
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

// Waits at most the time left for the client to send something, or to close, and counts
// the wait off that time: ppoll, called directly, writes back what is left of it (the C
// library's wrappers keep that from the caller), so no clock is read. False once the time
// is up, or when the connection cannot be waited on.
static bool await(int conn, timespec &rest)
{
    pollfd ready = {conn, POLLIN, 0};
    long count = 0;
    do
        count = syscall(SYS_ppoll, &ready, 1, &rest, nullptr, 0); // no signal mask
    while (count < 0 && errno == EINTR);
    return count > 0;
}

// Receives what is there, waiting for it within the time left: the count of bytes, 0 once
// the client has shut down its sending side, -1 on an error or when time has run out.
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

// A token of the request text as strtok cuts it with the separator " ": leading spaces are
// skipped and the token runs to the next space or the end. Offsets into the text.
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

// Whether enough of the request has come to answer it: the path is followed by a space,
// or a line has ended, or the text has ended at a NUL byte.
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

// Cuts the method and the path out of the request text, in place. Returns false when the
// request is not a GET, which gets no answer at all. Otherwise *path is the requested
// name less one leading "/", or null when there is no name to look up: no path token, or
// one that runs to the end of a full buffer and so may have been cut short.
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

// The answer for a name that was found but could not be opened: gone or changed since the
// look is missing; anything else (above all, not readable) forbidden.
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

// Copies the file through a buffer, for files that sendfile cannot serve, up to size
// bytes, or with a size of 0 to its end: a file whose size reads 0 may still have content
// (those of /proc do), so it is read rather than trusted to be empty. False when the
// answer was cut short: the client is gone or too slow, the file ended early, or a read
// would have blocked. Kept out of line, so that its buffer is not part of answer's stack
// frame, where every child would touch a page more for it.
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

// Sends the file's bytes as they are, without copying them through this process, up to
// the size the file had when opened, a piece of at most send_piece bytes per call (a size
// of 0 is not trusted: see copy). A file larger than a send buffer grows to keeps at most
// unsent_bytes waiting unsent: without that bound the buffer fills with up to 4 MiB, and
// those bytes then leave from whichever process handles the client's acknowledgements;
// with it, the child sends its own bytes as the client takes them (four streams of 1 GiB
// went 28-45% faster over loopback here, bench/run paired). A smaller file goes into the
// buffer whole, without the wakeups the bound costs (a 1 MiB answer took 270 against
// 410 us of CPU here).
// A socket of another kind refuses the bound and sends the same bytes without. False
// when the answer was cut short: the client is gone, or took no byte within the send time
// limit, or the file has shrunk meanwhile, so that what the client got is not the whole
// of it.
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

// Whether what was opened is the server's own output (a log file that a link in the folder
// names) or lies on one of the kernel's own file systems: neither is ever sent, and what
// cannot be told is not sent either.
static bool secret(int file, const struct stat &info)
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

// Opens the file that path names if it is one to send: the status, and with ok the open
// file and what it is. A name that cannot be looked at (it does not exist, or a folder on
// the way may not be searched) is missing. Anything but a regular file is refused before
// it is opened, since
// an open is itself an act: it lets a FIFO's waiting writer go on, and a device sees an
// open it never asked for. The name may be swapped between the look and the open, so what
// was opened is looked at again: a FIFO swapped in at that moment is still opened, without
// blocking, and then refused.
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
    return fstat(*file, info) == 0 && S_ISREG(info->st_mode) && !secret(*file, *info) ? ok : forbidden;
}

// Answers a GET for path: the file system decides the status, the file is opened and
// checked before a 200 goes out, and only a regular file is sent. False when the answer
// was cut short.
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

// Ends the answer in order: the sending side is shut down and what the client still
// sends is read into the sink, a buffer done with, and dropped until it closes, within a
// bound, so no reset destroys the answer.
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

// Makes the connection end with a reset, however this process ends (a stop signal
// included), or again in order. The close marks the end of an answer, so an answer cut
// short must not end the way a whole one does.
static void reset(int conn, bool on)
{
    struct linger abort = {on ? 1 : 0, 0};
    // Should this fail, the connection ends in order after all.
    (void)setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// Holds back (SIG_BLOCK) or lets through (SIG_UNBLOCK) the stop signals, SIGTERM and
// SIGINT, and another one if not 0; or holds back those and lets every other signal
// through (SIG_SETMASK), whatever the parent left blocked: the timer's signal must come.
// Held back, they stay pending until read from a signalfd or taken with sigtimedwait, or
// are dropped when the process ends. Returns the set.
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

// Answers the request text, size bytes in a buffer of room bytes and one more, and ends
// the connection. Until the answer is whole, the connection is set to end with a reset, so
// that neither an answer cut short nor a child ended by a signal can pass for a whole one;
// a whole answer ends in order.
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

// Goes on receiving a request line that its first bytes did not complete, within the
// request time limit, in room for the longest, then answers it. Kept out of line, so that
// its buffer is not part of resolve's stack frame.
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

// Serves the one request of a connection. Its first bytes are received into a small
// buffer, which holds the whole request line of nearly every client: the line is answered
// from there, and the child touches a single page of stack, waiting for the client or
// answering it, so many connections cost little memory. A longer line goes on in room
// for the longest (see answer). A client that closes without a word is closed in order.
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

// Points every closed standard descriptor at /dev/null, before any socket can take its
// number and so receive the trace lines; and standard input at /dev/null whatever it was:
// the server never reads it, and a child taken over must not read the terminal it was
// started from. False when that cannot be done.
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

// Notes what standard output or error is. A write to a pipe, a terminal or a socket can
// keep the writer waiting, and lines to those are bounded (see emit); a write to a regular
// file is not cut short by a signal anyway, and the null device takes everything at once:
// lines to those go without the timer, two calls fewer a line. An output that cannot be
// looked at counts as one that waits.
static output note(int fd)
{
    struct stat info = {};
    if (fstat(fd, &info) != 0)
        return {true, 0, 0};
    bool null =
        S_ISCHR(info.st_mode) && major(info.st_rdev) == null_major && minor(info.st_rdev) == null_minor;
    return {!S_ISREG(info.st_mode) && !null, info.st_dev, info.st_ino};
}

// Takes the listening socket that a service manager handed over, on descriptor 3: 1 when
// there is one, 0 when none was handed to this process, and -1 (reported) when what was
// handed over is not the one listening stream socket the server can serve.
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

// Connects to the service manager's notification socket, on notifier, where it started the
// server with one (NOTIFY_SOCKET: a path, or an abstract name after "@"): it is told when
// the server serves and when it stops (see tell). Whether there is one.
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

// Tells the service manager how the server is: READY=1, STOPPING=1. What it does not take
// it does not need: the server goes on.
static void tell(bool managed, const char *state)
{
    if (managed)
        (void)send(notifier, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Where a directory entry, as getdents64 gives it, holds its size and its name.
constexpr size_t entry_size_at = 16, entry_name_at = 19;

// Calls visit with each name in the folder open on fd, "." and ".." included. The entries
// are read with the system call onto the stack: opendir would take room from the heap,
// and a heap is one more region of memory whose page tables every fork copies (see
// endpoint). False when they cannot be read.
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

// Closes every descriptor from first on that the server was started with: whatever a
// parent left open (a log file, say) would stay writable in the server and in every child,
// whatever the sandbox allows. Where the kernel lacks close_range (before 5.9) or a
// container's filter refuses it, the ones /proc lists are closed; the descriptor limit
// can be a million or more, too many to try one by one. False, reported, when neither
// works.
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

// Sets how a connection sends: a partly filled segment leaves at once instead of waiting
// for the client's acknowledgement; a 200's header still waits for the file. Over
// loopback here (bench/run, paired), that made one stream of 1 GiB a third faster.
// Accepted connections inherit it from the listening socket. A socket of another kind
// refuses it and sends the same bytes without.
static void tune(int conn)
{
    int on = 1;
    (void)setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Opens the listening socket on port 8080 of every local IPv4 address, on descriptor 3,
// non-blocking: the server waits in poll, never in accept. The address is written here,
// not looked up: getaddrinfo would take its answer from the heap, and a heap is one more
// region of memory whose page tables every fork copies and every child's end frees, some
// 8 us a connection here (without one, 1 KiB answers took 121 against 129 us of CPU). A
// failure is reported with the call that failed, and gives false.
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

// Settles on one identity when the real, effective and saved ids differ, without ever
// gaining privilege: an effective root gives way to the real user, with no supplementary
// groups; any other effective user stays. The file checks use the real ids and the open
// the effective ones: with both the same, no name swapped between the two can let the
// server send what its user may not read. False, reported, when it cannot.
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

// A client gone mid-answer, or an output whose reader is gone, shows as a failed send or
// write, not a fatal signal. Finished children are reaped by the kernel, so none is left
// a zombie, and each still raises SIGCHLD; an emulator such as qemu-user may not pass the
// flag on, and there the server reaps on SIGCHLD (see reaped and arrived). The timer's signal cuts
// short the call it interrupts: no SA_RESTART. The stop signals end a process by default,
// as they must end a child; the server holds them back and reads them from a signalfd.
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

// Makes a child: a copy of the process, with the system call itself. The C library's fork
// holds back every signal around the call and has the child ask for its thread id, seven
// calls a connection more, for the locks and fork handlers of threads this process never
// has; nothing the child does relies on them (it takes no lock, and signals no thread).
static pid_t spawn()
{
#ifdef SYS_fork
    return static_cast<pid_t>(syscall(SYS_fork));
#else
    return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)); // arm64 has clone alone
#endif
}

// Whether the kernel reaps ended children by itself, as the server asks (see handlers):
// a child made to end at once is then gone without a trace when waited for.
static bool reaped()
{
    pid_t probe = spawn();
    if (probe == 0)
        _exit(0);
    return probe > 0 && waitpid(probe, nullptr, 0) < 0 && errno == ECHILD;
}

// Sets a new child apart from the server: a stop signal ends it at once (how its
// connection then ends, answer decides), and the end of the server kills it, with a
// signal it cannot hold back: no child outlives the server. It may create no process
// either, and use no more than cpu_s of CPU: limits it cannot raise again (the kernel
// exempts only the first user namespace's root, which the server never is: see
// anonymous). False when the server has already ended.
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

// How many connections wait in the listen queue: for TCP the kernel says; for another
// kind of socket handed over (a Unix one), or where the answer is too short to hold the
// count (qemu-user gives TCP_INFO's first four bytes only), as many as may come, and
// guess_ms bounds the taking.
static int queued()
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(listening, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_unacked) + sizeof info.tcpi_unacked)
        return INT_MAX;
    return static_cast<int>(info.tcpi_unacked);
}

// Accepts a connection that poll saw waiting. The server's own socket never blocks; a
// handed-over one may, and another instance on it may take that connection first, so
// there the timer bounds the wait.
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

// The sandbox. Its kernel interfaces are defined here: musl has no kernel headers, and
// Debian 12's know only the first two versions of Landlock.
namespace kernel {
// Landlock: the calls, the ruleset's rights by version, and its structures.
constexpr long create_ruleset = 444, add_rule = 445, restrict_self = 446; // alike on every architecture
constexpr unsigned version_query = 1;
constexpr int path_beneath = 1;
constexpr uint64_t read_file = 1 << 2, read_dir = 1 << 3;
constexpr int known = 6; // the highest version these definitions know
// The file-system rights each version handles: thirteen in the first; then refer,
// truncate, (none), ioctl on devices. Version 4 adds TCP bind and connect, 6 the scopes.
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

// How a checked argument may look: its low 32 bits, all the kernel reads of the int
// arguments checked here (flags, options, levels, descriptors).
enum test : uint8_t {
    any,     // not checked
    is,      // exactly the value
    without, // none of the value's bits
    from,    // the value or more
};
// The BPF jump that makes each kind of test. For "without", a match of the bits is the
// failure, so seal sends its true branch to the next row instead of its false one.
constexpr uint16_t jumps[] = {0, kernel::equal, kernel::any_bit, kernel::at_least};
struct match {
    uint8_t arg = 0; // which argument, from 0
    test how = any;
    uint32_t value = 0;
};
// A call the confined process may make, with at most two checks on its arguments, both of
// which must hold. A call named in several rows may carry what any one of them allows.
struct rule {
    long call;
    match first = {};
    match second = {};
};

// Opening with any of these would write, create, empty or append to a file.
constexpr uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | kernel::tmpfile;
// The lowest descriptor of the server's own: below it are standard input, output and
// error, which are never read (a terminal the server was started from could be) nor shut.
constexpr uint32_t owned = STDERR_FILENO + 1;

#if !defined(__SANITIZE_ADDRESS__) && (defined(__x86_64__) || defined(__aarch64__))
#ifdef __x86_64__
constexpr uint32_t architecture = 0xC000003EU; // AUDIT_ARCH_X86_64
#else
constexpr uint32_t architecture = 0xC00000B7U; // AUDIT_ARCH_AARCH64
#endif
// What a process may ask of the kernel once it serves, and why. Anything else, exec,
// socket, bind, connect, mmap, kill, ptrace, unshare, capset or openat2 among it, ends the
// process; so does a checked call whose arguments no row allows. A child's fork fails all
// the same, by its limit (see detach). Where the two architectures or the two C libraries
// make different calls, the rows say which.
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
// Sanitizers need calls that serving does not (mmap, and more at exit), and other
// architectures have other numbers: the filter is for plain x86-64 and arm64 builds.
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
// The program's length: the architecture and x32 tests, one test of the number per call,
// kill and allow; then for each checked call, a load and a test per check and an allow
// per row, and a kill.
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

// Reports a failed sandbox call and gives false; a layer that the kernel lacks, or that a
// container's own filter refuses, is left out silently.
static bool lacking(const char *tag)
{
    if (errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL || errno == EPERM)
        return true;
    report(tag, strerror(errno));
    return false;
}

// Lets the ruleset read what lies below name (opened in folder, links followed): a folder
// and all below it, or a file. Anything else (a socket, say) is left unreadable, and so is
// a name that does not open, such as a dangling link. False when the rule is refused.
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

// The ruleset that fence adds a rule to for each entry of the root, and the error of the
// first rule refused, if one was.
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

// Landlock: files and folders may be read, anywhere but the kernel's own file systems
// (/proc, /sys and /dev, where a child could read other connections' trace lines through
// /proc/self/fd, the server's environment, every client's address, or a console's
// screen), and nothing else: no write, make, remove, truncate, device ioctl or exec; no
// TCP bind or connect; no signal or abstract socket outside the sandbox. Links placed in
// the served folder are followed on purpose, and the folder itself is read wherever it is.
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

// seccomp: the table above as a program. The call's number is looked at first, before any
// argument, so that the kernel answers every call that no row checks from its cache
// without running the program; a checked call goes on to its rows, tried in turn. A call
// of another architecture's ABI, or one no row allows, ends the process. Arguments are
// read at their low half: both architectures served here are little-endian.
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

// Makes a server started as root go on as the user nobody, with no supplementary groups,
// keeping its permitted capabilities for strip to cut: the kernel never limits the
// processes of its first namespace's root, and a limit is what keeps a child from making
// any (see detach). Where nobody is not mapped (a user namespace that maps root alone),
// root stays: the kernel limits such a root. False, reported, when it cannot.
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

// Gives up every capability but the one right that serving may need: a server started as
// root, as nobody now, keeps reading every file and searching every folder
// (CAP_DAC_READ_SEARCH, or where it was started without that, as in a container,
// CAP_DAC_OVERRIDE), so that root is still answered as root; nothing else, in any set,
// bounding and ambient included. Any other
// user keeps nothing: its checks ignore capabilities while its open would not, and a
// file the checks refuse must not be sent. The bounding set can be cut only with
// CAP_SETPCAP; a process without it can gain nothing from that set (no new privileges,
// no exec). False, reported, when a set cannot be cut.
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

// Calls visit with each line of the file open on fd, its end cut off; one longer than the
// buffer is skipped.
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
    strcpy(at, "1");
    return text;
}

// Covers a mount of the kernel's own file systems, given its line of the mount table, with
// an empty read-only file system, unless it lies in the served folder, where serving
// refuses what it holds (see secret). Its mount point, field 5, has its blanks escaped.
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

// Hides the kernel's own file systems (/proc, /sys, /dev and wherever else they are
// mounted) from the server and its children: a mount namespace of their own, where empty
// ones cover them. A user needs a user namespace for it, where its own ids are all there
// is. The controlling terminal is let go of as well, unless this process leads its
// session, which would hang the terminal up: Ctrl-C still reaches the whole group. Where
// the system refuses (a container, a service manager), the rest of the sandbox stands.
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

// Confines the server, and every child it forks, to what serving needs: no new
// privileges, the kernel's file systems out of sight, no capability it can do without,
// then Landlock and seccomp where the kernel has them. False, reported, when a layer the
// kernel has fails.
static bool sandbox()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 && !lacking("[main:80:prctl]"))
        return false;
    hide();
    return strip() && fence() && seal();
}

// Reaps the children that have ended, where the kernel has left them as zombies. Whether
// any is left: false once none is.
static bool reap()
{
    pid_t ended = 0;
    do
        ended = waitpid(-1, nullptr, WNOHANG);
    while (ended > 0);
    return ended == 0;
}

// The stop signals that came since the last look, read from the signalfd; an ended child's
// signal reaps on the way.
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

// Stops the server once the connections queued at the stop signal are taken: new
// connections are refused (a handed-over socket stays with the service manager, which
// holds them for the next start), and answers in progress get what is left of the grace
// time, until the deadline; a second stop signal ends the wait, or with again it has
// already come. Children still at work when the server ends are killed (see detach),
// those lingering after a whole answer included.
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

// Takes connections until a stop, a child for each, on a socket handed over (shared) or
// the server's own, with the signals read from the signalfd, telling a service manager
// (managed) of the stop; the status to exit with.
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
