// lumed's TOML configuration file read into LumedOptions, each value checked as its flag would
// check it.
#include "server/lumed/ConfigFile.h"

#include <toml++/toml.h>
#include <fstream>
#include <iterator>
#include <sstream>

#include "host/AllowedClients.h"

namespace {

enum class Kind { Text, Number };

// The keys that stand for a flag taking a value, and that value's type.
const std::pair<const char*, Kind> kValueKeys[] = {
    {"clients", Kind::Text},
    {"perms", Kind::Number},
    {"port", Kind::Number},
    {"bind", Kind::Text},
    {"state-dir", Kind::Text},
    {"module", Kind::Text},
    {"log-level", Kind::Number},
    {"workers", Kind::Number},
    {"config-bind", Kind::Text},
    {"config-port", Kind::Number},
    {"minute-seconds", Kind::Number},
    {"admin-group", Kind::Text},
    {"tls-cert", Kind::Text},
    {"tls-key", Kind::Text},
    {"tls-ca", Kind::Text},
    {"metrics", Kind::Text},
    {"max-connections-per-address", Kind::Number},
};

// The keys that stand for a flag without a value.
const std::pair<const char*, bool LumedOptions::*> kSwitchKeys[] = {
    {"rpcbind", &LumedOptions::rpcbind},
    {"ganesha", &LumedOptions::ganesha},
    {"log-stderr", &LumedOptions::logStderr},
};

// Builds "FILE:LINE: KEY: reason" messages for one file.
struct Where {
    const std::string& path;
    std::string& error;
    bool Fail(const toml::source_region& at, const std::string& key, const std::string& why) {
        error = path + ":" + std::to_string(at.begin.line) + ": " + key + ": " + why;
        return false;
    }
};

std::string TypeOf(const toml::node& node) {
    std::ostringstream name;
    name << node.type();
    return name.str();
}

// The value's text as its flag would take it; false when of the wrong type.
bool FlagText(const toml::node& node, Kind kind, std::string& text) {
    if (kind == Kind::Number && node.is_integer())
        text = std::to_string(node.as_integer()->get());
    else if (kind == Kind::Text && node.is_string())
        text = node.as_string()->get();
    else
        return false;
    return true;
}

// A client list is taken whole or the file is refused, saying which entry
// is not a client.
bool CheckClients(const std::string& key, const toml::node& node, const std::string& text,
                  Where& where) {
    std::string reason;
    return AllowedClients::Check(text, reason) || where.Fail(node.source(), key, reason);
}

bool ApplyValueKey(const std::string& key, const toml::node& node, Kind kind, LumedOptions& options,
                   Where& where) {
    std::string text;
    if (!FlagText(node, kind, text))
        return where.Fail(node.source(), key,
                          std::string("expected ") +
                              (kind == Kind::Number ? "an integer" : "a string") + ", found " +
                              TypeOf(node));
    if (key == "clients" && !CheckClients(key, node, text, where))
        return false;
    if (!ApplyLumedOption("--" + key, text, options))
        return where.Fail(node.source(), key, "bad value " + text);
    return true;
}

bool ApplyExportKey(const std::string& key, const toml::node& node, ConfigExport& entry,
                    Where& where) {
    if (key == "dir" || key == "clients") {
        if (!node.is_string())
            return where.Fail(node.source(), "export." + key,
                              "expected a string, found " + TypeOf(node));
        const std::string& text = node.as_string()->get();
        if (key == "clients" && !CheckClients("export.clients", node, text, where))
            return false;
        (key == "dir" ? entry.dir : entry.clients.emplace()) = text;
        return true;
    }
    if (key != "perms")
        return where.Fail(node.source(), "export." + key, "unknown key");
    if (!node.is_integer())
        return where.Fail(node.source(), "export.perms",
                          "expected an integer, found " + TypeOf(node));
    int64_t perms = node.as_integer()->get();
    if (perms < 0 || perms > 7)
        return where.Fail(node.source(), "export.perms", "bad value " + std::to_string(perms));
    entry.perms = static_cast<SharePerms>(perms);
    return true;
}

bool ApplyExports(const toml::node& node, LumedOptions& options, Where& where) {
    const toml::array* entries = node.as_array();
    if (!entries || !entries->is_array_of_tables())
        return where.Fail(node.source(), "export", "expected [[export]] tables");
    for (const toml::node& element : *entries) {
        ConfigExport entry;
        entry.line = static_cast<int>(element.source().begin.line);
        for (auto&& [key, value] : *element.as_table())
            if (!ApplyExportKey(std::string(key.str()), value, entry, where))
                return false;
        if (entry.dir.empty())
            return where.Fail(element.source(), "export", "no dir");
        options.fileExports.push_back(std::move(entry));
    }
    return true;
}

bool ApplyKey(const std::string& key, const toml::node& node, LumedOptions& options, Where& where) {
    if (key == "export")
        return ApplyExports(node, options, where);
    for (const auto& [name, member] : kSwitchKeys) {
        if (key != name)
            continue;
        if (!node.is_boolean())
            return where.Fail(node.source(), key, "expected true or false, found " + TypeOf(node));
        options.*member = node.as_boolean()->get();
        return true;
    }
    for (const auto& [name, kind] : kValueKeys)
        if (key == name)
            return ApplyValueKey(key, node, kind, options, where);
    return where.Fail(node.source(), key, "unknown key");
}

}  // namespace

bool LoadConfigFile(const std::string& path, LumedOptions& options, std::string& error) {
    std::ifstream file(path);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.is_open() || file.bad()) {
        error = "cannot read the configuration file " + path;
        return false;
    }
    Where where{path, error};
    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error& bad) {
        return where.Fail(bad.source(), "bad TOML", std::string(bad.description()));
    }
    for (auto&& [key, node] : table)
        if (!ApplyKey(std::string(key.str()), node, options, where))
            return false;
    return true;
}
