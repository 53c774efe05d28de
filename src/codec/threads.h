// The codec's threads: how many a call may use, and work shared out among
// them. An exception must not leave a thread's function, where it ends the
// process: each share's is caught on its own thread and thrown again on the
// thread that waits for them all.
#ifndef GFX16_CODEC_THREADS_H
#define GFX16_CODEC_THREADS_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

const unsigned most_shares = 64;

// WebAssembly without its threads extension has no threads to start, and
// there a thread's constructor ends the program instead of throwing: every
// share runs on the caller's.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
const bool threads_can_start = false;
#else
const bool threads_can_start = true;
#endif

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
    for (unsigned i = 1; threads_can_start && i < n && i < most_shares; i++) {
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

// The most threads a call may use (gfx16_set_threads): 0 for one a core.
void set_thread_limit(int threads);

// The threads a call of the codec would use now: 1 on a thread that holds
// a CodecOnThisThread, else the limit, or one a core; 8 at most.
unsigned codec_threads(void);

// While one lives, the codec's calls on this thread use this thread alone:
// for callers that share the work out among threads themselves.
class CodecOnThisThread {
public:
    CodecOnThisThread();
    ~CodecOnThisThread();
    CodecOnThisThread(const CodecOnThisThread &) = delete;
    CodecOnThisThread &operator=(const CodecOnThisThread &) = delete;

private:
    bool before;
};

// Runs rows [0, rows) through `work(first, end)`, which returns false when
// memory ran out, split over a few threads. Rows are independent, so the
// result is the same on any number of them. False when any share failed.
template <class Work>
bool for_rows(int rows, uint64_t pixels, Work work)
{
    unsigned threads = codec_threads();
    if (threads < 2 || pixels < (1u << 16) || rows < 2)
        return work(0, rows);
    threads = std::min(threads, (unsigned)rows);
    std::atomic<bool> failed{false};
    run_shares(threads, [&](unsigned i) {
        if (!work((int)((int64_t)rows * i / threads), (int)((int64_t)rows * (i + 1) / threads)))
            failed = true;
    });
    return !failed;
}

#endif
