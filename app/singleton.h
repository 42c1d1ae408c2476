#pragma once

#include <QThread>

#include <atomic>

// Process-wide singleton created on first use behind a three-state word:
// 0 = not created, 1 = being created, 2 = ready. Plugins reach the managers
// from pool threads, so creation must be safe from any thread.
template <typename T>
class Singleton
{
public:
    static T *instance()
    {
        if (s_state.load(std::memory_order_acquire) != Ready) {
            int expected = NotCreated;
            if (s_state.compare_exchange_strong(expected, Creating, std::memory_order_acq_rel)) {
                s_instance.store(new T, std::memory_order_release);
                s_state.store(Ready, std::memory_order_release);
            } else {
                while (s_state.load(std::memory_order_acquire) != Ready)
                    QThread::yieldCurrentThread();
            }
        }
        return s_instance.load(std::memory_order_acquire);
    }

private:
    enum { NotCreated = 0, Creating = 1, Ready = 2 };
    static inline std::atomic<int> s_state{NotCreated};
    static inline std::atomic<T *> s_instance{nullptr};
};
