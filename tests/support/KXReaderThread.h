#ifndef KXREADERTHREAD_H
#define KXREADERTHREAD_H

#include <chrono>
#include <future>

namespace kxtest {

// Runs a blocking transport call on a thread of its own, as the connector
// does, so that the test thread stays free to play the device.
template <typename Fn>
auto onReaderThread(Fn fn)
{
    return std::async(std::launch::async, fn);
}

template <typename T>
bool finishesWithin(std::future<T>& future, int ms)
{
    return future.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

} // namespace kxtest

#endif // KXREADERTHREAD_H
