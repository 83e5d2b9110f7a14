// The calls to NFS-Ganesha's export manager over D-Bus (sd-bus), each on its
// own connection and bounded by the timeout.
#include "host/GaneshaBus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

namespace {

constexpr const char* kService = "org.ganesha.nfsd";
constexpr const char* kObject = "/org/ganesha/nfsd/ExportMgr";
constexpr const char* kInterface = "org.ganesha.nfsd.exportmgr";

struct BusClose {
    // No flush: it could wait on a bus that stopped reading.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

using Clock = std::chrono::steady_clock;

std::string Seconds(std::chrono::milliseconds d) {
    std::ostringstream out;
    out << static_cast<double>(d.count()) / 1000.0;
    return out.str();
}

GaneshaBusResult Failure(const std::string& text) {
    return GaneshaBusResult{false, text};
}

GaneshaBusResult SystemFailure(const char* what, int negErrno) {
    return Failure(std::string(what) + ": " + std::strerror(-negErrno));
}

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<MessagePtr*>(userdata)->reset(sd_bus_message_ref(m));
    return 0;
}

// Runs the connection until the reply arrives or the deadline passes. The
// connection's own set-up (authentication, Hello) runs in the same loop, so
// a bus that accepts the socket but never answers is bounded too.
GaneshaBusResult AwaitReply(sd_bus* bus, const MessagePtr& reply, Clock::time_point deadline,
                            std::chrono::milliseconds timeout) {
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (reply)
            return GaneshaBusResult{true, ""};
        if (r < 0)
            return SystemFailure("the connection to the system bus failed", r);
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return Failure("no reply from NFS-Ganesha within " + Seconds(timeout) + " s");
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
        if (r < 0 && r != -EINTR)
            return SystemFailure("waiting on the system bus failed", r);
    }
}

GaneshaBusResult ErrorReply(sd_bus_message* reply) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        return Failure(std::string("NFS-Ganesha is not running: nothing owns ") + kService +
                       " on the system bus");
    GaneshaBusResult result = Failure(error->message && *error->message ? error->message
                                      : error->name                     ? error->name
                                                                        : "unknown D-Bus error");
    result.refused = true;
    return result;
}

// One method call on its own connection. On success, reply holds the
// answer for the caller to read.
GaneshaBusResult Call(const char* method, std::chrono::milliseconds timeout,
                      const std::function<int(sd_bus_message*)>& appendArguments,
                      MessagePtr& reply) {
    const Clock::time_point deadline = Clock::now() + timeout;
    sd_bus* rawBus = nullptr;
    int r = sd_bus_open_system(&rawBus);
    if (r < 0)
        return SystemFailure("NFS-Ganesha is not running: the system bus cannot be reached", r);
    BusPtr bus(rawBus);

    sd_bus_message* rawCall = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kObject, kInterface, method);
    if (r < 0)
        return SystemFailure("cannot build the D-Bus call", r);
    MessagePtr call(rawCall);
    r = appendArguments(call.get());
    if (r < 0)
        return SystemFailure("cannot build the D-Bus call", r);

    // AwaitReply's deadline decides; sd-bus's own timer, later, is only a
    // backstop, so that an answer of the bus itself is never taken for one.
    const uint64_t backstopUsec =
        2 * std::chrono::duration_cast<std::chrono::microseconds>(timeout).count() + 1;
    sd_bus_slot* rawSlot = nullptr;
    r = sd_bus_call_async(bus.get(), &rawSlot, call.get(), OnReply, &reply, backstopUsec);
    if (r < 0)
        return SystemFailure("cannot send the D-Bus call", r);
    SlotPtr slot(rawSlot);

    GaneshaBusResult result = AwaitReply(bus.get(), reply, deadline, timeout);
    if (result.ok && sd_bus_message_is_method_error(reply.get(), nullptr))
        return ErrorReply(reply.get());
    return result;
}

int NoArguments(sd_bus_message*) {
    return 0;
}

// AddExport and UpdateExport: (s path, s expression) -> s message.
GaneshaBusResult CallWithConfig(const char* method, std::chrono::milliseconds timeout,
                                const std::string& configPath, const std::string& expression) {
    MessagePtr reply;
    GaneshaBusResult result = Call(
        method, timeout,
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ss", configPath.c_str(), expression.c_str());
        },
        reply);
    if (!result.ok)
        return result;
    const char* message = nullptr;
    if (sd_bus_message_read(reply.get(), "s", &message) > 0 && message)
        result.text = message;
    return result;
}

// Ganesha 4 sends the id as q; older releases sent i.
int ReadExportId(sd_bus_message* m, uint16_t& id) {
    char type = 0;
    int r = sd_bus_message_peek_type(m, &type, nullptr);
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    if (type == SD_BUS_TYPE_UINT16)
        return sd_bus_message_read_basic(m, type, &id);
    int32_t wide = 0;
    r = sd_bus_message_read_basic(m, SD_BUS_TYPE_INT32, &wide);
    if (r < 0)
        return r;
    if (wide < 0 || wide > UINT16_MAX)
        return -ERANGE;
    id = static_cast<uint16_t>(wide);
    return r;
}

// One entry of ShowExports: id and path lead; the statistics after them
// change between releases and are skipped.
int ReadExportEntry(sd_bus_message* m, GaneshaExportEntry& entry) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, nullptr);
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    r = ReadExportId(m, entry.id);
    const char* path = nullptr;
    if (r >= 0)
        r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &path);
    if (r < 0)
        return r;
    entry.path = path ? path : "";
    while ((r = sd_bus_message_at_end(m, false)) == 0)
        if ((r = sd_bus_message_skip(m, nullptr)) < 0)
            return r;
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

// ShowExports: -> (tt) timestamp, a(...) exports.
int ReadExports(sd_bus_message* m, std::vector<GaneshaExportEntry>& exports) {
    int r = sd_bus_message_skip(m, "(tt)");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, nullptr);
    if (r < 0)
        return r;
    while ((r = sd_bus_message_at_end(m, false)) == 0) {
        GaneshaExportEntry entry;
        if ((r = ReadExportEntry(m, entry)) < 0)
            return r;
        exports.push_back(std::move(entry));
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace

GaneshaBus::GaneshaBus(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

GaneshaBusResult GaneshaBus::AddExport(const std::string& configPath,
                                       const std::string& expression) const {
    return CallWithConfig("AddExport", m_timeout, configPath, expression);
}

GaneshaBusResult GaneshaBus::UpdateExport(const std::string& configPath,
                                          const std::string& expression) const {
    return CallWithConfig("UpdateExport", m_timeout, configPath, expression);
}

GaneshaBusResult GaneshaBus::RemoveExport(uint16_t exportId) const {
    MessagePtr reply;
    return Call(
        "RemoveExport", m_timeout,
        [exportId](sd_bus_message* m) { return sd_bus_message_append(m, "q", exportId); }, reply);
}

GaneshaBusResult GaneshaBus::ShowExports(std::vector<GaneshaExportEntry>& exports) const {
    MessagePtr reply;
    GaneshaBusResult result = Call("ShowExports", m_timeout, NoArguments, reply);
    if (!result.ok)
        return result;
    std::vector<GaneshaExportEntry> listed;
    const int r = ReadExports(reply.get(), listed);
    if (r < 0)
        return SystemFailure("NFS-Ganesha's list of exports cannot be read", r);
    exports = std::move(listed);
    return result;
}
