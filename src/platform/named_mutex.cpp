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

void NamedMutexLock::acquire() {
    wait(INFINITE);
}

}  // namespace varnix
