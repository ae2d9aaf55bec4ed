#include "platform/LocalSocket.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qz::platform {
namespace {

void NoAction(int) {}

TEST(LocalSocketTest, ListenConnectAcceptAndThePeersUid) {
    test::TempDir dir;
    std::string path = dir.path() + "/s";
    auto listener = ListenLocalSocket(path);
    ASSERT_TRUE(listener) << listener.error().Text();
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl(static_cast<int>(*listener), F_GETFD) & FD_CLOEXEC, 0);

    auto client = ConnectLocalSocket(path);
    ASSERT_TRUE(client) << client.error().Text();
    auto server = AcceptLocalConnection(*listener);
    ASSERT_TRUE(server) << server.error().Text();
    auto uid = LocalPeerUid(*server);
    ASSERT_TRUE(uid);
    EXPECT_EQ(*uid, CurrentUserId());

    ASSERT_TRUE(SendAll(*client, "hello", 5));
    char buffer[5];
    auto got = ReceiveExact(*server, buffer, sizeof(buffer));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    CloseHandle(*client);
    got = ReceiveExact(*server, buffer, sizeof(buffer));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, 0u);
    CloseHandle(*server);
    CloseHandle(*listener);
}

TEST(LocalSocketTest, FailuresSayWhatWasTried) {
    test::TempDir dir;
    auto missing = ConnectLocalSocket(dir.path() + "/none");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().Text().find("connect " + dir.path() + "/none"), std::string::npos);

    std::string tooLong = "/" + std::string(200, 'a');
    EXPECT_EQ(ConnectLocalSocket(tooLong).error().code, ENAMETOOLONG);
    EXPECT_EQ(ListenLocalSocket(tooLong).error().code, ENAMETOOLONG);
    EXPECT_EQ(ConnectLocalSocket("").error().code, ENAMETOOLONG);

    // A file that is no socket refuses the connection; an existing path is not taken over.
    test::WriteFile(dir.path() + "/file", "x");
    EXPECT_FALSE(ConnectLocalSocket(dir.path() + "/file"));
    EXPECT_EQ(ListenLocalSocket(dir.path() + "/file").error().code, EADDRINUSE);
    EXPECT_FALSE(LocalPeerUid(-1));
}

TEST(LocalSocketTest, InterruptedReceivingResumes) {
    auto pair = CreateLocalSocketPair();
    ASSERT_TRUE(pair);
    struct sigaction action {};
    action.sa_handler = NoAction; // no SA_RESTART: recv returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    pthread_t reader = pthread_self();
    std::thread writer([&] {
        for (int i = 0; i < 5; ++i) {
            usleep(2000);
            pthread_kill(reader, SIGUSR1);
        }
        SendAll(pair->second, "abcd", 4);
    });
    char buffer[4];
    auto got = ReceiveExact(pair->first, buffer, sizeof(buffer));
    writer.join();
    sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(got) << got.error().Text();
    EXPECT_EQ(*got, 4u);
    CloseHandle(pair->first);
    CloseHandle(pair->second);
}

} // namespace
} // namespace qz::platform
