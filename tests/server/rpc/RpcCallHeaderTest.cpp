// What the transport makes of a call's header: credentials and verifiers it
// refuses with an answer rather than silence.
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/server/rpc/RpcTestSupport.h"

namespace {

using namespace rpctest;

// A call record of the echo program's NULL, credential and verifier as
// given: flavor, the length the record claims, and the bytes it holds.
struct Auth {
    uint32_t flavor, claimed, held;
};
bool SendRecord(RawSocket& socket, uint32_t xid, Auth credential, Auth verifier) {
    std::vector<uint32_t> words = {xid, CALL, 2, kEchoProgram, 1, kNull};
    for (const Auth& auth : {credential, verifier}) {
        words.push_back(auth.flavor);
        words.push_back(auth.claimed);
        words.resize(words.size() + (auth.held + 3) / 4, 0);
    }
    for (uint32_t& word : words)
        word = htonl(word);
    return socket.SendMark(0x80000000u | static_cast<uint32_t>(words.size() * 4)) &&
           socket.Send(words.data(), words.size() * 4);
}

uint32_t WordAt(const std::vector<char>& reply, size_t index) {
    uint32_t word = 0;
    if (reply.size() >= (index + 1) * 4)
        std::memcpy(&word, reply.data() + index * 4, 4);
    return ntohl(word);
}

// A credential or verifier longer than MAX_AUTH_BYTES, or longer than the
// record, is answered MSG_DENIED / AUTH_ERROR; the connection stays usable.
TEST_F(RpcServerTest, OversizedOrCutCredentialsAndVerifiersAreDenied) {
    StartServer();
    const Auth none{AUTH_NONE, 0, 0};
    const struct {
        const char* what;
        Auth credential, verifier;
        auth_stat why;
    } cases[] = {
        {"credential of 404 bytes", {AUTH_SYS, 404, 404}, none, AUTH_BADCRED},
        {"credential past the record", {AUTH_SYS, 200, 8}, none, AUTH_BADCRED},
        {"verifier of 404 bytes", none, {AUTH_NONE, 404, 404}, AUTH_BADVERF},
        {"verifier past the record", none, {AUTH_NONE, 64, 0}, AUTH_BADVERF},
    };
    RawSocket socket(Port());
    ASSERT_TRUE(socket.Connected());
    uint32_t xid = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SendRecord(socket, ++xid, c.credential, c.verifier));
        std::vector<char> reply;
        ASSERT_EQ(ReplyXid(socket, &reply), xid);
        EXPECT_EQ(WordAt(reply, 1), uint32_t(REPLY));
        EXPECT_EQ(WordAt(reply, 2), uint32_t(MSG_DENIED));
        EXPECT_EQ(WordAt(reply, 3), uint32_t(AUTH_ERROR));
        EXPECT_EQ(WordAt(reply, 4), uint32_t(c.why));
        ASSERT_TRUE(SendCall(socket, ++xid, kNull));
        EXPECT_EQ(ReplyXid(socket), xid);
    }
}

}  // namespace
