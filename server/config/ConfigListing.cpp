// The configuration program's listings of exports and of locks: rows taken from snapshots, cut to a
// reply's bounds, and their XDR encoding.
#include "server/config/ConfigListing.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>

#include "host/ExportCache.h"

namespace {

// The XDR bytes of an entry beyond its texts, rounded up.
constexpr size_t kEntryOverhead = 64;

std::string Clipped(std::string text) {
    if (text.size() > LUMECFG_TEXTLEN)
        text.resize(LUMECFG_TEXTLEN);
    return text;
}

std::string OptionalParam(const Export& exp, const char* key) {
    std::string value;
    exp.GetOptionalParam(key, value);
    return value;
}

uint64_t JobIdOf(const Export& exp) {
    const std::string text = OptionalParam(exp, "JobId");
    char* end = nullptr;
    unsigned long long id = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' ? id : 0;
}

int64_t ExpiryLeft(const Export& exp, time_t now) {
    const time_t interval = exp.GetExpiryInterval();
    if (interval == 0)
        return -1;
    const time_t left = exp.GetLastAccessTime() + interval - now;
    return left > 0 ? left : 0;
}

ExportRow RowOf(const Export& exp, uint32_t locks, time_t now) {
    ExportRow row;
    row.sharePath = Clipped(exp.GetPath());
    row.realPath = Clipped(OptionalParam(exp, "RealPath"));
    exp.GetAllowedClients(row.clients);
    row.clients = Clipped(row.clients);
    row.shareId = exp.GetShareId();
    row.perms = exp.GetSharePerms();
    row.refCount = exp.GetRefCount();
    row.expiryLeft = ExpiryLeft(exp, now);
    row.jobId = JobIdOf(exp);
    row.locks = locks;
    return row;
}

// Locks held through each share path.
std::map<std::string, uint32_t> LockCounts(FSM* fsm) {
    std::vector<HeldLock> locks;
    fsm->ListLocks(locks);
    std::map<std::string, uint32_t> counts;
    for (const HeldLock& lock : locks)
        ++counts[lock.sharePath];
    return counts;
}

// Whether one more entry of this many text bytes still fits a reply that
// holds `count` entries of `bytes` so far; the first always does.
bool Fits(size_t count, size_t bytes, size_t more) {
    return count == 0 ||
           (count < LUMECFG_LIST_MAX && bytes + more + kEntryOverhead <= LUMECFG_LIST_BYTES);
}

char* Text(const std::string& text) {
    return const_cast<char*>(text.c_str());
}

// An optional XDR text: the address of a pointer to it, or none.
class OptionalText {
  public:
    explicit OptionalText(const std::string& text) : m_text(Text(text)), m_empty(text.empty()) {}
    lumecfg_opttext Get() { return m_empty ? nullptr : &m_text; }

  private:
    char* m_text;
    bool m_empty;
};

}  // namespace

ExportPage ListExports(FSM* fsm, uint32_t from, time_t now) {
    const std::map<std::string, uint32_t> counts = LockCounts(fsm);
    ExportPage page;
    size_t bytes = 0;
    for (const ExportPtr& exp : gAllExports->GetAllExports()) {
        if (exp->GetShareId() < from)
            continue;
        auto count = counts.find(exp->GetPath());
        ExportRow row = RowOf(*exp, count == counts.end() ? 0 : count->second, now);
        size_t more = row.sharePath.size() + row.realPath.size() + row.clients.size();
        if (!Fits(page.rows.size(), bytes, more)) {
            page.more = true;
            page.nextShareId = row.shareId;
            break;
        }
        bytes += more + kEntryOverhead;
        page.rows.push_back(std::move(row));
    }
    return page;
}

bool ListExportLocks(FSM* fsm, const std::string& sharePath, LockPage& page) {
    ExportPtr exp;
    if (!gAllExports->FindExport(sharePath, exp))
        return false;
    std::vector<HeldLock> all;
    fsm->ListLocks(all);
    std::vector<HeldLock> mine;
    for (HeldLock& lock : all)
        if (lock.sharePath == sharePath)
            mine.push_back(std::move(lock));
    // Sorted, so a cut listing always shows the same locks.
    std::sort(mine.begin(), mine.end(), [](const HeldLock& a, const HeldLock& b) {
        return std::tie(a.file, a.owner) < std::tie(b.file, b.owner);
    });
    page.total = static_cast<uint32_t>(mine.size());
    size_t bytes = 0;
    for (HeldLock& lock : mine) {
        lock.file = Clipped(lock.file);
        if (!Fits(page.locks.size(), bytes, lock.file.size()))
            break;
        bytes += lock.file.size() + kEntryOverhead;
        page.locks.push_back(std::move(lock));
    }
    return true;
}

bool EncodeExportPage(XDR* out, const ExportPage* page, int status, const std::string& message) {
    std::vector<lumecfg_export_entry> entries;
    for (size_t i = 0; page && i < page->rows.size(); ++i) {
        const ExportRow& row = page->rows[i];
        entries.push_back({Text(row.sharePath), Text(row.realPath), row.shareId, Text(row.clients),
                           row.perms, row.refCount, row.expiryLeft, row.jobId, row.locks});
    }
    OptionalText text(message);
    lumecfg_list_res result{};
    result.status = status;
    result.message = text.Get();
    result.exports.exports_len = static_cast<u_int>(entries.size());
    result.exports.exports_val = entries.data();
    result.more = page && page->more;
    result.next_share_id = page ? page->nextShareId : 0;
    return xdr_lumecfg_list_res(out, &result);
}

bool EncodeLockPage(XDR* out, const LockPage* page, int status, const std::string& message) {
    std::vector<lumecfg_held_lock> entries;
    for (size_t i = 0; page && i < page->locks.size(); ++i) {
        const HeldLock& lock = page->locks[i];
        entries.push_back({lock.owner, lock.shared, Text(lock.file)});
    }
    OptionalText text(message);
    lumecfg_locks_res result{};
    result.status = status;
    result.message = text.Get();
    result.locks.locks_len = static_cast<u_int>(entries.size());
    result.locks.locks_val = entries.data();
    result.total = page ? page->total : 0;
    return xdr_lumecfg_locks_res(out, &result);
}
