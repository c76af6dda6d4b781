#include "platform/Thread.h"

#include <system_error>
#include <thread>

bool Thread::detachNewThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
