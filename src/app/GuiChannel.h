#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace nvds {

/// The road from a worker thread to the GUI thread for one run of a worker: posted calls
/// (progress, results) and calls the worker waits for (questions). Once closed, nothing posted
/// through it runs any more and a waiting worker goes on at once with the fallback, so a worker
/// that outlives its window never touches it and never blocks the GUI thread's join.
class CGuiChannel : public std::enable_shared_from_this<CGuiChannel> {
public:
    /// `context` lives on the GUI thread; its owner closes the channel before destroying it.
    explicit CGuiChannel(QObject* context) : m_context(context) {}

    /// Queues `fn` to run on the GUI thread; returns at once.
    void Post(std::function<void()> fn);
    /// Runs `fn` on the GUI thread and waits for it; `fallback` when the channel is closed
    /// before it ran. On the GUI thread itself `fn` runs directly.
    bool Call(const std::function<bool()>& fn, bool fallback);
    /// Ends the channel: queued calls are dropped and waiting callers released.
    void Close();
    bool IsOpen() const;

private:
    QObject* m_context;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bOpen = true;
};

}  // namespace nvds
