// The thread that removes the exports whose expiry interval passed without a keep-alive.
#include "server/lumed/ExportSweeper.h"

#include <fcntl.h>

#include <vector>

#include "host/ExportCache.h"
#include "host/SavedExports.h"
#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"
#include "platform/UniqueFileId.h"
#include "server/handles/IssuedHandles.h"

namespace {
constexpr time_t kMinute = 60;
}  // namespace

ExportSweeper::ExportSweeper(FSM* fsm, unsigned minuteSeconds, std::chrono::milliseconds period)
    : m_fsm(fsm), m_minuteSeconds(minuteSeconds > 0 ? minuteSeconds : 1), m_period(period) {}

ExportSweeper::~ExportSweeper() {
    Stop();
}

void ExportSweeper::Start() {
    m_thread = std::thread(&ExportSweeper::Run, this);
}

void ExportSweeper::Stop() {
    {
        MutexLock guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

size_t ExportSweeper::SweepOnce(time_t now) {
    size_t removed = 0;
    for (ExportPtr exp : gAllExports->GetAllExports()) {
        // The export measures its interval in real minutes; present it the
        // time that has passed in ours.
        time_t last = exp->GetLastAccessTime();
        time_t scaledNow = last + (now - last) * kMinute / static_cast<time_t>(m_minuteSeconds);
        if (!exp->IsExpired(scaledNow))
            continue;
        OXLOG(1, 0, "Export [%s] expired without a keep-alive; removing it.",
              exp->GetPath().c_str());
        MutexLock guard(SavedExports::Lock());
        m_fsm->UnExport(exp);
        SavedExports::Removed(exp->GetPath());
        ++removed;
    }
    return removed;
}

size_t ExportSweeper::SweepIds() {
    size_t forgotten = 0;
    for (ExportPtr exp : gAllExports->GetAllExports()) {
        const UniqueFd root(OpenNoLinks(AT_FDCWD, exp->GetPath(), O_RDONLY | O_DIRECTORY));
        if (root.Valid())
            forgotten += SweepUniqueFileIds(root.Get(), kIdsPerSweep);
    }
    return forgotten + IssuedHandles::Process().Sweep(kHandlesPerSweep);
}

void ExportSweeper::Run() {
    UniqueMutexLock lock(m_mutex);
    while (!m_wake.wait_for(lock.Native(), m_period,
                            [this]() REQUIRES(m_mutex) { return m_stopping; })) {
        lock.unlock();
        SweepOnce(time(nullptr));
        SweepIds();
        lock.lock();
    }
}
