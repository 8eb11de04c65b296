// Waiting in threaded tests: poll a condition with a bound, and list the process's threads.
#ifndef QUORVANE_TESTS_THREAD_WAIT_H
#define QUORVANE_TESTS_THREAD_WAIT_H

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace thread_wait {

// True once `done()` holds; false when `timeoutMs` pass first.
template <class Done>
bool waitUntil(Done done, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Names of this process's threads (a joined thread leaves the list a moment after join()).
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(dir);
    return names;
}

inline int threadCount() {
    return static_cast<int>(threadNames().size());
}

}  // namespace thread_wait

#endif
