"""Loopback SSE server for the end-to-end benchmark, run as its own process.

    python sse_server.py BODY_FILE

Listens on 127.0.0.1 at a free port, prints that port on one line, and answers
every POST with the body file as an event stream, one chunk per event (as the
service flushes them). Stops when its standard input closes, or after ten
minutes at most.
"""

import http.server
import os
import sys
import threading

LIFETIME = 600


def main():
    body = open(sys.argv[1], "rb").read()
    events = [e + b"\n\n" for e in body.split(b"\n\n") if e]
    framed = [b"%x\r\n%s\r\n" % (len(e), e) for e in events] + [b"0\r\n\r\n"]

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.end_headers()
            for chunk in framed:
                self.wfile.write(chunk)
            self.close_connection = True

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    watchdog = threading.Timer(LIFETIME, os._exit, (0,))
    watchdog.daemon = True
    watchdog.start()
    sys.stdin.read()  # returns when the parent closes the pipe or exits
    server.shutdown()


if __name__ == "__main__":
    main()
