// The off-site repository's client against a real S3 server (moto) with IAM keys and Object
// Lock: names written once, bytes and files round-trip whole, listings of many pages, and each
// mistake a technician makes (the key, the secret, the bucket, the address) told as such.
#include "S3Client.h"
#include "S3Server.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <thread>

using namespace zenta;
using namespace zenta::test;

namespace {

class S3ClientTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new S3Server(DbPort() + 40);
        if (!server_->Start())
            GTEST_FAIL() << server_->why();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static S3Config Config(const std::string& user, const std::string& bucket = "shops") {
        S3Config c;
        c.endpoint = server_->endpoint();
        c.bucket = bucket;
        c.accessKey = server_->key(user).access;
        c.secretKey = server_->key(user).secret;
        return c;
    }
    static S3Server* server_;
};
S3Server* S3ClientTest::server_ = nullptr;

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    return s;
}

} // namespace

TEST_F(S3ClientTest, ANameIsWrittenOnceAndItsBytesComeBackWhole) {
    S3Client shop(Config("shop"));
    const std::string bytes = Bytes(70000, 1);
    const S3Answer put = shop.PutNew("branch/once/a", bytes, {{"sha256", Sha256Hex(bytes)}});
    ASSERT_TRUE(put.Ok()) << shop.Why(put);
    const S3Answer again = shop.PutNew("branch/once/a", Bytes(70000, 2));
    EXPECT_EQ(again.status, 412) << again.body;
    const S3Answer got = shop.Get("branch/once/a");
    ASSERT_TRUE(got.Ok()) << shop.Why(got);
    EXPECT_EQ(got.body, bytes) << "the second write replaced the first";
    EXPECT_EQ(got.Header("x-amz-meta-sha256"), Sha256Hex(bytes));

    // A file streamed from the disk, a few megabytes.
    TempDir dir;
    const std::string file = Bytes(3 << 20, 3);
    WriteFile(dir.path() + "archive.ZTB", file);
    const S3Answer putFile = shop.PutNewFile("branch/once/archive.ZTB", dir.path() + "archive.ZTB");
    ASSERT_TRUE(putFile.Ok()) << shop.Why(putFile);
    const S3Answer back = shop.GetToFile("branch/once/archive.ZTB", "", dir.path() + "back.ZTB");
    ASSERT_TRUE(back.Ok()) << shop.Why(back);
    EXPECT_EQ(ReadFile(dir.path() + "back.ZTB"), file);
    EXPECT_EQ(DigestsOfFile(dir.path() + "back.ZTB").sha256Hex, Sha256Hex(file));
}

TEST_F(S3ClientTest, ListingsGoThroughEveryPage) {
    S3Client shop(Config("shop"));
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(shop.PutNew("branch/list/segment-" + std::to_string(i), "x").Ok());
    ASSERT_TRUE(shop.PutNew("other/list/segment-0", "x").Ok());
    const auto listed = shop.List("branch/list/", 3);
    ASSERT_TRUE(listed) << listed.error();
    ASSERT_EQ(listed->size(), 7u);
    EXPECT_EQ((*listed)[0].key, "branch/list/segment-0");
    const auto versions = shop.ListVersions("branch/list/", 2);
    ASSERT_TRUE(versions) << versions.error();
    EXPECT_EQ(versions->size(), 7u);
}

