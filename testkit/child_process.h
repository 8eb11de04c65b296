#ifndef QUORVANE_TESTKIT_CHILD_PROCESS_H
#define QUORVANE_TESTKIT_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

// A program run by a test, with its standard output and error in files. Whatever happens to the
// test, the process is stopped by its PID and reaped: the destructor kills one still running.
namespace testkit {

// `argv` behind the cross-compiling emulator's command, when the build has one; else unchanged.
std::vector<std::string> targetCommand(const std::vector<std::string>& argv);

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs argv[0] (a path, or a name looked up in PATH) with standard input from /dev/null; false when it
    // cannot be started.
    bool start(const std::vector<std::string>& argv, const std::string& stdoutPath,
               const std::string& stderrPath);
    // The same for a program of this build (a tool): in a cross build it runs under the emulator
    // the tests run under, so pid() is the emulator's, which passes signals on and exits as the
    // program does.
    bool startTarget(const std::vector<std::string>& argv, const std::string& stdoutPath,
                     const std::string& stderrPath) {
        return start(targetCommand(argv), stdoutPath, stderrPath);
    }

    pid_t pid() const { return mPid; }
    bool running();
    bool signal(int sig);
    // Waits up to `timeoutMs` for the process to end; then `*exitCode` is its exit status, or 128
    // plus the signal that ended it. False when it is still running.
    bool wait(int timeoutMs, int* exitCode);
    // SIGKILL and reap, when still running.
    void kill();

private:
    pid_t mPid = -1;
    bool mReaped = false;
    int mExitCode = -1;
};

// The whole content of a text file ("" when it cannot be read).
std::string readText(const std::string& path);
// Waits up to `timeoutMs` until the file holds `needle`; returns the content read last.
bool waitForText(const std::string& path, const std::string& needle, int timeoutMs,
                 std::string* content = nullptr);

}  // namespace testkit

#endif
