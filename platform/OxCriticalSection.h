// The one locking primitive of the module: a critical section that the
// owning thread may enter again (entries nest, as with a recursive mutex).
// OxCriticalSectionLock enters on construction and leaves on destruction.
// Lock order: see platform/ThreadSafety.h.
#pragma once

#include "platform/ThreadSafety.h"

struct OxCriticalSectionImpl;
typedef OxCriticalSectionImpl* OxCriticalSectionH;

class CAPABILITY("mutex") OxCriticalSection {
  public:
    // Throws the C string "Not enough memory to initialize OxCriticalSection"
    // when the section cannot be made.
    OxCriticalSection();
    ~OxCriticalSection();
    OxCriticalSection(const OxCriticalSection&) = delete;
    OxCriticalSection& operator=(const OxCriticalSection&) = delete;

    // Blocks until held; the flag asks to wait, and the result is always true.
    bool enter(bool wait = true) ACQUIRE();
    void leave() RELEASE();

  private:
    OxCriticalSectionH m_handle;
};

class SCOPED_CAPABILITY OxCriticalSectionLock {
  public:
    explicit OxCriticalSectionLock(OxCriticalSection* section) ACQUIRE(section)
        : m_section(section) {
        m_section->enter(true);
    }
    ~OxCriticalSectionLock() RELEASE() { m_section->leave(); }
    OxCriticalSectionLock(const OxCriticalSectionLock&) = delete;
    OxCriticalSectionLock& operator=(const OxCriticalSectionLock&) = delete;

  private:
    OxCriticalSection* m_section;
};
