// SPDX-License-Identifier: MIT
// Black-box harness: runs the built server in a fresh directory, talks to it over
// 127.0.0.1:8080 and reads what it wrote to standard output and standard error.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// A fresh directory: the document root "root" below it, and room beside the root for
// files the server must never hand out and for its captured output.
struct Tree {
    Tree();
    ~Tree();
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
    std::string base;
    std::string root;
    // Writes a file below the root, making the folders on the way.
    void file(const std::string &name, const std::string &bytes, unsigned mode = 0644) const;
};

// How to start the server.
struct Launch {
    std::vector<std::string> args = {};    // command-line arguments after the program name
    std::vector<std::string> wrapper = {}; // a command to run it under, such as strace
    bool unprivileged = false;             // run as an ordinary user (needs root to switch)
    bool effective_only = false;           // keep the real user root, drop only the effective one
    uid_t uid = 65534;                     // the ordinary user
    long nproc = -1;                       // a process limit for that user, if not -1
    bool wait_ready = true;                // wait for the start-up lines before going on
    int blocked = 0;                       // a signal the server starts with blocked, if not 0
};

// The server, started in a tree's root with standard output and error captured to files.
// Stopping it ends its whole process group, so no child outlives the test.
struct Server {
    Server(const Tree &tree, const Launch &launch = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    std::string out() const;
    std::string err() const;
    // The exit status once the process has ended by itself, or -1 if it has not by then.
    int exited(std::chrono::milliseconds within);
    // Ends the server (and its children) now and waits for it.
    void stop();
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};

// What a client got back.
struct Reply {
    std::string bytes;
    bool reset = false;     // the connection ended with a reset
    bool timed_out = false; // it had not ended within the time allowed
};

// Opens a connection to 127.0.0.1:8080 (or another port), or returns -1.
int dial(int port = 8080);
// Whether a connection to 127.0.0.1:8080 can be opened now (it is closed again at once).
bool reachable(int port = 8080);
// Sends each piece in turn, pausing between pieces, then reads until the server closes.
Reply fetch(const std::vector<std::string> &pieces, std::chrono::milliseconds pause = 0ms,
            std::chrono::milliseconds within = 10s);
Reply fetch(const std::string &request);
// Reads until the server closes the connection, the time is up or an error occurs.
Reply drain(int fd, std::chrono::milliseconds within = 10s);
bool send_all(int fd, const std::string &bytes);

// Waits until the condition holds; false if it still does not when the time is up.
bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds within = 5s);

// Process ids of the server's children, and how many of them are zombies.
std::vector<pid_t> children(pid_t parent);
int zombies(pid_t parent);
// How many descriptors a process has open.
int descriptors(pid_t process);

// Bytes that look like nothing in particular, NUL bytes included.
std::string noise(size_t size, unsigned seed);
// The trace lines the server writes for the answers: the header echo, ended by puts' "\n".
extern const std::string echo200;
extern const std::string echo404;
std::string slurp(const std::string &path);
// The error line the server writes for a failed call, as perror writes it: the tag, then
// the C library's text for the error. The server may be linked against glibc or musl, whose
// texts differ, so this is the line as it stands in the server's own output, or empty.
std::string error_line(const std::string &output, const std::string &tag, int error);
// How often what occurs in text.
int occurrences(const std::string &text, const std::string &what);
// A launch under strace that records, in the file, how each process ended.
Launch traced(const std::string &file);
bool is_root();
// Runs prlimit with the options on a process, as the process's own user: root may lack
// CAP_SYS_RESOURCE, and then only that user may change its limits. Whether it succeeded.
bool limit(pid_t process, const std::string &options, std::string *out = nullptr);
