#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::comm {

/// One worker thread per channel (a serial device, a TCP host and port), so that channels exchange side by
/// side while the PLCs of one channel take their turns on it. A worker holds nothing between two calls of
/// RunAndWait: the drivers travel with the jobs, and every job has ended when RunAndWait returns.
class ChannelWorkers
{
public:
    struct Job
    {
        std::string channel;
        std::function<void()> work;
    };

    ChannelWorkers();
    ChannelWorkers(const ChannelWorkers&) = delete;
    ChannelWorkers& operator=(const ChannelWorkers&) = delete;
    /// Ends every worker; waits for none, since none is busy outside RunAndWait.
    ~ChannelWorkers();

    /// Runs every job on the worker of its channel, the jobs of one channel in the order given, and returns when
    /// all have ended. A job that throws has its exception passed on here, after the others ended.
    void RunAndWait(std::vector<Job>& jobs);

    /// Ends the workers of every channel not in `channels`.
    void KeepOnly(const std::set<std::string>& channels);

    std::size_t WorkerCount() const { return m_workers.size(); }

private:
    class Worker;
    std::map<std::string, std::unique_ptr<Worker>> m_workers;
};

} // namespace tavrel::comm
