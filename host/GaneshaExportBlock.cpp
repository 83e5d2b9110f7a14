// An export written as NFS-Ganesha's EXPORT block: the checks, the client
// entries in Ganesha's syntax, and the block file.
#include "host/GaneshaExportBlock.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/AllowedClients.h"
#include "platform/AtomicFile.h"
#include "platform/CRaIPAddr.h"
#include "platform/StateDir.h"

namespace {

const uint32_t kMaxExportId = 65535;  // Ganesha's Export_Id is 16 bits
const uint32_t kSquashedId = 65534;   // whom lumed squashes callers to

bool IsSeparator(char c) {
    return c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c));
}

// The entries of a clients text, split as AllowedClients splits them.
std::vector<std::string> SplitEntries(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text + ',') {
        if (!IsSeparator(c)) {
            current += c;
        } else if (!current.empty()) {
            out.push_back(current);
            current.clear();
        }
    }
    return out;
}

// A quoted value ends at '"'; '\\' and control characters are refused too,
// as nothing gives them a meaning we could rely on.
bool HasUnquotableChar(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return c == '"' || c == '\\' || u < 0x20 || u == 0x7f;
    });
}

bool HasDotComponent(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string part = path.substr(start, end - start);
        if (part == "." || part == "..")
            return true;
        start = end + 1;
    }
    return false;
}

bool CheckPath(const char* what, const std::string& path, std::string& reason) {
    if (path.empty() || path[0] != '/')
        reason = std::string(what) + " [" + path + "] is not absolute.";
    else if (HasUnquotableChar(path))
        reason = std::string(what) + " [" + path +
                 "] holds a quote, backslash or control character that a Ganesha export "
                 "block cannot carry.";
    else if (HasDotComponent(path))
        reason = std::string(what) + " [" + path + "] has a \".\" or \"..\" component.";
    else
        return true;
    return false;
}

// Ganesha reads these unquoted words as booleans, not host names.
bool IsBooleanWord(const std::string& name) {
    static const char* const kWords[] = {"yes", "no", "true", "false", "on", "off"};
    return std::any_of(std::begin(kWords), std::end(kWords),
                       [&](const char* word) { return name == word; });
}

// Ganesha's lexer takes a range's prefix length from at most two digits, and
// reads neither "/0" of IPv4 nor "::/0" as a range: a /0 becomes its two
// halves and an IPv6 /128 its address, which admit the same clients.
bool RangeEntries(const std::string& entry, std::vector<std::string>& out, std::string& reason) {
    size_t slash = entry.find('/');
    CRaIPAddr network;
    CRaIPAddr::Parse(entry.substr(0, slash), network);
    unsigned bits = static_cast<unsigned>(std::stoul(entry.substr(slash + 1)));
    bool v6 = network.Family() == AF_INET6;
    if (bits == 0) {
        out.push_back(v6 ? "::/1" : "0.0.0.0/1");
        out.push_back(v6 ? "8000::/1" : "128.0.0.0/1");
    } else if (v6 && bits == 128) {
        out.push_back(entry.substr(0, slash));
    } else if (bits >= 100) {
        reason = "Client range [" + entry +
                 "] cannot be written for Ganesha: it reads IPv6 prefix lengths of two "
                 "digits at most.";
        return false;
    } else {
        out.push_back(entry);
    }
    return true;
}

// A plain host name is written bare, so it must lex as a name: a leading
// digit or '-' makes a number or a syntax error of it.
bool NameEntry(const std::string& entry, std::vector<std::string>& out, std::string& reason) {
    if (std::isdigit(static_cast<unsigned char>(entry[0])) || entry[0] == '-' ||
        IsBooleanWord(entry)) {
        reason = "Client host name [" + entry +
                 "] cannot be written for Ganesha: its configuration would not read it as "
                 "a host name.";
        return false;
    }
    out.push_back(entry);
    return true;
}

// Appends the Ganesha entries that admit what one raw entry admits in lumed.
bool ClientEntries(const std::string& raw, std::vector<std::string>& out, std::string& reason) {
    AllowedClients canonical;
    canonical.Fill(raw);
    const std::string entry = canonical.ToString();
    if (entry.empty()) {
        reason = "Client entry [" + raw +
                 "] is neither *, an address, a CIDR range, a host name nor *.suffix.";
        return false;
    }
    CRaIPAddr address;
    if (entry.find('/') != std::string::npos)
        return RangeEntries(entry, out, reason);
    if (entry[0] == '*' || CRaIPAddr::Parse(entry, address)) {
        out.push_back(entry);
        return true;
    }
    return NameEntry(entry, out, reason);
}

