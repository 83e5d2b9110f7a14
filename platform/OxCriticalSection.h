// The one locking primitive of the module: a critical section that the
// owning thread may enter again (entries nest, as with a recursive mutex).
// OxCriticalSectionLock enters on construction and leaves on destruction;
// built from null it does nothing.
#pragma once

struct OxCriticalSectionImpl;
typedef OxCriticalSectionImpl* OxCriticalSectionH;

class OxCriticalSection {
  public:
    // Throws the C string "Not enough memory to initialize OxCriticalSection"
    // when the section cannot be made.
    OxCriticalSection();
    ~OxCriticalSection();
    OxCriticalSection(const OxCriticalSection&) = delete;
    OxCriticalSection& operator=(const OxCriticalSection&) = delete;

    // Blocks until held; the flag asks to wait, and the result is always true.
    bool enter(bool wait = true);
    void leave();

  private:
    OxCriticalSectionH m_handle;
};

class OxCriticalSectionLock {
  public:
    explicit OxCriticalSectionLock(OxCriticalSection* section) : m_section(section) {
        if (m_section)
            m_section->enter(true);
    }
    ~OxCriticalSectionLock() {
        if (m_section)
            m_section->leave();
    }
    OxCriticalSectionLock(const OxCriticalSectionLock&) = delete;
    OxCriticalSectionLock& operator=(const OxCriticalSectionLock&) = delete;

  private:
    OxCriticalSection* m_section;
};
