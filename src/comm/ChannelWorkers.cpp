#include "comm/ChannelWorkers.h"

#include <exception>

namespace tavrel::comm {

class ChannelWorkers::Worker
{
public:
    Worker()
        : m_thread([this] { Loop(); })
    {
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void Post(std::function<void()> work)
    {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(work));
        }
        m_wake.notify_one();
    }

private:
    void Loop()
    {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty()) {
                    return; // stopping, and nothing left to do
                }
                work = std::move(m_queue.front());
                m_queue.pop_front();
            }
            work();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stopping = false;
    std::thread m_thread; // last: starts once the members it uses exist
};

ChannelWorkers::ChannelWorkers() = default;
ChannelWorkers::~ChannelWorkers() = default;

void ChannelWorkers::RunAndWait(std::vector<Job>& jobs)
{
    struct Latch
    {
        std::mutex mutex;
        std::condition_variable done;
        std::size_t pending = 0;
        std::exception_ptr error;
    } latch;
    latch.pending = jobs.size();
    for (Job& job : jobs) {
        auto& worker = m_workers[job.channel];
        if (!worker) {
            worker = std::make_unique<Worker>();
        }
        worker->Post([&latch, &job] {
            std::exception_ptr error;
            try {
                job.work();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard lock(latch.mutex);
            if (error && !latch.error) {
                latch.error = error;
            }
            if (--latch.pending == 0) {
                latch.done.notify_one();
            }
        });
    }
    std::unique_lock lock(latch.mutex);
    latch.done.wait(lock, [&] { return latch.pending == 0; });
    if (latch.error) {
        std::rethrow_exception(latch.error);
    }
}

void ChannelWorkers::KeepOnly(const std::set<std::string>& channels)
{
    std::erase_if(m_workers, [&](const auto& worker) { return !channels.contains(worker.first); });
}

} // namespace tavrel::comm
