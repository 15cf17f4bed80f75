#pragma once

#ifdef QT_CORE_LIB
#include <QCoreApplication>
#include <QEventLoop>
#endif

#include <chrono>
#include <functional>
#include <thread>

// Checks the condition until it holds; false when the deadline passes first. The deadline is a
// ceiling for a broken run, not a check of speed. Where Qt is linked, the event loop runs in
// between, so that queued signals and replies arrive.
inline bool WaitUntil(const std::function<bool()>& condition, int deadline_ms = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
#ifdef QT_CORE_LIB
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
#endif
        // Lets the threads and programs the condition waits for run on a busy machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
