#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kivo::service {

// The model's own work queue: removals run one after another on one thread, so the HTTP
// workers never wait for the model and the segmentation network never runs twice at once.
//
// A removal holds a place from the moment its whole request has arrived until it is answered,
// and one account at most a fair share of the places (a quarter), so that no account keeps the
// others out; with every place taken, new removals are refused at once with an estimate of
// when to try again. The network is loaded on the queue's thread before the first
// job, and again before the next job after a failed load.
class RemovalQueue {
public:
    // Given back when the last copy goes away.
    class Place;
    using PlaceHandle = std::shared_ptr<Place>;

    // `niceness` (0 to 19) lowers the priority of the model's threads.
    RemovalQueue(int capacity, int niceness);
    ~RemovalQueue();

    RemovalQueue(const RemovalQueue&) = delete;
    RemovalQueue& operator=(const RemovalQueue&) = delete;

    // A place for the account, or nothing when all are taken or the account holds its share.
    PlaceHandle reserve(qint64 accountId);
    // The most places one account holds at once.
    int placesPerAccount() const;
    // Seconds until a place is likely to be free: the removals ahead times the recent duration
    // of one.
    int retryAfterSeconds() const;
    // Why the network could not be loaded at the last try; empty once it is loaded (or before
    // the first try). Asked ten seconds or more after a failed try, it starts another.
    QString modelError();

    // A job gets the reason the network cannot be loaded, empty when it is ready.
    using Job = std::function<void(const QString& modelError)>;
    // Runs the job on the queue's thread after the jobs before it. Jobs still waiting when the
    // queue stops are dropped.
    void run(Job job);
    // Loads the network now rather than before the first removal.
    void preload();
    void stop();
    // Set once stop() has begun: work finished now has nobody left to answer.
    bool isStopping() const;

private:
    void serve();
    void loadModel();

    const int m_capacity;
    const int m_niceness;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    int m_taken = 0;
    std::unordered_map<qint64, int> m_takenByAccount;
    bool m_stopping = false;
    std::chrono::milliseconds m_typicalJob{2000};
    bool m_modelReady = false;
    QString m_modelError;
    std::chrono::steady_clock::time_point m_lastLoad;
    std::thread m_thread;
};

} // namespace kivo::service
