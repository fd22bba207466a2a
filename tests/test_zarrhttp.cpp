// The HTTP store of OME-Zarr images against a server the tests start on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "formats/zarrstore.h"
#include "httpserver.h"
#include "testutil.h"

using namespace formats::zarr;
using testutil::HttpServer;

namespace {

// A folder with img.zarr/.zattrs and img.zarr/0/0 (1000 bytes 0, 1, 2 ...).
struct Served {
    testutil::TempDir dir;
    std::string attrs = R"({"multiscales": []})";
    std::string chunk;
    Served() {
        for (int i = 0; i < 1000; ++i) chunk += static_cast<char>(i * 7 % 251);
        std::filesystem::create_directories(dir.file("img.zarr/0"));
        testutil::writeBytes(dir.file("img.zarr/.zattrs"), attrs);
        testutil::writeBytes(dir.file("img.zarr/0/0"), chunk);
    }
};

std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::unique_ptr<Store> open(const HttpServer& server, const HttpLimits& limits = HttpLimits()) {
    std::string reason;
    auto store = openHttp(server.url() + "/img.zarr", reason, limits);
    EXPECT_TRUE(store) << reason;
    return store;
}

}  // namespace

TEST(ZarrHttp, AnswersAndRefusals) {
    Served s;
    // offset: -2 a whole get, -1 a suffix range of size, else a range from offset.
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string key;
        int64_t offset, size;
        Got got;
        std::string bytes;    // what Found gives
        std::string reason;   // part of where(key) + " " + reason when Failed
        int tries;            // requests the store counted
        int served;           // requests the server saw (redirects included)
    };
    const std::string missing = "nothing";
    const Case cases[] = {
        {"found", {}, ".zattrs", -2, 1000, Got::Found, s.attrs, "", 1, 1},
        {"missing", {}, missing, -2, 1000, Got::Missing, "", "", 1, 1},
        {"refused", {"--status", "zattrs$=500"}, ".zattrs", -2, 1000, Got::Failed, "",
         "/img.zarr/.zattrs\" was answered with HTTP status 500", 1, 1},
        {"forbidden is missing", {"--status", "zattrs$=403"}, ".zattrs", -2, 1000, Got::Missing, "", "", 1, 1},
        {"busy, retried", {"--status", "zattrs$=503"}, ".zattrs", -2, 1000, Got::Failed, "",
         "/img.zarr/.zattrs\" was answered with HTTP status 503 (4 tries)", 4, 4},
        {"dropped, retried", {"--drop", "/0/0$"}, "0/0", -2, 1000, Got::Failed, "",
         "/img.zarr/0/0\" could not be fetched: ", 4, 4},
        {"redirect loop", {"--loop", "zattrs"}, ".zattrs", -2, 1000, Got::Failed, "",
         "/img.zarr/.zattrs\" was refused: it redirects in a loop", 1, 11},
        {"range", {}, "0/0", 10, 20, Got::Found, s.chunk.substr(10, 20), "", 1, 1},
        {"suffix range", {}, "0/0", -1, 16, Got::Found, s.chunk.substr(984), "", 1, 1},
        {"range past the end", {}, "0/0", 990, 20, Got::Failed, "", "another number of bytes", 1, 1},
        {"range of a missing key", {}, missing, 0, 4, Got::Missing, "", "", 1, 1},
        {"more than most", {}, "0/0", -2, 999, Got::Failed, "", "holds more bytes than its chunk can hold", 1, 1},
        {"exactly most", {}, "0/0", -2, 1000, Got::Found, s.chunk, "", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server(s.dir.path, c.options);
        ASSERT_TRUE(server.running());
        auto store = open(server);
        std::vector<uint8_t> out;
        std::string reason;
        const Got got = c.offset == -2 ? store->get(c.key, c.size, out, reason)
                                       : store->getRange(c.key, c.offset, c.size, out, reason);
        EXPECT_EQ(got, c.got) << reason;
        EXPECT_EQ(text(out), c.bytes);
        if (got == Got::Failed) {
            const std::string message = store->where(c.key) + " " + reason;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
        EXPECT_EQ(server.requests(), c.served);
        EXPECT_EQ(store->requests.load(), c.tries);
    }
}

TEST(ZarrHttp, ConnectionsReusedAndBounded) {
    Served s;
    HttpServer server(s.dir.path);
    ASSERT_TRUE(server.running());
    auto store = open(server);
    std::vector<uint8_t> out;
    std::string reason;
    for (int i = 0; i < 30; ++i) {  // chunks never written (404) keep the connection too
        ASSERT_EQ(store->get("0/0", 1000, out, reason), Got::Found) << reason;
        ASSERT_EQ(store->get("0/" + std::to_string(i + 1), 1000, out, reason), Got::Missing) << reason;
    }
    EXPECT_EQ(server.connections(), 1);
    // Many threads at once: never more connections than parallel().
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&] {
            std::vector<uint8_t> o;
            std::string r;
            for (int i = 0; i < 10; ++i) found += store->get(".zattrs", 100, o, r) == Got::Found && text(o) == s.attrs;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(found.load(), 160);
    EXPECT_LE(server.connections(), store->parallel());
    EXPECT_EQ(store->parallel(), 8);
    EXPECT_EQ(server.requests(), 220);
}

TEST(ZarrHttp, CancelAndStall) {
    Served s;
    HttpServer server(s.dir.path, {"--stall", "/0/0$"});
    ASSERT_TRUE(server.running());
    std::vector<uint8_t> out;
    std::string reason;
    // Cancelled before: nothing is asked for.
    auto store = open(server);
    *store->cancel = true;
    EXPECT_EQ(store->get(".zattrs", 100, out, reason), Got::Failed);
    EXPECT_EQ(reason, "was not fetched: the load was cancelled");
    EXPECT_EQ(server.requests(), 0);
    // Cancelled during a stalled transfer: it ends soon, without another try.
    store = open(server);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        *store->cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store->get("0/0", 1000, out, reason), Got::Failed);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(reason, "was not fetched: the load was cancelled");
    EXPECT_EQ(store->requests.load(), 1);
    // A stall nobody cancels ends by the low-speed limit, tried again, then refused.
    HttpLimits quick;
    quick.lowSpeedSeconds = 1, quick.retries = 1, quick.backoffMs = 10;
    store = open(server, quick);
    EXPECT_EQ(store->get("0/0", 1000, out, reason), Got::Failed);
    EXPECT_NE(reason.find("(2 tries)"), std::string::npos) << reason;
    EXPECT_EQ(store->requests.load(), 2);
    EXPECT_EQ(server.count("/img.zarr/0/0"), 3);
}
