#include "app/WorkerThread.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QWidget>

namespace nvds {

namespace {

// Swallows what the user does while a job runs; painting, timers and queued calls pass. A
// message box the job itself opens meanwhile takes input as usual, or nobody could close it.
class CInputBlocker : public QObject {
public:
    CInputBlocker() : m_pModalAtStart(QApplication::activeModalWidget()) {
        qApp->installEventFilter(this);
    }
    ~CInputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != m_pModalAtStart && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == modal) {
            return false;
        }
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            case QEvent::Close:
                // A window must not go away under the job: the close box is refused.
                event->ignore();
                return true;
            default:
                return false;
        }
    }

private:
    QWidget* m_pModalAtStart;
};

}  // namespace

CWorkerThread::CWorkerThread() : m_waker(std::make_unique<QObject>()) {}

CWorkerThread::~CWorkerThread() {
    Join();
}

void CWorkerThread::Start(std::function<void()> job) {
    Join();
    m_bFinished = false;
    m_thread = std::thread([this, job = std::move(job)] {
        job();
        m_bFinished = true;
        // The waker lives until this thread is joined, so the call cannot outlive it.
        QMetaObject::invokeMethod(
            m_waker.get(),
            [this] {
                if (m_pLoop != nullptr) {
                    m_pLoop->quit();
                }
            },
            Qt::QueuedConnection);
    });
}

void CWorkerThread::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CWorkerThread::WaitPumping() {
    if (!m_thread.joinable()) {
        return;
    }
    QEventLoop loop;
    CInputBlocker blocker;
    m_pLoop = &loop;
    // The "finished" of an earlier job that ended before its wait began may still be queued
    // and end this loop early: the loop runs until this job has really finished.
    while (!m_bFinished) {
        loop.exec();
    }
    m_pLoop = nullptr;
    m_thread.join();
}

}  // namespace nvds
