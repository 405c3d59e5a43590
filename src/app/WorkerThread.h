#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QEventLoop;

namespace nvds {

/// One job on a thread of its own, started from the GUI thread. The GUI thread can wait for it
/// in a local event loop that keeps the windows painting and serves the job's queued calls,
/// while the user's clicks, keys and close requests are dropped.
class CWorkerThread {
public:
    CWorkerThread();
    /// Joins a job still running.
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    /// Starts `job`; a previous job is joined first.
    void Start(std::function<void()> job);
    /// True from Start until the job has returned.
    bool Running() const { return m_thread.joinable() && !m_bFinished; }
    /// Waits, without pumping, for the job to end.
    void Join();
    /// Pumps events with user input dropped until the job has ended, then joins it.
    void WaitPumping();

private:
    std::thread m_thread;
    std::atomic<bool> m_bFinished{false};
    std::unique_ptr<QObject> m_waker;  // receives the job's "finished" on the GUI thread
    QEventLoop* m_pLoop = nullptr;
};

}  // namespace nvds
