// Worker threads for the archive engine's zlib work. The engine's own thread keeps
// every file access, event and progress point; the workers only turn buffers into
// buffers, so that on several cores compressing or inflating the next members
// overlaps the file work of the current one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class TWorkAhead {
public:
    // Threads are started on the first Post.
    explicit TWorkAhead(unsigned threads) : FWanted(threads ? threads : 1) {}
    TWorkAhead(const TWorkAhead&) = delete;
    TWorkAhead& operator=(const TWorkAhead&) = delete;

    // Jobs still queued are dropped; running ones finish first.
    ~TWorkAhead() {
        {
            std::lock_guard<std::mutex> g(FLock);
            FStop = true;
            FQueue.clear();
        }
        FWake.notify_all();
        for (auto& t : FThreads) t.join();
    }

    void Post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FThreads.empty())
                for (unsigned i = 0; i < FWanted; ++i) FThreads.emplace_back([this] { Serve(); });
            FQueue.push_back(std::move(job));
        }
        FWake.notify_one();
    }

    // A job marks its result ready; the engine waits for it. Sleeping and waking
    // cost system calls, so they happen only when the engine is really waiting.
    void Finished(std::atomic<bool>& ready) {
        ready.store(true);
        if (FWaiting.load()) {
            std::lock_guard<std::mutex> g(FDoneLock);
            FDone.notify_all();
        }
    }
    void Await(const std::atomic<bool>& ready) {
        if (ready.load()) return;
        std::unique_lock<std::mutex> g(FDoneLock);
        ++FWaiting;
        FDone.wait(g, [&] { return ready.load(); });
        --FWaiting;
    }

    // One worker per core, at least one.
    static unsigned Cores() {
        unsigned n = std::thread::hardware_concurrency();
        return n ? n : 1;
    }

private:
    void Serve() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> g(FLock);
                FWake.wait(g, [this] { return FStop || !FQueue.empty(); });
                if (FStop) return;
                job = std::move(FQueue.front());
                FQueue.pop_front();
            }
            job();
        }
    }

    unsigned FWanted;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<std::function<void()>> FQueue;
    std::vector<std::thread> FThreads;
    bool FStop = false;
    std::mutex FDoneLock;
    std::condition_variable FDone;
    std::atomic<int> FWaiting{0};
};

}  // namespace kv
