#include "platform/named_mutex.h"

namespace varnix {

NamedMutexLock::NamedMutexLock(const WideString& name)
    : mutex_(CreateMutexW(nullptr, FALSE, name.c_str())) {}

NamedMutexLock::~NamedMutexLock() {
    if (owned_) ReleaseMutex(mutex_.get());
}

bool NamedMutexLock::wait(DWORD milliseconds) {
    if (!mutex_ || owned_) return true;
    const DWORD result = WaitForSingleObject(mutex_.get(), milliseconds);
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return owned_ || result == WAIT_FAILED;
}

bool NamedMutexLock::tryAcquire() {
    return wait(0);
}

bool NamedMutexLock::acquireWithin(DWORD milliseconds) {
    return wait(milliseconds);
}

NamedMutexLocks::NamedMutexLocks(const std::vector<WideString>& names) {
    for (const WideString& name : names)
        locks_.emplace_back(name);
}

bool NamedMutexLocks::tryAcquire() {
    return acquireWithin(0);
}

bool NamedMutexLocks::acquireWithin(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (NamedMutexLock& lock : locks_) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (!lock.acquireWithin(left)) return false;
    }
    return true;
}

}  // namespace varnix
