// SPDX-License-Identifier: MIT
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

const std::string echo200 = "HTTP/1.0 200 OK\r\n\r\n\n";
const std::string echo404 = "HTTP/1.0 404 Not Found\r\n\r\n\n";

bool is_root()
{
    return geteuid() == 0;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string error_line(const std::string &output, const std::string &tag, int error)
{
    // musl's texts for the errors the tests provoke; glibc's come from strerror.
    const std::map<int, std::string> musl = {{EADDRINUSE, "Address in use"},
                                             {EMFILE, "No file descriptors available"},
                                             {EAGAIN, "Resource temporarily unavailable"}};
    for (const std::string &text : {std::string(strerror(error)), musl.count(error) ? musl.at(error) : ""}) {
        std::string line = tag + ": " + text + "\n";
        if (!text.empty() && output.find(line) != std::string::npos)
            return line;
    }
    return "";
}

int occurrences(const std::string &text, const std::string &what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

Launch traced(const std::string &file)
{
    // A sanitized server's leak check cannot run under a tracer, and would end it with 1.
    return {.wrapper = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-q", "-e",
                        "trace=none", "-e", "signal=none", "-o", file}};
}

Tree::Tree()
{
    char name[] = "/tmp/sever-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    base = name;
    root = base + "/root";
    fs::create_directory(root);
    // An unprivileged server must be able to reach its root and the files in it.
    fs::permissions(base, fs::perms(0755));
    fs::permissions(root, fs::perms(0755));
}

Tree::~Tree()
{
    // Give back the permissions tests took away, so that everything can be removed.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(base, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(base, ignored);
}

void Tree::file(const std::string &name, const std::string &bytes, unsigned mode) const
{
    fs::path path = fs::path(root) / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, fs::perms(mode));
}

Server::Server(const Tree &tree, const Launch &launch)
    : out_path(tree.base + "/out"), err_path(tree.base + "/err")
{
    bool drop = launch.unprivileged && is_root();
    // The server built with the tests, or another one named at run time (a cross-built
    // server run under an emulator, or an older build to compare with).
    const char *named = getenv("SEVER_BINARY");
    const std::string built = named != nullptr && *named != '\0' ? named : SEVER_BINARY;
    std::string binary = built;
    if (drop) {
        // The build may lie below a folder that other users may not enter (a checkout in
        // /root, say): the ordinary user runs a copy from the tree instead.
        binary = tree.base + "/sever";
        fs::copy_file(built, binary, fs::copy_options::overwrite_existing);
        fs::permissions(binary, fs::perms(0755));
    }
    std::vector<std::string> words = launch.wrapper;
    words.push_back(binary);
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // Emptied here, before the child exists, so that nothing of an earlier run is read.
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0)
        throw std::runtime_error("cannot create the output files");
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL); // as a shell would start it: the tests ignore the signal

        if (dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 || chdir(tree.root.c_str()) != 0)
            _exit(126);
        if (drop) {
            gid_t gid = launch.uid;
            uid_t real = launch.effective_only ? 0 : launch.uid;
            if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
                setresuid(real, launch.uid, real) != 0)
                _exit(126);
        }
        if (launch.nproc >= 0) {
            rlimit limit = {static_cast<rlim_t>(launch.nproc), static_cast<rlim_t>(launch.nproc)};
            if (setrlimit(RLIMIT_NPROC, &limit) != 0)
                _exit(126);
        }
        sigset_t blocked;
        sigemptyset(&blocked);
        if (launch.blocked != 0)
            sigaddset(&blocked, launch.blocked);
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (!launch.wait_ready)
        return;
    bool ready = eventually([&] { return out().find("Listen\nGG\n") == 0 || exited(0ms) != -1; }, 20s);
    if (!ready || out().find("Listen\nGG\n") != 0)
        ADD_FAILURE() << "the server did not start: stdout '" << out() << "' stderr '" << err() << "'"
                      << (is_root() ? "" : " (is port 8080 taken by another program?)");
}

Server::~Server()
{
    stop();
}

std::string Server::out() const
{
    return slurp(out_path);
}
std::string Server::err() const
{
    return slurp(err_path);
}

int Server::exited(std::chrono::milliseconds within)
{
    if (pid < 0)
        return -1;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(5ms);
    }
}

void Server::stop()
{
    if (pid < 0)
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

int dial(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool reachable(int port)
{
    int fd = dial(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

bool send_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

Reply drain(int fd, std::chrono::milliseconds within)
{
    Reply reply;
    auto deadline = std::chrono::steady_clock::now() + within;
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left <= 0ms) {
            reply.timed_out = true;
            return reply;
        }
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0)
            return reply;
        if (got < 0) {
            reply.reset = errno == ECONNRESET;
            return reply;
        }
        reply.bytes.append(buffer, static_cast<size_t>(got));
    }
}

Reply fetch(const std::vector<std::string> &pieces, std::chrono::milliseconds pause,
            std::chrono::milliseconds within)
{
    int fd = dial();
    if (fd < 0) {
        ADD_FAILURE() << "cannot connect to 127.0.0.1:8080: " << strerror(errno);
        return {};
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(pause);
        send_all(fd, pieces[i]);
    }
    Reply reply = drain(fd, within);
    close(fd);
    return reply;
}

Reply fetch(const std::string &request)
{
    return fetch(std::vector<std::string>{request});
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds within)
{
    auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The state letter and parent of a process, from /proc/PID/stat.
static bool status_of(pid_t process, char &state, pid_t &parent)
{
    std::string stat = slurp("/proc/" + std::to_string(process) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return false;
    std::istringstream rest(stat.substr(close_paren + 2));
    rest >> state >> parent;
    return !rest.fail();
}

std::vector<pid_t> children(pid_t parent)
{
    std::vector<pid_t> found;
    for (auto &entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        char state = 0;
        pid_t up = 0;
        if (status_of(std::stoi(name), state, up) && up == parent)
            found.push_back(std::stoi(name));
    }
    return found;
}

int zombies(pid_t parent)
{
    int count = 0;
    for (pid_t child : children(parent)) {
        char state = 0;
        pid_t up = 0;
        if (status_of(child, state, up) && state == 'Z')
            ++count;
    }
    return count;
}

int descriptors(pid_t process)
{
    std::error_code error;
    int count = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(process) + "/fd", error);
         it != fs::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

std::string noise(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(random() % 7 == 0 ? 0 : random() & 0xff);
    return bytes;
}

// Brings up the loopback interface of a fresh network namespace.
static bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // As root, every test process gets a network namespace of its own: a port 8080 taken
    // on the host, or by a test running beside this one, cannot get in the way.
    if (is_root() && (unshare(CLONE_NEWNET) != 0 || !loopback_up())) {
        fprintf(stderr, "cannot make a private network namespace: %s\n", strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}

bool limit(pid_t process, const std::string &options, std::string *out)
{
    std::string status = slurp("/proc/" + std::to_string(process) + "/status");
    auto id = [&](const std::string &key) {
        return std::to_string(std::stoul(status.substr(status.find(key) + 5)));
    };
    std::string as =
        is_root() ? "setpriv --reuid=" + id("\nUid:") + " --regid=" + id("\nGid:") + " --clear-groups " : "";
    FILE *run = popen((as + "prlimit --pid " + std::to_string(process) + " " + options).c_str(), "r");
    char buffer[256];
    while (run != nullptr && out != nullptr && fgets(buffer, sizeof buffer, run) != nullptr)
        *out += buffer;
    return run != nullptr && pclose(run) == 0;
}
