#include "fuzz/FuzzFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/ExportRecords.h"
#include "host/LumeServiceGlobals.h"
#include "host/SharePerms.h"
#include "module/SinkFSM.h"
#include "platform/CImpersonator.h"
#include "platform/LogWriter.h"
#include "platform/StateDir.h"

namespace {

const char* const kEntries[] = {"f", "d", "d/g", "l"};

[[noreturn]] void Fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "fuzz fixture: %s: %s (%s)\n", what, path.c_str(), std::strerror(errno));
    std::abort();
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

// Removes everything below dir, keeping dir itself.
void EmptyDirectory(const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        Fail("cannot list", dir);
    while (dirent* entry = ::readdir(listing.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        std::string path = dir + "/" + entry->d_name;
        if (::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) != 0)
            Fail("cannot remove", path);
    }
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size()) ||
        ::fchmod(fd, mode) != 0)
        Fail("cannot write", path);
    ::close(fd);
}

bool Same(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string g_base;

// Set by HoldsDumps: a directory below the walked tree is a dump directory.
bool g_dumps;

int NoteDumps(const char* path, const struct stat* st, int, struct FTW*) {
    if (S_ISDIR(st->st_mode) && std::strstr(path, "/OX_APP_DUMPS"))
        g_dumps = true;
    return 0;
}

// True when path is a directory of the export user holding a dump directory.
bool HoldsDumps(const std::string& path) {
    struct stat st {};
    g_dumps = false;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 65534 &&
           ::nftw(path.c_str(), NoteDumps, 16, FTW_PHYS) == 0 && g_dumps;
}

void RemoveBase() {
    if (!g_base.empty())
        ::nftw(g_base.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

FuzzFixture& FuzzFixture::Get() {
    // Never destroyed: the module and the programs keep using it until exit.
    static FuzzFixture* fixture = new FuzzFixture();
    return *fixture;
}

FuzzFixture::FuzzFixture() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lume-fuzz-XXXXXX";
    if (!::mkdtemp(&pattern[0]))
        Fail("cannot make", pattern);
    char real[PATH_MAX];
    if (!::realpath(pattern.c_str(), real))
        Fail("cannot resolve", pattern);
    m_base = g_base = real;
    std::atexit(RemoveBase);
    m_export = m_base + "/export";
    m_outside = m_base + "/outside";
    m_canary = m_outside + "/canary";
    const std::string state = m_base + "/state";
    // The export user (nobody) must reach the export.
    if (::chmod(m_base.c_str(), 0755) != 0 || ::mkdir(state.c_str(), 0700) != 0 ||
        ::mkdir(m_export.c_str(), 0777) != 0 || ::chmod(m_export.c_str(), 0777) != 0 ||
        ::mkdir(m_outside.c_str(), 0777) != 0 || ::chmod(m_outside.c_str(), 0777) != 0)
        Fail("cannot make", m_base);
    WriteFile(m_canary, "canary\n", 0666);

    // Log level 10 so every message is formatted (its arguments read), but
    // nowhere written; LUME_FUZZ_LOG=1 shows them.
    TheLogWriter().SetLevel(10);
    if (!std::getenv("LUME_FUZZ_LOG"))
        TheLogWriter().SetSink(nullptr);
    SetPlatformStateDir(state);
    LumeServiceGlobals::clientName = kClient;
    LumeServiceGlobals::networkServicesStarted = true;
    LumeServiceGlobals::portMapperRegistered = true;
    OxUserToken nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    LumeServiceGlobals::exportUserToken = nobody;  // before any export
    SinkFSM::GetFSM();                             // the host's LoadFSM, before any request

    MakeEntries();
    MakeExport();
    SeeOutside();
}

void FuzzFixture::MakeExport() {
    std::string path = m_export;
    char clients[] = "*";
    LumeExportPath request{};
    request.path = &path[0];
    request.clients = clients;
    request.perms = SHARE_PERM_READ | SHARE_PERM_WRITE;
    char* response = nullptr;
    size_t length = 0;
    int type = 0;
    SinkFSM* fsm = SinkFSM::GetFSM();
    fsm->GenericConfigRPCHandler(&request, kClient, RPC_CREATE_EXPORT, response, length, type);
    bool made = response && reinterpret_cast<LumeExportPathResp*>(response)->status == 0;
    fsm->ReleaseConfigRPCMem(type, response);
    if (!made || !gAllExports->FindExport(m_export, m_exp))
        Fail("the module refused to export", m_export);
}

void FuzzFixture::DropExport() {
    ExportPtr current;
    if (gAllExports->FindExport(m_export, current))
        SinkFSM::GetFSM()->UnExport(current);
    m_exp.reset();
}

void FuzzFixture::RemoveOtherExports() {
    for (ExportPtr& exp : gAllExports->GetAllExports())
        if (exp != m_exp)
            SinkFSM::GetFSM()->UnExport(exp);
}

bool FuzzFixture::ExportIntact() const {
    ExportPtr current;
    if (!m_exp || !gAllExports->FindExport(m_exp->GetShareId(), current) || current != m_exp)
        return false;
    std::string clients;
    m_exp->GetAllowedClients(clients);
    return clients == "*" && m_exp->GetSharePerms() == (SHARE_PERM_READ | SHARE_PERM_WRITE);
}

bool FuzzFixture::EntriesIntact() const {
    struct stat st {};
    if (::lstat(m_export.c_str(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 07777) != 0777)
        return false;
    for (size_t i = 0; i < sizeof kEntries / sizeof kEntries[0]; ++i)
        if (::lstat((m_export + "/" + kEntries[i]).c_str(), &st) != 0 || st.st_ino != m_entries[i])
            return false;
    return true;
}

void FuzzFixture::MakeEntries() {
    EmptyDirectory(m_export);
    if (::chmod(m_export.c_str(), 0777) != 0)
        Fail("cannot chmod", m_export);
    WriteFile(m_export + "/f", std::string(4096, 'f'), 0666);
    const std::string d = m_export + "/d";
    if (::mkdir(d.c_str(), 0777) != 0 || ::chmod(d.c_str(), 0777) != 0)
        Fail("cannot make", d);
    WriteFile(d + "/g", "g\n", 0666);
    if (::symlink("f", (m_export + "/l").c_str()) != 0)
        Fail("cannot make", m_export + "/l");
    struct stat st {};
    for (size_t i = 0; i < sizeof kEntries / sizeof kEntries[0]; ++i) {
        if (::lstat((m_export + "/" + kEntries[i]).c_str(), &st) != 0)
            Fail("cannot stat", kEntries[i]);
        m_entries[i] = st.st_ino;
    }
}

bool FuzzFixture::Confined(const char* path) const {
    if (!path || !std::strstr(path, "OX_APP_DUMPS"))
        return true;
    const std::string text = path;
    auto below = [&text](const std::string& dir) { return text.rfind(dir + "/", 0) == 0; };
    return (below(m_export) || below(m_outside)) && text.find("..") == std::string::npos;
}

bool FuzzFixture::Prepare() {
    bool fresh = ++m_inputs % kFreshEvery == 0;
    RemoveOtherExports();
    bool remade = false;
    if (fresh || !ExportIntact()) {
        DropExport();
        MakeExport();
        remade = true;
    }
    if (fresh || !EntriesIntact()) {
        MakeEntries();
        remade = true;
    }
    return remade;
}

void FuzzFixture::Finish() {
    RemoveOtherExports();
    CheckOutside();
}

void FuzzFixture::SeeOutside() {
    if (::lstat(m_base.c_str(), &m_baseSeen) != 0 ||
        ::lstat(m_outside.c_str(), &m_outsideSeen) != 0 ||
        ::lstat(m_canary.c_str(), &m_canarySeen) != 0)
        Fail("an input removed what lies beside the export", m_base);
}

void FuzzFixture::CheckOutside() {
    struct stat base {
    }, outside{}, canary{};
    if (::lstat(m_base.c_str(), &base) != 0 || ::lstat(m_outside.c_str(), &outside) != 0 ||
        ::lstat(m_canary.c_str(), &canary) != 0)
        Fail("an input removed what lies beside the export", m_base);
    errno = 0;
    if (!Same(base.st_mtim, m_baseSeen.st_mtim) || !Same(base.st_ctim, m_baseSeen.st_ctim) ||
        !Same(canary.st_mtim, m_canarySeen.st_mtim) ||
        !Same(canary.st_ctim, m_canarySeen.st_ctim) || canary.st_ino != m_canarySeen.st_ino ||
        canary.st_size != m_canarySeen.st_size)
        Fail("an input changed what lies beside the export", m_base);
    if (Same(outside.st_mtim, m_outsideSeen.st_mtim) &&
        Same(outside.st_ctim, m_outsideSeen.st_ctim))
        return;
    // A request to export a dump directory below the folder made it, as it
    // may anywhere; anything else came from outside the export.
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(m_outside.c_str()), ::closedir);
    if (!listing)
        Fail("cannot list", m_outside);
    while (dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "canary")
            continue;
        const std::string path = m_outside + "/" + name;
        if (!HoldsDumps(path) || ::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) != 0)
            Fail("an input made an entry beside the export", path);
    }
    SeeOutside();
}
