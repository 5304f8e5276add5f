#include "RemovalQueue.h"

#include "core/Log.h"
#include "removal/engine/ForegroundSegmenter.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

#include <sys/resource.h>
#include <unistd.h>

namespace kivo::service {

class RemovalQueue::Place {
public:
    Place(RemovalQueue& queue, qint64 accountId) : m_queue(queue), m_accountId(accountId) {}
    ~Place()
    {
        std::lock_guard lock(m_queue.m_mutex);
        --m_queue.m_taken;
        if (--m_queue.m_takenByAccount[m_accountId] <= 0)
            m_queue.m_takenByAccount.erase(m_accountId);
    }

private:
    RemovalQueue& m_queue;
    qint64 m_accountId;
};

RemovalQueue::RemovalQueue(int capacity, int niceness)
    : m_capacity(std::max(1, capacity))
    , m_niceness(std::clamp(niceness, 0, 19))
{
    m_thread = std::thread([this] { serve(); });
}

RemovalQueue::~RemovalQueue()
{
    stop();
}

RemovalQueue::PlaceHandle RemovalQueue::reserve(qint64 accountId)
{
    std::lock_guard lock(m_mutex);
    if (m_stopping || m_taken >= m_capacity)
        return nullptr;
    int& ofAccount = m_takenByAccount[accountId];
    if (ofAccount >= placesPerAccount()) {
        if (ofAccount == 0)
            m_takenByAccount.erase(accountId);
        return nullptr;
    }
    ++ofAccount;
    ++m_taken;
    return std::make_shared<Place>(*this, accountId);
}

int RemovalQueue::placesPerAccount() const
{
    return std::max(1, m_capacity / 4);
}

int RemovalQueue::retryAfterSeconds() const
{
    std::lock_guard lock(m_mutex);
    const double seconds = double(m_typicalJob.count()) / 1000.0 * std::max(1, m_taken);
    return std::clamp(int(std::ceil(seconds)), 1, 600);
}

QString RemovalQueue::modelError()
{
    std::unique_lock lock(m_mutex);
    if (m_modelError.isEmpty())
        return {};
    const QString error = m_modelError;
    const bool due = std::chrono::steady_clock::now() - m_lastLoad > std::chrono::seconds(10);
    if (due) {
        // The set-up may have been run since: try again, once, in the queue.
        m_lastLoad = std::chrono::steady_clock::now();
        lock.unlock();
        preload();
    }
    return error;
}

void RemovalQueue::run(Job job)
{
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return;
    m_jobs.push_back(std::move(job));
    m_wake.notify_one();
}

void RemovalQueue::preload()
{
    run([](const QString&) {});
}

void RemovalQueue::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_wake.notify_one();
    }
    if (m_thread.joinable())
        m_thread.join();
    // Dropped outside the lock: a job's captures may give back places.
    std::deque<Job> dropped;
    {
        std::lock_guard lock(m_mutex);
        dropped.swap(m_jobs);
    }
}

bool RemovalQueue::isStopping() const
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void RemovalQueue::serve()
{
    // The network keeps every core busy for seconds; sign-ins and lists must not wait behind it.
    // The runtime's own threads are made by the thread that loads the network, this one, and
    // inherit its priority.
    setpriority(PRIO_PROCESS, pid_t(gettid()), m_niceness);
    while (true) {
        Job job;
        bool modelReady = false;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            modelReady = m_modelReady;
        }
        if (!modelReady)
            loadModel();
        QElapsedTimer timer;
        timer.start();
        job(m_modelError);
        job = nullptr;
        const std::chrono::milliseconds took(timer.elapsed());
        // A running estimate that follows the last few removals; jobs that ran no network
        // (refusals, the preload) say nothing about them.
        if (took > std::chrono::milliseconds(10)) {
            std::lock_guard lock(m_mutex);
            m_typicalJob = (m_typicalJob * 3 + took) / 4;
        }
    }
}

void RemovalQueue::loadModel()
{
    QElapsedTimer timer;
    timer.start();
    const QString error = ForegroundSegmenter::shared().load();
    if (error.isEmpty())
        logLine(QStringLiteral("[kivopro-service] segmentation model ready (%1 s)").arg(double(timer.elapsed()) / 1000.0, 0, 'f', 1));
    else
        logLine(QStringLiteral("[kivopro-service] removals are unavailable: ") + error);
    std::lock_guard lock(m_mutex);
    m_modelReady = error.isEmpty();
    m_modelError = error;
    m_lastLoad = std::chrono::steady_clock::now();
}

} // namespace kivo::service
