#include "InternetFunctions.h"
#include "TestServers.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace zenta;
using namespace zenta::test;

TEST(Web, TextIsFetchedWithoutASchemeAndTrimmed) {
    HeadOfficeServer server;
    server.Answer("/tools/getserverstatus.php", "  0 \\r\\n");
    server.Answer("/tools/chinese.php", "服务器");
    EXPECT_EQ(GetURLText(server.Host() + "/tools/getserverstatus.php"), "0");
    EXPECT_EQ(GetURLText("http://" + server.Host() + "/tools/getserverstatus.php"), "0");
    EXPECT_EQ(GetURLText(server.Host() + "/tools/chinese.php"), "服务器"); // from the code page
    EXPECT_EQ(GetURLText(server.Host() + "/tools/missing.php"), "");       // 404
    EXPECT_EQ(GetURLText("127.0.0.1:1/tools/getserverstatus.php"), "");    // nobody listening
}

TEST(Web, AnAnswerThatNeverComesEndsInTheTimeOut) {
    HeadOfficeServer server;
    server.Delay("/tools/updateip.php", 5);
    SetURLTimeout(std::chrono::milliseconds(300));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(GetURLText(server.Host() + "/tools/updateip.php"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    SetURLTimeout(std::chrono::milliseconds(60000));
}

TEST(Web, ReachabilityIsATcpConnectionToTheHttpPort) {
    HeadOfficeServer server;
    EXPECT_TRUE(IsURLReachable(server.Host()));
    EXPECT_TRUE(IsURLReachable("HTTP://" + server.Host()));
    EXPECT_TRUE(IsURLReachable("http://" + server.Host() + "/tools/x.php"));
    EXPECT_FALSE(IsURLReachable("127.0.0.1:1"));
    EXPECT_FALSE(IsURLReachable(""));
}

TEST(Web, QueryValuesArePercentEncodedButPlainTextStaysAsItWas) {
    EXPECT_EQ(EncodeQueryValue("Branch07"), "Branch07");
    EXPECT_EQ(EncodeQueryValue("a&b #+ c/?="), "a%26b%20%23%2B%20c%2F%3F%3D");
    EXPECT_EQ(EncodeQueryValue("中"), "%D6%D0"); // the code page's bytes
}
