#include "link/RxQueue.h"

#include <algorithm>

namespace nvds {

bool RxQueue::Push(const uint8_t* data, size_t size, const std::atomic<bool>& abort) {
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t done = 0;
    while (done < size) {
        m_cvSpace.wait(lock, [&] { return m_bShutdown || abort || m_bytes.size() < m_nCapacity; });
        if (m_bShutdown || abort) {
            return false;
        }
        size_t n = std::min(size - done, m_nCapacity - m_bytes.size());
        m_bytes.insert(m_bytes.end(), data + done, data + done + n);
        done += n;
        m_cvData.notify_one();
    }
    return true;
}

bool RxQueue::PopAll(std::vector<uint8_t>& out) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cvData.wait(lock, [&] { return m_bShutdown || !m_bytes.empty(); });
    if (m_bShutdown) {
        return false;
    }
    out.assign(m_bytes.begin(), m_bytes.end());
    m_bytes.clear();
    m_cvSpace.notify_all();
    return true;
}

void RxQueue::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cvSpace.notify_all();
}

void RxQueue::Shutdown() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bShutdown = true;
    m_cvData.notify_all();
    m_cvSpace.notify_all();
}

}  // namespace nvds
