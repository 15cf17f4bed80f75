#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>
#include <thread>

// Runs the Qt event loop until the condition holds; false when the deadline passes first. The
// deadline is a ceiling for a broken run, not a check of speed.
inline bool WaitUntil(const std::function<bool()>& condition, int deadline_ms = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // Lets the threads the condition waits for run on a busy machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
