// HttpServer: tests/httpserver.py on 127.0.0.1 serving a folder, for tests of reading over HTTP.
//
//   testutil::HttpServer server(dir, {"--status", "\\.zattrs$=500", "--drop", "/0/0/"});
//   ASSERT_TRUE(server.running());  store = openHttp(server.url() + "/img.zarr", reason);
//   server.count("/img.zarr/0/.zarray"), server.requests(), server.connections()
//
// Options are the script's (see its header): --status REGEX=CODE, --drop REGEX, --loop REGEX,
// --stall REGEX, --seconds S (default 60), --requests N (default 1000). The destructor ends
// the server and waits for it, so no test leaves one running. No window code.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testutil {

class HttpServer {
public:
    explicit HttpServer(const std::string& root, const std::vector<std::string>& options = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Whether the server started and said its port (within 10 seconds).
    bool running() const { return port_ > 0; }
    // "http://127.0.0.1:PORT", without a trailing "/".
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The paths asked for so far, in order.
    std::vector<std::string> paths() const;
    int requests() const { return static_cast<int>(paths().size()); }
    // Requests for exactly this path ("/img.zarr/.zattrs").
    int count(const std::string& path) const;
    // TCP connections the server accepted.
    int connections() const;

private:
    std::vector<std::string> lines() const;
    std::string log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testutil
