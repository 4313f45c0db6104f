// SPDX-License-Identifier: MIT
// The least a forking server can do, built like sever: accept, fork, and in the child read
// the request, send the status line and the file with sendfile, shut down, drain, exit. No
// trace lines, no limits, no sandbox, no care for slow or hostile clients: a floor to
// measure sever against, never a server to run. responder PORT, in the folder to serve.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Room for a request line of the benchmark's names.
constexpr size_t request_size = 1024;

static void answer(int conn)
{
    char request[request_size + 1];
    ssize_t got = recv(conn, request, request_size, 0);
    request[got > 0 ? got : 0] = '\0';
    char *name = strchr(request, '/');
    char *end = name ? strchr(name, ' ') : nullptr;
    int file = -1;
    struct stat info = {};
    if (end != nullptr) {
        *end = '\0';
        file = open(name + 1, O_RDONLY);
    }
    if (file < 0 || fstat(file, &info) != 0) {
        const char missing[] = "HTTP/1.0 404 Not Found\r\n\r\n";
        (void)send(conn, missing, sizeof missing - 1, 0);
    } else {
        const char ok[] = "HTTP/1.0 200 OK\r\n\r\n";
        (void)send(conn, ok, sizeof ok - 1, MSG_MORE);
        off_t offset = 0;
        while (offset < info.st_size &&
               sendfile(conn, file, &offset, static_cast<size_t>(info.st_size - offset)) > 0) {
        }
    }
    (void)shutdown(conn, SHUT_WR);
    while (recv(conn, request, request_size, 0) > 0) {
    }
}

int main(int argc, char **argv)
{
    long port = argc > 1 ? strtol(argv[1], nullptr, 10) : 8088;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct sigaction reaped = {};
    reaped.sa_handler = SIG_DFL;
    reaped.sa_flags = SA_NOCLDWAIT;
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 4096) != 0 || sigaction(SIGCHLD, &reaped, nullptr) != 0) {
        perror("responder");
        return 1;
    }
    for (;;) {
        int conn = accept(listener, nullptr, nullptr);
        if (conn < 0)
            continue;
        if (fork() == 0) {
            close(listener);
            answer(conn);
            _exit(0);
        }
        close(conn);
    }
}
