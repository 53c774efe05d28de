#include "codec/threads.h"

namespace {

std::atomic<int> thread_limit{0};
thread_local bool this_thread_only = false;

} // namespace

void set_thread_limit(int threads) { thread_limit.store(threads < 0 ? 0 : threads, std::memory_order_relaxed); }

unsigned codec_threads(void)
{
    // WebAssembly without its threads extension has no threads to start,
    // and there a thread's constructor ends the program instead of throwing.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
    return 1;
#endif
    if (this_thread_only)
        return 1;
    int limit = thread_limit.load(std::memory_order_relaxed);
    // Asked once: the system answers by reading a file.
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return limit > 0 ? (unsigned)limit : cores;
}

CodecOnThisThread::CodecOnThisThread() : before(this_thread_only) { this_thread_only = true; }
CodecOnThisThread::~CodecOnThisThread() { this_thread_only = before; }

AheadOfUse::AheadOfUse(void (*task)(void))
{
    if (!task || codec_threads() < 2)
        return;
    try {
        thread = std::thread([task] {
            try {
                task();
            } catch (...) {
                // done again, and failing again, where it is needed
            }
        });
    } catch (...) {
    }
}

AheadOfUse::~AheadOfUse()
{
    if (thread.joinable())
        thread.join();
}
