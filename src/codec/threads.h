// Work shared out among threads. An exception must not leave a thread's
// function, where it ends the process: each share's is caught on its own
// thread and thrown again on the thread that waits for them all.
#ifndef GFX16_WORKERS_H
#define GFX16_WORKERS_H

#include <exception>
#include <mutex>
#include <thread>

const unsigned most_shares = 64;

// Runs share(0) .. share(n - 1), n at most most_shares: share 0 on this
// thread, each other on a thread of its own, or on this one after share 0
// when its thread cannot be started. Returns once all have ended; then
// throws again the first exception that any of them threw.
template <class Share>
void run_shares(unsigned n, Share share)
{
    std::thread threads[most_shares];
    std::exception_ptr failure;
    std::mutex lock;
    auto run = [&](unsigned i) {
        try {
            share(i);
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    for (unsigned i = 1; i < n && i < most_shares; i++) {
        try {
            threads[i] = std::thread(run, i);
        } catch (...) {
        }
    }
    run(0);
    for (unsigned i = 1; i < n && i < most_shares; i++) {
        if (threads[i].joinable())
            threads[i].join();
        else
            run(i);
    }
    if (failure)
        std::rethrow_exception(failure);
}

#endif
