#pragma once

// Real X input for the programs that run on a private X server (with-xvfb): xdotool drives the
// pointer and the keys, and a count of the mouse releases tells a test when the server's events
// have all been handled, instead of sleeping for a guessed time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPoint>
#include <QProcess>
#include <QTest>

namespace nvds::test {

// Runs xdotool while the window's thread goes on handling events (a blocking wait would hold
// back every event xdotool causes until it has ended); its output with white space trimmed.
inline QString Xdo(const QStringList& args) {
    QProcess xdo;
    xdo.start("xdotool", args);
    EXPECT_TRUE(QTest::qWaitFor([&] { return xdo.state() == QProcess::NotRunning; }, 20000))
        << args.join(' ').toStdString();
    EXPECT_EQ(xdo.exitCode(), 0) << args.join(' ').toStdString();
    return QString::fromLocal8Bit(xdo.readAllStandardOutput()).trimmed();
}

class ReleaseCounter : public QObject {
public:
    ReleaseCounter() { qApp->installEventFilter(this); }
    ~ReleaseCounter() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched->isWindowType() && event->type() == QEvent::MouseButtonRelease) {
            ++releases;
        }
        return false;
    }
    // Clicks (count 1) or double-clicks (count 2) at a screen point and waits until the program
    // has handled every release.
    void ClickAt(QPoint at, int count = 1) {
        const int before = releases;
        Xdo({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "--repeat",
             QString::number(count), "--delay", "80", "1"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return releases >= before + count; }, 10000));
        QCoreApplication::processEvents();
    }
    int releases = 0;
};

}  // namespace nvds::test