bool GaneshaClients(const std::string& text, std::vector<std::string>& out, std::string& reason) {
    std::vector<std::string> entries;
    for (const std::string& raw : SplitEntries(text)) {
        if (!ClientEntries(raw, entries, reason))
            return false;
    }
    for (const std::string& entry : entries) {
        if (std::find(out.begin(), out.end(), entry) == out.end())
            out.push_back(entry);
    }
    return true;
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::string BlockText(const GaneshaExportFields& fields, const std::string& pseudo,
                      const std::vector<std::string>& clients) {
    const char* access = (fields.perms & SHARE_PERM_WRITE) ? "RW" : "RO";
    const char* squash = (fields.perms & SHARE_PERM_ROOT) ? "No_Root_Squash" : "Root_Squash";
    std::string text = "EXPORT {\n";
    text += "\tExport_Id = " + std::to_string(fields.shareId) + ";\n";
    text += "\tPath = \"" + fields.realPath + "\";\n";
    text += "\tPseudo = \"" + pseudo + "\";\n";
    text += "\tAccess_Type = None;\n";
    text += std::string("\tSquash = ") + squash + ";\n";
    text += "\tAnonymous_Uid = " + std::to_string(kSquashedId) + ";\n";
    text += "\tAnonymous_Gid = " + std::to_string(kSquashedId) + ";\n";
    text += "\tProtocols = 3, 4;\n";
    text += "\tTransports = TCP;\n";
    if (!clients.empty())
        text += "\tCLIENT {\n\t\tClients = " + Join(clients) + ";\n\t\tAccess_Type = " + access +
                ";\n\t}\n";
    text += "\tCLIENT {\n\t\tClients = *;\n\t\tAccess_Type = None;\n\t}\n";
    text += "\tFSAL {\n\t\tName = VFS;\n\t}\n";
    text += "}\n";
    return text;
}

std::string GaneshaDir() {
    return GetPlatformStateDir() + "/ganesha";
}

}  // namespace

bool MakeGaneshaExportBlock(const GaneshaExportFields& fields, std::string& block,
                            std::string& reason) {
    if (fields.shareId == 0 || fields.shareId > kMaxExportId) {
        reason = "Share id " + std::to_string(fields.shareId) +
                 " is outside Ganesha's Export_Id range 1..65535.";
        return false;
    }
    if (!(fields.perms & (SHARE_PERM_READ | SHARE_PERM_WRITE))) {
        reason = "Share [" + fields.sharePath + "] grants neither read nor write access.";
        return false;
    }
    // NFSv4 clients find the export at its share path in Ganesha's pseudo
    // file system, which has only absolute paths.
    const std::string pseudo =
        (fields.sharePath.empty() || fields.sharePath[0] != '/' ? "/" : "") + fields.sharePath;
    std::vector<std::string> clients;
    if (!CheckPath("Export path", fields.realPath, reason) ||
        !CheckPath("Share path", pseudo, reason) ||
        !GaneshaClients(fields.clients, clients, reason))
        return false;
    block = BlockText(fields, pseudo, clients);
    return true;
}

std::string GaneshaExportFilePath(uint32_t shareId) {
    return GaneshaDir() + "/export-" + std::to_string(shareId) + ".conf";
}

std::string GaneshaExportExpression(uint32_t shareId) {
    return "EXPORT(Export_Id=" + std::to_string(shareId) + ")";
}

bool WriteGaneshaExportFile(const GaneshaExportFields& fields, std::string& path,
                            std::string& reason) {
    std::string block;
    if (!MakeGaneshaExportBlock(fields, block, reason))
        return false;
    const std::string dir = GaneshaDir();
    const std::string file = GaneshaExportFilePath(fields.shareId);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = "Cannot create [" + dir + "]: " + std::strerror(errno) + ".";
        return false;
    }
    std::string why;
    if (!ProveStateSubdir(dir, why)) {
        reason = "Refusing the blocks' directory: " + why + ".";
        return false;
    }
    if (!ReplaceFileAtomically(file, block)) {
        reason = "Cannot write [" + file + "]: " + std::strerror(errno) + ".";
        return false;
    }
    path = file;
    return true;
}

bool RemoveGaneshaExportFile(uint32_t shareId, std::string& reason) {
    const std::string file = GaneshaExportFilePath(shareId);
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        reason = "Cannot remove [" + file + "]: " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}
