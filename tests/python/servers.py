"""Servers the remote-input tests read videos from, on 127.0.0.1 only: an S3-compatible one (moto) and
a web server that answers range requests. Both end with the test session, or by themselves after
SERVE_SECONDS."""
import contextlib
import os
import re
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

SERVE_SECONDS = 1800
# moto accepts any keys; s3fs must not look for real ones.
S3_KEYS = {"key": "testing", "secret": "testing"}
# The byte ranges the web servers answered, (first, last), for tests that a reader asked for ranges.
served_ranges: list = []


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def s3_server():
    """An S3-compatible server; yields the storage options that reach it."""
    import logging
    from moto.server import ThreadedMotoServer
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    port = _free_port()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    timer = threading.Timer(SERVE_SECONDS, server.stop)
    timer.daemon = True
    timer.start()
    try:
        yield {**S3_KEYS, "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}"}}
    finally:
        timer.cancel()
        server.stop()


class _RangeHandler(BaseHTTPRequestHandler):
    """GET and HEAD of the files under `root`, whole or one byte range (`Range: bytes=A-B`, `A-`, `-N`)."""

    root = Path(".")

    def do_HEAD(self):
        self._answer(body=False)

    def do_GET(self):
        self._answer(body=True)

    def _answer(self, body: bool):
        path = self.root / self.path.split("?", 1)[0].lstrip("/")
        if not path.is_file():
            self.send_error(404)
            return
        size = path.stat().st_size
        start, end, status = 0, size - 1, 200
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        if match and (match.group(1) or match.group(2)):
            first, last = match.groups()
            if first:
                start, end = int(first), min(int(last), size - 1) if last else size - 1
            else:
                start = max(0, size - int(last))
            if start >= size:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{size}")
                self.end_headers()
                return
            status = 206
            served_ranges.append((start, end))
        self.send_response(status)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        if status == 206:
            self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        self.end_headers()
        if body:
            with open(path, "rb") as f:
                f.seek(start)
                self.wfile.write(f.read(end - start + 1))

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def http_server(root: Path):
    """A web server of the files under `root`; yields its base URL."""
    handler = type("Handler", (_RangeHandler,), {"root": root})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.timeout = 0.2
    stop = threading.Event()
    deadline = time.monotonic() + SERVE_SECONDS

    def serve():
        while not stop.is_set() and time.monotonic() < deadline:
            server.handle_request()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        stop.set()
        thread.join()
        server.server_close()


def no_proxy() -> None:
    """Requests to 127.0.0.1 go straight to the servers whatever proxy the machine sets."""
    os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"
