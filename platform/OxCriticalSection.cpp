// OxCriticalSection over a std::recursive_mutex.
#include "platform/OxCriticalSection.h"

#include <mutex>
#include <new>

struct OxCriticalSectionImpl {
    std::recursive_mutex mutex;
};

OxCriticalSection::OxCriticalSection() : m_handle(new (std::nothrow) OxCriticalSectionImpl) {
    if (!m_handle)
        throw "Not enough memory to initialize OxCriticalSection";
}

OxCriticalSection::~OxCriticalSection() {
    delete m_handle;
}

bool OxCriticalSection::enter(bool /*wait*/) {
    // Callers rely on holding the section afterwards, so a caller asking not
    // to wait blocks as well.
    m_handle->mutex.lock();
    return true;
}

void OxCriticalSection::leave() {
    m_handle->mutex.unlock();
}
