// A critical section that the owning thread may enter again (entries nest,
// as with a recursive mutex): the lock type of most of the module's locks.
// OxCriticalSectionLock enters on construction and leaves on destruction;
// built from null it does nothing.
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

    // Blocks until held, whatever wait says; always true.
    bool enter(bool wait = true) ACQUIRE();
    void leave() RELEASE();

  private:
    OxCriticalSectionH m_handle;
};

class SCOPED_CAPABILITY OxCriticalSectionLock {
  public:
    // The analysis cannot follow the null case, which holds nothing.
    explicit OxCriticalSectionLock(OxCriticalSection* section)
        ACQUIRE(section) NO_THREAD_SAFETY_ANALYSIS : m_section(section) {
        if (m_section)
            m_section->enter(true);
    }
    ~OxCriticalSectionLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
        if (m_section)
            m_section->leave();
    }
    OxCriticalSectionLock(const OxCriticalSectionLock&) = delete;
    OxCriticalSectionLock& operator=(const OxCriticalSectionLock&) = delete;

  private:
    OxCriticalSection* m_section;
};
