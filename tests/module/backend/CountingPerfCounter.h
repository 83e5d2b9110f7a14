// A performance counter that records every Start and Stop the backend makes.
// While it lives it is the host's gPerfCounter and gPerfFlag is as given;
// both are restored on destruction. Start and Stop overwrite errno, so a
// test sees whether timing could reach the errno a caller gets.
#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "host/PerfCounters.h"

class CountingPerfCounter : public ThrdPerfCounter {
  public:
    static constexpr int kClobber = EDOM;

    struct Call {
        bool start;
        std::string category;
        int counter;
        unsigned long long bytes;
    };

    explicit CountingPerfCounter(bool counting)
        : m_savedCounter(gPerfCounter), m_savedFlag(gPerfFlag.load()) {
        gPerfCounter = this;
        gPerfFlag = counting;
    }
    ~CountingPerfCounter() override {
        gPerfCounter = m_savedCounter;
        gPerfFlag = m_savedFlag;
    }

    void StartPerfCounter(const char* category, int counter) override {
        calls.push_back({true, category, counter, 0});
        errno = kClobber;
    }
    void StopPerfCounter(const char* category, int counter, unsigned long long bytes) override {
        calls.push_back({false, category, counter, bytes});
        errno = kClobber;
    }

    std::vector<Call> calls;

  private:
    ThrdPerfCounter* m_savedCounter;
    bool m_savedFlag;
};
