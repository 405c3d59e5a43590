#include "app/GuiChannel.h"

#include <QThread>

namespace nvds {

void CGuiChannel::Post(std::function<void()> fn) {
    auto self = shared_from_this();
    // Posting under the lock: once Close() has returned, nothing more reaches the context.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen) {
        return;
    }
    QMetaObject::invokeMethod(
        m_context,
        [self, fn = std::move(fn)] {
            if (self->IsOpen()) {
                fn();
            }
        },
        Qt::QueuedConnection);
}

bool CGuiChannel::Call(const std::function<bool()>& fn, bool fallback) {
    if (QThread::currentThread() == m_context->thread()) {
        return IsOpen() ? fn() : fallback;
    }
    // The answer lives in shared state: the queued call may run after this caller gave up.
    struct Slot {
        bool done = false;
        bool result = false;
    };
    auto slot = std::make_shared<Slot>();
    auto self = shared_from_this();
    Post([self, slot, fn] {
        bool result = fn();
        std::lock_guard<std::mutex> lock(self->m_mutex);
        slot->result = result;
        slot->done = true;
        self->m_cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return slot->done || !m_bOpen; });
    return slot->done ? slot->result : fallback;
}

void CGuiChannel::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = false;
    m_cv.notify_all();
}

bool CGuiChannel::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen;
}

}  // namespace nvds