// What the shop's own key cannot do, and what the lock keeps even from a key that may do
// everything: a plain delete only hides the name (the original stays, the oldest version), and
// the original version cannot be deleted.
TEST_F(S3ClientTest, TheShopsKeyCannotDeleteAndTheLockKeepsTheOriginalFromAnyKey) {
    S3Client shop(Config("shop"));
    ASSERT_TRUE(shop.PutNew("branch/lock/a", "original").Ok());
    const S3Answer refused = shop.Delete("branch/lock/a");
    EXPECT_EQ(refused.status, 403) << refused.body;
    EXPECT_NE(shop.Why(refused).find("its policy does not allow it"), std::string::npos)
        << shop.Why(refused);

    S3Client careless(Config("careless"));
    EXPECT_TRUE(careless.Delete("branch/lock/a").Ok());
    const auto versions = careless.ListVersions("branch/lock/");
    ASSERT_TRUE(versions) << versions.error();
    ASSERT_EQ(versions->size(), 2u);
    EXPECT_FALSE((*versions)[0].deleteMarker) << "the oldest is the original";
    EXPECT_TRUE((*versions)[1].deleteMarker);
    const S3Answer removed = careless.Delete("branch/lock/a", (*versions)[0].versionId);
    EXPECT_FALSE(removed.Ok()) << "a locked version was deleted";
    const S3Answer original = shop.Get("branch/lock/a", (*versions)[0].versionId);
    ASSERT_TRUE(original.Ok()) << shop.Why(original);
    EXPECT_EQ(original.body, "original");
}

TEST_F(S3ClientTest, EachMistakeIsToldAsWhatItIs) {
    S3Config wrongSecret = Config("shop");
    wrongSecret.secretKey = "not-the-secret";
    S3Client a(wrongSecret);
    EXPECT_NE(a.Why(a.PutNew("branch/m/x", "x")).find("secret key"), std::string::npos);

    S3Config unknownKey = Config("shop");
    unknownKey.accessKey = "AKIANOBODY";
    S3Client b(unknownKey);
    EXPECT_NE(b.Why(b.PutNew("branch/m/x", "x")).find("does not know the access key"),
              std::string::npos);

    S3Client c(Config("headoffice", "no-such-bucket"));
    const S3Answer noBucket = c.PutNew("branch/m/x", "x");
    EXPECT_NE(c.Why(noBucket).find("does not exist"), std::string::npos) << c.Why(noBucket);

    S3Config nowhere = Config("shop");
    nowhere.endpoint = "http://127.0.0.1:1";
    S3Client d(nowhere);
    const S3Answer none = d.PutNew("branch/m/x", "x");
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(d.Why(none).find("no route"), std::string::npos) << d.Why(none);
    // Nothing written by any of them.
    S3Client shop(Config("shop"));
    EXPECT_EQ(shop.Get("branch/m/x").status, 404);
}

// S3 refuses requests signed more than 15 minutes off its clock; a storage that does not look
// (this one) is judged by its Date header all the same: told as the clock, and not counted.
TEST(S3ClientClock, AStorageWhoseClockIsFarOffIsToldAsTheClock) {
    TempDir dir;
    const int port = DbPort() + 43;
    WriteFile(dir.path() + "server.py",
              "import http.server, email.utils, time\n"
              "class H(http.server.BaseHTTPRequestHandler):\n"
              "    def do_PUT(self):\n"
              "        self.rfile.read(int(self.headers['Content-Length']))\n"
              "        self.send_response(200)\n"
              "        self.send_header('Content-Length', '0')\n"
              "        self.end_headers()\n"
              "    def date_time_string(self, t=None):\n"
              "        return email.utils.formatdate(time.time() - 3600, usegmt=True)\n"
              "    def log_message(self, *a): pass\n"
              "http.server.HTTPServer(('127.0.0.1', " +
                  std::to_string(port) + "), H).serve_forever()\n");
    Shell("python3 '" + dir.path() + "server.py' & echo $! > '" + dir.path() + "pid'");
    S3Config c;
    c.endpoint = "http://127.0.0.1:" + std::to_string(port);
    c.bucket = "shops";
    c.accessKey = "key";
    c.secretKey = "secret";
    S3Client client(c);
    S3Answer a;
    for (int i = 0; i < 50 && a.status == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        a = client.PutNew("branch/clock", "x");
    }
    Shell("kill $(cat '" + dir.path() + "pid')");
    EXPECT_FALSE(a.Ok());
    EXPECT_EQ(a.clockSkew / 60, 60);
    EXPECT_NE(client.Why(a).find("clock is off"), std::string::npos) << client.Why(a);
    EXPECT_NE(client.Why(a).find("60 minutes ahead of the storage's"), std::string::npos)
        << client.Why(a);
}
