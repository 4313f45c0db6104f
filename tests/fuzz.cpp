// SPDX-License-Identifier: MIT
// Fuzzes the server's own request handling: arbitrary request bytes go over a socket pair
// to resolve, in a document root with a few files and a secret file beside it. The answer
// must be nothing, or exactly one status header, and after a 200 exactly the bytes of the
// file that the trace names, inside the root; the secret must never show.
#define main sever_main
#include "../src/sever.cpp"
#undef main

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string secret = "s3cret-5e9a1f-never-to-be-served";
int trace_in = -1; // read end of the pipe that standard output is redirected to
std::string base, root;

void fail(const char *what, const std::string &reply, const std::string &trace)
{
    fprintf(stderr, "fuzz: %s\nreply (%zu bytes): %.300s\ntrace: %.300s\n", what, reply.size(), reply.c_str(),
            trace.c_str());
    abort();
}

std::string read_all(int fd)
{
    std::string bytes;
    char buffer[65536];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<size_t>(got));
    return bytes;
}

std::string file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void stage()
{
    char name[] = "/tmp/sever-fuzz-XXXXXX";
    if (!mkdtemp(name))
        abort();
    base = name;
    atexit([] {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    });
    root = base + "/root";
    fs::create_directories(root + "/dir/sub");
    std::ofstream(base + "/secret.txt") << secret;
    std::ofstream(root + "/index.html") << "<h1>hello</h1>\n";
    std::ofstream(root + "/dir/inner.txt") << "inner\n";
    std::ofstream(root + "/dir/sub/deep.txt") << "deep\n";
    std::ofstream(root + "/empty");
    std::string binary;
    for (int i = 0; i < 3000; ++i)
        binary += static_cast<char>(i * 7 % 256);
    std::ofstream(root + "/bin", std::ios::binary) << binary;
    fs::create_symlink("index.html", root + "/link");
    if (mkfifo((root + "/fifo").c_str(), 0644) != 0 || chdir(root.c_str()) != 0)
        abort();
    // The trace lines go to a pipe that each run empties.
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_NONBLOCK) != 0 || dup2(pipe_ends[1], STDOUT_FILENO) < 0)
        abort();
    trace_in = pipe_ends[0];
    signal(SIGPIPE, SIG_IGN);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    stage();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        abort();
    int flags = fcntl(ends[0], F_GETFL);
    fcntl(ends[0], F_SETFL, flags | O_NONBLOCK); // as accept hands it to the child
    if (write(ends[1], data, size) != static_cast<ssize_t>(size))
        abort();
    shutdown(ends[1], SHUT_WR);
    resolve(ends[0]);
    close(ends[0]);
    std::string reply = read_all(ends[1]);
    close(ends[1]);
    std::string trace = read_all(trace_in);

    const std::string ok = status_lines[0], forbidden = status_lines[1], missing = status_lines[2];
    if (reply.find(secret) != std::string::npos)
        fail("the secret was served", reply, trace);
    if (reply.empty() || reply == forbidden) {
        if (!trace.empty())
            fail("trace lines without an echoed answer", reply, trace);
    } else if (reply == missing) {
        if (trace != missing + "\n")
            fail("404 without its echo", reply, trace);
    } else if (reply.compare(0, ok.size(), ok) == 0) {
        if (trace.compare(0, ok.size() + 1, ok + "\n") != 0 || trace.back() != '\n')
            fail("200 without its echo and path", reply, trace);
        std::string path = trace.substr(ok.size() + 1, trace.size() - ok.size() - 2);
        std::error_code error;
        std::string real = fs::canonical(path, error).string();
        if (error || real.compare(0, root.size() + 1, root + "/") != 0)
            fail("a file outside the root was served", reply, trace);
        if (reply.substr(ok.size()) != file_bytes(path))
            fail("the body is not the file's bytes", reply, trace);
    } else {
        fail("not one of the three answers", reply, trace);
    }
    return 0;
}
