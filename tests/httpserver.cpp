#include "httpserver.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace testutil {

HttpServer::HttpServer(const std::string& root, const std::vector<std::string>& options) {
    static int serial = 0;
    log_ = "/tmp/slabwright-http-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".log";
    std::remove(log_.c_str());
    std::vector<std::string> args = {"/usr/bin/python3", SLABWRIGHT_SOURCE_DIR "/tests/httpserver.py", root,
                                     "--log", log_};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;  // made before the fork: the child of a threaded program only execs
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // The script's first line is its port.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        char buf[64];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    port_ = line.find('\n') == std::string::npos ? 0 : std::atoi(line.c_str());
}

HttpServer::~HttpServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::remove(log_.c_str());
}

std::vector<std::string> HttpServer::lines() const {
    std::vector<std::string> all;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

std::vector<std::string> HttpServer::paths() const {
    std::vector<std::string> all = lines();
    all.erase(std::remove(all.begin(), all.end(), "#connection"), all.end());
    return all;
}

int HttpServer::count(const std::string& path) const {
    const auto all = paths();
    return static_cast<int>(std::count(all.begin(), all.end(), path));
}

int HttpServer::connections() const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), "#connection"));
}

}  // namespace testutil
