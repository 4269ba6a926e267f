#pragma once
// A named mutex held for the life of the object. A mutex whose owner was killed comes to the
// next waiter as abandoned, which counts as acquired: a dead launcher must not block the next.

#include "platform/handle.h"
#include "platform/text.h"

namespace varnix {

class NamedMutexLock {
  public:
    explicit NamedMutexLock(const WideString& name);
    ~NamedMutexLock();
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;

    // Without waiting. Also true when no mutex could be made: then there is nothing to wait for.
    bool tryAcquire();
    void acquire();

  private:
    bool wait(DWORD milliseconds);

    KernelHandle mutex_;
    bool owned_ = false;
};

}  // namespace varnix
