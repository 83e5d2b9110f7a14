#include "host/Ganesha.h"

#include <string>

#include "platform/LogWriter.h"

namespace {

std::string PathOf(const ExportPtr& exp) {
    return exp ? exp->GetPath() : std::string();
}

int DefaultCreate(ExportPtr& exp) {
    OXLOG(-1, 0, "NFS-Ganesha is not running on this host; cannot create the export [%s].",
          PathOf(exp).c_str());
    return -1;
}

int DefaultUpdate(ExportPtr& exp) {
    OXLOG(-1, 0, "NFS-Ganesha is not running on this host; cannot update the export [%s].",
          PathOf(exp).c_str());
    return -1;
}

int DefaultManage(GaneshaCtrlCmd command, uint32_t shareId) {
    OXLOG(-1, 0,
          "NFS-Ganesha is not running on this host; cannot carry out command %d on share %u.",
          static_cast<int>(command), shareId);
    return -1;
}

GaneshaSeam::Calls Defaults() {
    return GaneshaSeam::Calls{DefaultCreate, DefaultUpdate, DefaultManage};
}

// Function-local so that a call during static initialisation finds it built.
GaneshaSeam::Calls& Current() {
    static GaneshaSeam::Calls calls = Defaults();
    return calls;
}

}  // namespace

int CreateGaneshaExport(ExportPtr& exp) {
    return Current().create(exp);
}

int UpdateGaneshaExport(ExportPtr& exp) {
    return Current().update(exp);
}

int ManageGaneshaExport(GaneshaCtrlCmd command, uint32_t shareId) {
    return Current().manage(command, shareId);
}

namespace GaneshaSeam {

void Set(const Calls& calls) {
    if (calls.create)
        Current().create = calls.create;
    if (calls.update)
        Current().update = calls.update;
    if (calls.manage)
        Current().manage = calls.manage;
}

void Reset() {
    Current() = Defaults();
}

}  // namespace GaneshaSeam
