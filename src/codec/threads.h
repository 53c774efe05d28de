// Every thread of the library and of the programs starts here, under one
// limit (gfx16_set_threads): work shared out by run_shares, and work done
// ahead of its first use by AheadOfUse. Under a limit of 1 neither starts a
// thread. A thread that cannot be started leaves its work to the caller's.
//
// An exception must not leave a thread's function, where it ends the
// process: each share's is caught on its own thread and thrown again on the
// caller's once all have ended.
#ifndef GFX16_CODEC_THREADS_H
#define GFX16_CODEC_THREADS_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

// The most threads a call may use (gfx16_set_threads): 0 for one a core.
void set_thread_limit(int threads);

// The threads a call may use now, the caller's own counted: 1 on a thread
// that holds a CodecOnThisThread, else the limit, or one a core.
unsigned codec_threads(void);

// While one lives, calls on this thread use this thread alone: for callers
// that share the work out among threads themselves.
class CodecOnThisThread {
public:
    CodecOnThisThread();
    ~CodecOnThisThread();
    CodecOnThisThread(const CodecOnThisThread &) = delete;
    CodecOnThisThread &operator=(const CodecOnThisThread &) = delete;

private:
    bool before;
};

// More threads than this never pay: a few hold every core of the machines
// that run us, and each costs a stack.
const unsigned most_threads = 64;

// Runs share(0) .. share(shares - 1) on this thread and up to
// codec_threads() - 1 others, each thread taking the next share not yet
// taken, and returns once all have ended. After a share has thrown, no
// other starts; the first exception is then thrown again here.
template <class Share>
void run_shares(unsigned shares, Share share)
{
    const unsigned threads = std::min({shares, codec_threads(), most_threads});
    std::atomic<unsigned> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex lock;
    auto work = [&] {
        try {
            for (unsigned i; !failed && (i = next++) < shares;)
                share(i);
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock);
            if (!failure)
                failure = std::current_exception();
            failed = true;
        }
    };
    std::thread helpers[most_threads];
    for (unsigned t = 1; t < threads; t++) {
        try {
            helpers[t] = std::thread(work);
        } catch (...) {
            break;  // fewer helpers: the shares are taken by those there are
        }
    }
    work();
    for (unsigned t = 1; t < threads; t++)
        if (helpers[t].joinable())
            helpers[t].join();
    if (failure)
        std::rethrow_exception(failure);
}

// The codec's rows gain nothing from more threads than this: memory is
// what they wait for then.
const unsigned most_codec_threads = 8;

// Runs rows [0, rows) through `work(first, end)`, which returns false when
// memory ran out, in equal shares over a few threads. Rows are independent,
// so the result is the same on any number of them. False when any share
// failed.
template <class Work>
bool for_rows(int rows, uint64_t pixels, Work work)
{
    unsigned threads = std::min(codec_threads(), most_codec_threads);
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

// Work done on a thread beside the caller's ahead of its first use, such
// as tables built while a file is opened and read; waited for when it
// goes. When the limit allows no second thread, or none can be started,
// nothing runs ahead: the work is done where it is first needed. A null
// task is no work.
class AheadOfUse {
public:
    explicit AheadOfUse(void (*task)(void));
    ~AheadOfUse();
    AheadOfUse(const AheadOfUse &) = delete;
    AheadOfUse &operator=(const AheadOfUse &) = delete;

private:
    std::thread thread;
};

#endif
