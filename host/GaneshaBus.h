// A client of NFS-Ganesha's export manager on D-Bus: bus name
// org.ganesha.nfsd, object /org/ganesha/nfsd/ExportMgr, interface
// org.ganesha.nfsd.exportmgr.
//
// Every call opens its own connection to the system bus (the address in
// DBUS_SYSTEM_BUS_ADDRESS when set) and closes it before returning, so one
// GaneshaBus may be called from any number of threads at once; it holds no
// lock and no connection. A call, connecting included, never takes longer
// than the timeout given at construction: an unanswered call fails with
// "no reply from NFS-Ganesha within N s". Ganesha's Export_Id is 16 bits
// wide, and id 0 is its pseudo root, which it never removes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// ok: the call succeeded; text is Ganesha's reply message (may be empty).
// Otherwise text says why: Ganesha's own error message when it answered with
// an error, else that it is not running or did not answer in time.
struct GaneshaBusResult {
    bool ok = false;
    std::string text;
    bool refused = false;  // Ganesha answered, with an error
};

struct GaneshaExportEntry {
    uint16_t id = 0;
    std::string path;  // as Ganesha lists it
};

class GaneshaBus {
  public:
    explicit GaneshaBus(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // configPath: a file holding the EXPORT block; expression selects it,
    // as GaneshaExportExpression makes.
    GaneshaBusResult AddExport(const std::string& configPath, const std::string& expression) const;
    GaneshaBusResult UpdateExport(const std::string& configPath,
                                  const std::string& expression) const;
    GaneshaBusResult RemoveExport(uint16_t exportId) const;
    // On success, exports holds every export Ganesha has, in its order.
    GaneshaBusResult ShowExports(std::vector<GaneshaExportEntry>& exports) const;

  private:
    std::chrono::milliseconds m_timeout;
};
