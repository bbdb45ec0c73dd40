#pragma once
// What a process holds, read from /proc: threads, open descriptors, resident
// memory. Used to prove that nothing is left behind.

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi::Testing {

inline size_t countEntries(const char* directory)
{
    size_t count = 0;
    if (DIR* dir = ::opendir(directory)) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
    }
    return count;
}

inline size_t threadCount() { return countEntries("/proc/self/task"); }

// Threads before a test, counted after one thread has come and gone, so that
// helper threads a runtime starts with the first thread (the thread
// sanitizer's, for one) are part of the baseline.
inline size_t threadBaseline()
{
    std::thread([] {}).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return threadCount();
}
// One descriptor is the directory being listed.
inline size_t openDescriptors() { return countEntries("/proc/self/fd") - 1; }

// Threads end a moment after they are joined elsewhere (the simulator reaps
// its sessions); wait until `count()` falls to `expected` or the limit passes.
inline size_t settle(const std::function<size_t()>& count, size_t expected, int limit_ms = 3000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    size_t value = count();
    while (value > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        value = count();
    }
    return value;
}

} // namespace Vantrel::HolvaneApi::Testing
