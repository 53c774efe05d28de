#include "codec/threads.h"

namespace {

std::atomic<int> thread_limit{0};
thread_local bool this_thread_only = false;

} // namespace

void set_thread_limit(int threads) { thread_limit.store(threads < 0 ? 0 : threads, std::memory_order_relaxed); }

unsigned codec_threads(void)
{
    if (this_thread_only)
        return 1;
    int limit = thread_limit.load(std::memory_order_relaxed);
    // Asked once: the system answers by reading a file.
    static const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    return limit > 0 ? std::min((unsigned)limit, 8u) : cores;
}

CodecOnThisThread::CodecOnThisThread() : before(this_thread_only) { this_thread_only = true; }
CodecOnThisThread::~CodecOnThisThread() { this_thread_only = before; }
