#!/usr/bin/python3
"""Local test servers for the network tests.

    servers.py http|ftp ROOT LOG [USER:PASSWORD]

Listens on a free port of 127.0.0.1, prints the port on the first line of stdout
and serves ROOT until stdin closes or it is terminated. LOG receives one line per
connection ("CONNECT"), per HTTP request (request line and headers) or per FTP
command. File names pick the misbehaviour:

    stall*   sends the first 8192 bytes, then nothing more
    cut*     sends half of the file, then closes the connection
    private/ (HTTP) needs Basic credentials USER:PASSWORD; FTP logs USER in,
             anonymous logins too
    status/NNN (HTTP) answers with status NNN and a short page
    raw/NAME   (HTTP) answers with the bytes of RAW_ANSWERS[NAME], then closes
    garbage/N  (HTTP) answers with random bytes from seed N, then closes
"""
import base64
import os
import random
import sys
import threading
import time
import urllib.parse

RAW_ANSWERS = {
    "huge-length": b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nabc",
    "negative-length": b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc",
    "text-length": b"HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\nabc",
    "no-status": b"Content-Length: 3\r\n\r\nabc",
    "http09": b"just a body",
    "bad-chunks": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n",
    "endless-header": b"HTTP/1.1 200 OK\r\nX: " + b"a" * 200000,
    "redirect-loop": b"HTTP/1.1 302 Found\r\nLocation: /raw/redirect-loop\r\nContent-Length: 0\r\n\r\n",
    "nothing": b"",
}
STALL_BYTES = 8192
STALL_SECONDS = 30


def main():
    kind, root, log_path = sys.argv[1:4]
    creds = sys.argv[4] if len(sys.argv) > 4 else "kv:secret"
    user, password = creds.split(":", 1)
    log = open(log_path, "a", buffering=1)
    lock = threading.Lock()

    def note(text):
        with lock:
            log.write(text + "\n")

    # The test that started us is gone once our stdin closes.
    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server = (http_server if kind == "http" else ftp_server)(root, note, user, password)
    print(server.socket.getsockname()[1] if kind == "http" else server.address[1], flush=True)
    server.serve_forever()


class Misbehaving:
    """A file object that stalls or ends early, by its name."""

    def __init__(self, path):
        self.f = open(path, "rb")
        self.name = path
        size = os.path.getsize(path)
        base = os.path.basename(path)
        self.limit = STALL_BYTES if base.startswith("stall") else size // 2 if base.startswith("cut") else None
        self.stall = base.startswith("stall")
        self.sent = 0
        self.closed = False

    def read(self, n=-1):
        if self.limit is not None and self.sent >= self.limit:
            if self.stall:
                time.sleep(STALL_SECONDS)
            return b""
        if self.limit is not None:
            n = min(n if n > 0 else self.limit, self.limit - self.sent)
        data = self.f.read(n)
        self.sent += len(data)
        return data

    def close(self):
        self.closed = True
        self.f.close()


def http_server(root, note, user, password):
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def setup(self):
            super().setup()
            note("CONNECT")

        def log_message(self, *args):
            pass

        def answer(self, status, body, close=False):
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            if close:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(body)

        def raw(self, data):
            self.wfile.write(data)
            self.wfile.flush()
            self.close_connection = True

        def do_GET(self):
            note("REQUEST " + self.requestline)
            for name, value in self.headers.items():
                note("HEADER %s: %s" % (name, value))
            path = urllib.parse.unquote(self.path.split("?", 1)[0], encoding="latin-1")
            parts = [p for p in path.split("/") if p]
            if parts[:1] == ["raw"] and len(parts) == 2:
                return self.raw(RAW_ANSWERS[parts[1]])
            if parts[:1] == ["garbage"] and len(parts) == 2:
                rng = random.Random(int(parts[1]))
                return self.raw(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400))))
            if parts[:1] == ["status"] and len(parts) == 2:
                return self.answer(int(parts[1]), b"<html>Status page</html>")
            if parts[:1] == ["private"]:
                expected = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
                if self.headers.get("Authorization") != expected:
                    return self.answer(401, b"<html>Authorization required</html>")
            local = os.path.join(root, *parts)
            if not parts or ".." in parts or not os.path.isfile(local):
                return self.answer(404, b"<html><body>404 Not Found</body></html>")
            size = os.path.getsize(local)
            f = Misbehaving(local)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if not os.path.basename(local).startswith("nolength"):
                self.send_header("Content-Length", str(size))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            while True:
                data = f.read(65536)
                if not data:
                    break
                self.wfile.write(data)
            f.close()
            if f.limit is not None:
                self.close_connection = True

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    return server


def ftp_server(root, note, user, password):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.filesystems import AbstractedFS
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import ThreadedFTPServer

    class FS(AbstractedFS):
        def open(self, filename, mode):
            if "r" in mode and os.path.basename(filename).startswith(("stall", "cut")):
                return Misbehaving(filename)
            return super().open(filename, mode)

    class Handler(FTPHandler):
        abstracted_fs = FS
        use_sendfile = False
        auth_failed_timeout = 0.1
        banner = "Kelvane test server ready."

        def on_connect(self):
            note("CONNECT")

        def pre_process_command(self, line, cmd, arg):
            note("COMMAND " + (cmd + " ****" if cmd == "PASS" else line))
            return super().pre_process_command(line, cmd, arg)

        def log(self, *args, **kwargs):
            pass

        def logline(self, *args, **kwargs):
            pass

        def logerror(self, *args, **kwargs):
            pass

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elr")
    authorizer.add_anonymous(root, perm="elr")
    Handler.authorizer = authorizer
    import logging
    logging.getLogger("pyftpdlib").setLevel(logging.CRITICAL)
    return ThreadedFTPServer(("127.0.0.1", 0), Handler)


if __name__ == "__main__":
    main()
