#!/usr/bin/python3
"""A small HTTP server for the tests: serves a folder on 127.0.0.1 and misbehaves on request.

    httpserver.py ROOT [--log FILE] [--seconds S] [--requests N]
                       [--status REGEX=CODE] [--drop REGEX] [--loop REGEX] [--stall REGEX]

Prints the port it listens on (one line), then serves until S seconds have passed (60) or
N requests were answered (1000). Paths are matched with re.search; each option may repeat.
  --status  answers CODE (with a short body) for matching paths
  --drop    closes the connection without an answer
  --loop    redirects the path to itself, for ever
  --stall   sends the headers, then waits until the server ends
The log gets one line per request, its path, and "#connection" for each new connection.
Range requests ("bytes=A-B", "bytes=A-", "bytes=-N") are answered with 206.
"""
import argparse
import http.server
import os
import re
import sys
import threading
import time

args = None
log_lock = threading.Lock()
log_file = None
answered = 0


def log(line):
    if log_file:
        with log_lock:
            log_file.write(line + "\n")
            log_file.flush()  # the test reads it while the server runs


def matches(patterns, path):
    return any(re.search(p, path) for p in patterns)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # connections kept open between requests
    disable_nagle_algorithm = True  # headers and body as they are written, no 40 ms waits

    def setup(self):
        super().setup()
        log("#connection")

    def log_message(self, *a):
        pass

    def send(self, code, body, headers=()):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        global answered
        path = self.path.split("?", 1)[0]
        log(path)
        try:
            self.answer(path)
        finally:
            with log_lock:
                answered += 1
                if answered >= args.requests:
                    threading.Thread(target=self.server.shutdown, daemon=True).start()

    def answer(self, path):
        for rule in args.status:
            pattern, code = rule.rsplit("=", 1)
            if re.search(pattern, path):
                return self.send(int(code), b"refused\n")
        if matches(args.drop, path):
            self.close_connection = True
            return
        if matches(args.loop, path):
            return self.send(302, b"", [("Location", path)])
        file = os.path.join(args.root, path.lstrip("/"))
        if not os.path.isfile(file):
            return self.send(404, b"not found\n")
        with open(file, "rb") as f:
            data = f.read()
        if matches(args.stall, path):
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.flush()
            time.sleep(args.seconds)
            return
        rng = self.headers.get("Range")
        if not rng:
            return self.send(200, data)
        m = re.fullmatch(r"bytes=(\d*)-(\d*)", rng.strip())
        n = len(data)
        if not m or (m.group(1) == "" and m.group(2) == ""):
            return self.send(416, b"", [("Content-Range", "bytes */%d" % n)])
        if m.group(1) == "":
            first, last = max(0, n - int(m.group(2))), n - 1
        else:
            first = int(m.group(1))
            last = min(n - 1, int(m.group(2))) if m.group(2) else n - 1
        if first >= n or first > last:
            return self.send(416, b"", [("Content-Range", "bytes */%d" % n)])
        self.send(206, data[first : last + 1], [("Content-Range", "bytes %d-%d/%d" % (first, last, n))])


def main():
    global args
    p = argparse.ArgumentParser()
    p.add_argument("root")
    p.add_argument("--log")
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--requests", type=int, default=1000)
    for name in ("status", "drop", "loop", "stall"):
        p.add_argument("--" + name, action="append", default=[])
    args = p.parse_args()
    global log_file
    log_file = open(args.log, "a") if args.log else None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    # The time limit: the whole process ends, stalled answers included.
    threading.Timer(args.seconds, lambda: os._exit(0)).start()
    server.serve_forever(poll_interval=0.05)
    os._exit(0)


if __name__ == "__main__":
    main()
