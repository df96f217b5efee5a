#!/usr/bin/env python3
"""A scripted HTTP/1.1 server on 127.0.0.1 for the tests of the agent download.

It answers from a JSON routes file that it reads again for every request, so a
test can change the answers between two requests. The file maps "METHOD PATH"
or just "PATH" (any method) to an answer, or to a list of answers given in
turn, the last one to every request after:

    {"status": 301, "headers": [["Location", "/b"], ["etag", "\"x\""]],
     "body": "...", "stall": "" | "before-answer" | "mid-body" | "pause-mid-body" | "reset" |
               "reset-mid-body" | "close" | "endless"}

Header names and values are sent exactly as written, followed by
Content-Length (unless the answer names one) and "Connection: close".
"before-answer" reads the request and never answers; "mid-body" sends the
headers and half the body, then nothing more; "pause-mid-body" sends the headers
and half the body, and the rest once the route's answer has another stall;
"reset" reads the request and resets the connection; "reset-mid-body" sends the
headers and half the body, then resets it; "close" closes it without an answer;
"endless" sends the headers without Content-Length and then the body over and
over until the client goes. Texts are Latin-1, so every byte value survives the
trip through JSON.

Every request is appended to the log file as "METHOD TARGET STATUS" before its
answer goes out. Once listening, the chosen port is written to the port file.
Python's standard library only.
"""

import argparse
import http
import json
import os
import socket
import socketserver
import struct
import threading
import time

NOT_FOUND = {"status": 404, "headers": [], "body": "no route\n", "stall": ""}


class ScriptServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, routes_path, log_path):
        super().__init__(("127.0.0.1", 0), RequestHandler)
        self.routes_path = routes_path
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.never = threading.Event()
        self.asked = {}  # how often each route of a list was asked


    def answer_for(self, method, target):
        try:
            with open(self.routes_path, encoding="latin-1") as routes_file:
                routes = json.load(routes_file)
        except FileNotFoundError:
            routes = {}
        path = target.split("?", 1)[0]
        key = method + " " + path if method + " " + path in routes else path
        answer = routes.get(key) or NOT_FOUND
        if isinstance(answer, list):
            with self.log_lock:
                turn = self.asked.get(key, 0)
                self.asked[key] = turn + 1
            answer = answer[min(turn, len(answer) - 1)]
        return answer

    def log(self, line):
        with self.log_lock, open(self.log_path, "a", encoding="latin-1") as log_file:
            log_file.write(line + "\n")


class RequestHandler(socketserver.StreamRequestHandler):
    def reset(self):
        # A linger of 0 s makes close() send RST instead of FIN.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def handle(self):
        request_line = self.rfile.readline(65536).decode("latin-1").split()
        if len(request_line) < 2:
            return
        method, target = request_line[0], request_line[1]
        while self.rfile.readline(65536) not in (b"\r\n", b"\n", b""):
            pass

        answer = self.server.answer_for(method, target)
        status = int(answer.get("status", 200))
        self.server.log("%s %s %d" % (method, target, status))
        stall = answer.get("stall", "")
        if stall == "before-answer":
            self.server.never.wait()
            return
        if stall == "reset":
            self.reset()
            return
        if stall == "close":
            return

        body = answer.get("body", "").encode("latin-1")
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = "Unknown"
        head = "HTTP/1.1 %d %s\r\n" % (status, reason)
        headers = answer.get("headers", [])
        for name, value in headers:
            head += "%s: %s\r\n" % (name, value)
        if stall != "endless" and not any(name.lower() == "content-length" for name, _ in headers):
            head += "Content-Length: %d\r\n" % len(body)
        head += "Connection: close\r\n\r\n"
        self.wfile.write(head.encode("latin-1"))
        if method == "HEAD":
            return
        if stall == "endless":
            block = (body or b"x") * (65536 // max(1, len(body)) + 1)
            try:
                while True:
                    self.wfile.write(block)
            except OSError:
                return
        if stall == "reset-mid-body":
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.reset()
            return
        if stall in ("mid-body", "pause-mid-body"):
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            if stall == "mid-body":
                self.server.never.wait()
                return
            # The test changes the route once it has seen what it waits for.
            while self.server.answer_for(method, target).get("stall", "") == stall:
                time.sleep(0.02)
            self.wfile.write(body[len(body) // 2 :])
            return
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--routes", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()

    server = ScriptServer(args.routes, args.log)
    temp = args.port_file + ".tmp"
    with open(temp, "w", encoding="ascii") as port_file:
        port_file.write("%d\n" % server.server_address[1])
    os.replace(temp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
