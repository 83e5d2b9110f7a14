// The host's context of one request, handed to every backend operation: the
// caller's identity, the export, and (for rename) the target object, the
// backend object of the destination directory. One thread uses a context.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"

class BkEndProc;

// The caller's credentials as the RPC carried them; a default IdInfo is the
// host itself (root, no groups, no machine name).
struct IdInfo {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string machineName;
};

class LumeCtxt {
  public:
    LumeCtxt(const IdInfo& id, const ExportPtr& exp, const boost::shared_ptr<BkEndProc>& target)
        : m_id(id), m_export(exp), m_target(target) {}

    const IdInfo& GetIdInfo() const { return m_id; }
    ExportPtr& GetExport() { return m_export; }
    boost::shared_ptr<BkEndProc>& GetTargetObject() { return m_target; }
    void SetTargetObject(const boost::shared_ptr<BkEndProc>& target) { m_target = target; }

  private:
    IdInfo m_id;
    ExportPtr m_export;
    boost::shared_ptr<BkEndProc> m_target;
};
