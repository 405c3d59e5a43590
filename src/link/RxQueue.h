#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace nvds {

/// Ordered, bounded queue of received bytes between the port's reader thread and the receive
/// dispatch thread. A full queue makes the reader wait; bytes are never dropped or reordered.
class RxQueue {
public:
    explicit RxQueue(size_t capacity = 64 * 1024) : m_nCapacity(capacity) {}

    /// Appends the bytes, waiting while the queue is full. Returns false (bytes not queued) when
    /// `abort` becomes true or the queue is shut down while waiting.
    bool Push(const uint8_t* data, size_t size, const std::atomic<bool>& abort);

    /// Takes everything queued, waiting until there is something. Returns false when shut down.
    bool PopAll(std::vector<uint8_t>& out);

    /// Wakes every waiter; a waiting Push re-checks its abort flag.
    void Wake();

    /// Ends the queue: Push and PopAll return false from now on.
    void Shutdown();

private:
    std::mutex m_mutex;
    std::condition_variable m_cvData;
    std::condition_variable m_cvSpace;
    std::deque<uint8_t> m_bytes;
    size_t m_nCapacity;
    bool m_bShutdown = false;
};

}  // namespace nvds
