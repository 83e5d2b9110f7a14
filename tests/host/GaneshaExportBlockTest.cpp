#include "host/GaneshaExportBlock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "platform/StateDir.h"
#include "tests/support/TempDir.h"

namespace {

GaneshaExportFields Fields(const std::string& clients, SharePerms perms = 3) {
    return GaneshaExportFields{7, "/srv/data", "/srv/data_1_2", perms, clients};
}

std::string Block(const GaneshaExportFields& fields) {
    std::string block, reason;
    EXPECT_TRUE(MakeGaneshaExportBlock(fields, block, reason)) << reason;
    return block;
}

std::string Refusal(const GaneshaExportFields& fields) {
    std::string block = "untouched", reason;
    EXPECT_FALSE(MakeGaneshaExportBlock(fields, block, reason)) << block;
    EXPECT_EQ(block, "untouched");
    return reason;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

// The whole block grants access only through the client list; the perms
// give the access and the squashing; ids must fit Ganesha's.
TEST(host_GaneshaExportBlock, TheBlockGrantsWhatThePermsSayOnlyToTheClientList) {
    EXPECT_EQ(Block(Fields("192.0.2.7, *.example.org", 5)),
              "EXPORT {\n\tExport_Id = 7;\n\tPath = \"/srv/data\";\n\tPseudo = \"/srv/data_1_2\";\n"
              "\tAccess_Type = None;\n\tSquash = No_Root_Squash;\n"
              "\tAnonymous_Uid = 65534;\n\tAnonymous_Gid = 65534;\n"
              "\tProtocols = 3, 4;\n\tTransports = TCP;\n"
              "\tCLIENT {\n\t\tClients = 192.0.2.7, *.example.org;\n\t\tAccess_Type = RO;\n\t}\n"
              "\tCLIENT {\n\t\tClients = *;\n\t\tAccess_Type = None;\n\t}\n"
              "\tFSAL {\n\t\tName = VFS;\n\t}\n}\n");
    // An empty list keeps only the block that refuses everyone.
    EXPECT_EQ(Block(Fields(" ,; ")).find("Access_Type = R"), std::string::npos);

    const struct {
        SharePerms perms;
        const char* access;
        const char* squash;
    } cases[] = {{1, "RO", "Root_Squash"}, {2, "RW", "Root_Squash"}, {7, "RW", "No_Root_Squash"}};
    for (const auto& c : cases) {
        std::string block = Block(Fields("*", c.perms));
        EXPECT_TRUE(Has(block, std::string("\t\tAccess_Type = ") + c.access + ";")) << c.perms;
        EXPECT_TRUE(Has(block, std::string("\tSquash = ") + c.squash + ";")) << c.perms;
    }
    for (SharePerms perms : {0, 4})
        EXPECT_TRUE(Has(Refusal(Fields("*", perms)), "neither read nor write")) << perms;
    for (uint32_t id : {0u, 65536u})
        EXPECT_TRUE(Has(Refusal({id, "/srv/data", "/srv/data", 3, "*"}), "range 1..65535")) << id;
    EXPECT_TRUE(Has(Block({65535, "/srv/data", "/srv/data", 3, "*"}), "Export_Id = 65535;"));
}

// Every client form is written as Ganesha reads it; a form it cannot
// express is refused, naming the entry. The entries' canonical forms are
// host_AllowedClients' cases; here one row per branch of the writer.
TEST(host_GaneshaExportBlock, ClientFormsAreWrittenAsGaneshaReadsThemOrRefused) {
    const struct {
        const char* clients;
        const char* written;  // else the refusal's reason
        bool refused = false;
    } cases[] = {
        {"*", "*"},
        {"2001:DB8:0::1", "2001:db8::1"},
        {"2001:db8::/99", "2001:db8::/99"},
        {"0.0.0.0/0", "0.0.0.0/1, 128.0.0.0/1"},  // Ganesha cannot read /0
        {"::/0", "::/1, 8000::/1"},
        {"2001:db8::1/128", "2001:db8::1"},  // nor a three-digit prefix
        {"*.1abc", "*.1abc"},
        {"_a1", "_a1"},
        {"h1;192.0.2.7\th1 *", "h1, 192.0.2.7, *"},
        {"ok.example.com, @netgroup", "[@netgroup] is neither", true},
        {"2001:db8::/100", "[2001:db8::/100] cannot be written", true},
        {"1abc", "[1abc] cannot be written", true},
        {"-abc", "[-abc] cannot be written", true},
        {"OFF", "[off] cannot be written", true},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(c.refused
                        ? Has(Refusal(Fields(c.clients)), c.written)
                        : Has(Block(Fields(c.clients)),
                              std::string("Clients = ") + c.written + ";\n\t\tAccess_Type = RW;"))
            << c.clients;
}

TEST(host_GaneshaExportBlock, PathsAreQuotedAndWhatBreaksOutOfQuotesIsRefused) {
    // The share path is made absolute for the pseudo file system.
    const std::string block = Block({7, "/srv/we ird#x'$%{};", "srv/relative", 3, "*"});
    EXPECT_TRUE(Has(block, "\tPath = \"/srv/we ird#x'$%{};\";\n")) << block;
    EXPECT_TRUE(Has(block, "\tPseudo = \"/srv/relative\";\n")) << block;

    const std::string bad[] = {"/a\"b",  "/a\\b",  "/a\nb",   std::string("/a\0b", 4),
                               "/a\x01", "/a\x7f", "/a/../b", "/a/./b",
                               "/a/.."};
    for (const std::string& path : bad) {
        EXPECT_TRUE(Has(Refusal({7, path, "/srv/data", 3, "*"}), "Export path [")) << path;
        EXPECT_TRUE(Has(Refusal({7, "/srv/data", path, 3, "*"}), "Share path [")) << path;
    }
    EXPECT_TRUE(Has(Refusal({7, "srv/data", "/srv/data", 3, "*"}), "is not absolute"));
}

TEST(host_GaneshaExportBlock, FileIsWrittenWholeReplacedAndRemoved) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    const std::string file = state / "ganesha/export-7.conf";

    std::string path, reason;
    ASSERT_TRUE(WriteGaneshaExportFile(Fields("*", 1), path, reason)) << reason;
    EXPECT_EQ(path, file);
    struct stat made {};
    ASSERT_EQ(::lstat(file.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0600u);  // the administrator's, as the state directory

    ASSERT_TRUE(WriteGaneshaExportFile(Fields("192.0.2.7", 3), path, reason)) << reason;
    EXPECT_EQ(ReadFile(file), Block(Fields("192.0.2.7", 3)));
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(state / "ganesha"), {}), 1);

    // A refused update leaves the file Ganesha has as it was.
    path.clear();
    EXPECT_FALSE(WriteGaneshaExportFile(Fields("@ng"), path, reason));
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(ReadFile(file), Block(Fields("192.0.2.7", 3)));

    ASSERT_TRUE(RemoveGaneshaExportFile(7, reason)) << reason;
    EXPECT_TRUE(std::filesystem::is_empty(state / "ganesha"));
    EXPECT_TRUE(RemoveGaneshaExportFile(7, reason)) << reason;

    SetPlatformStateDir(state.WriteFile("not-a-dir", ""));
    EXPECT_FALSE(WriteGaneshaExportFile(Fields("*"), path, reason));
    EXPECT_TRUE(Has(reason, "Cannot create [")) << reason;

    // A link in the place of the blocks' directory is not written through.
    TempDir other, elsewhere;
    SetPlatformStateDir(other.Path());
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), (other / "ganesha").c_str()), 0);
    EXPECT_FALSE(WriteGaneshaExportFile(Fields("*"), path, reason));
    EXPECT_EQ(reason, "Refusing the blocks' directory: " + other / "ganesha" +
                          " is a link or not a directory.");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
}
