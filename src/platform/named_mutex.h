#pragma once
// A named mutex held for the life of the object. A mutex whose owner was killed comes to the
// next waiter as abandoned, which counts as acquired: a dead launcher must not block the next.

#include <deque>
#include <vector>

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
    // False when another holder kept it for the whole time.
    bool acquireWithin(DWORD milliseconds);

  private:
    bool wait(DWORD milliseconds);

    KernelHandle mutex_;
    bool owned_ = false;
};

// Several names held together, always taken in the order given, so that two holders of the same
// list never each hold one and wait for the other.
class NamedMutexLocks {
  public:
    explicit NamedMutexLocks(const std::vector<WideString>& names);

    bool tryAcquire();
    // One deadline for all of them together.
    bool acquireWithin(DWORD milliseconds);

  private:
    std::deque<NamedMutexLock> locks_;
};

}  // namespace varnix
