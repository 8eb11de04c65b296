#include "testkit/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace testkit {

namespace {
constexpr int kPollMs = 10;
}

ChildProcess::~ChildProcess() {
    kill();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& stdoutPath,
                         const std::string& stderrPath) {
    if (argv.empty() || mPid > 0) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        int in = open("/dev/null", O_RDONLY);
        int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // The test runner may block signals; the program must see SIGINT and SIGTERM.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    mPid = pid;
    mReaped = false;
    return true;
}

bool ChildProcess::running() {
    if (mPid <= 0 || mReaped) return false;
    int status = 0;
    pid_t r = waitpid(mPid, &status, WNOHANG);
    if (r == 0) return true;
    mReaped = true;
    mExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return false;
}

bool ChildProcess::signal(int sig) {
    return running() && ::kill(mPid, sig) == 0;
}

bool ChildProcess::wait(int timeoutMs, int* exitCode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    if (mPid <= 0) return false;
    if (exitCode != nullptr) *exitCode = mExitCode;
    return true;
}

void ChildProcess::kill() {
    if (!running()) return;
    ::kill(mPid, SIGKILL);
    int status = 0;
    waitpid(mPid, &status, 0);
    mReaped = true;
    mExitCode = 128 + SIGKILL;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool waitForText(const std::string& path, const std::string& needle, int timeoutMs, std::string* content) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::string text = readText(path);
        bool found = text.find(needle) != std::string::npos;
        if (content != nullptr) *content = text;
        if (found) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace testkit
