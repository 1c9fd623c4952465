"""Serves the built web player on the loopback address.

usage: serve_web.py PORT FOLDER
"""
import functools
import http.server
import os
import sys


class IsolatingHandler(http.server.SimpleHTTPRequestHandler):
    """Serves the page cross-origin isolated, so that its render may use two threads."""

    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        super().end_headers()


def main():
    port, folder = int(sys.argv[1]), sys.argv[2]
    handler = functools.partial(IsolatingHandler, directory=folder)
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    except OSError as error:
        sys.exit(f"web.sh: cannot serve on port {port}: {error.strerror}; "
                 f"choose another with PORT, e.g. PORT={port + 1} bash scripts/web.sh")
    # A background job does not receive Ctrl-C, so say how else to stop it.
    print(f"The web player: http://127.0.0.1:{port}/ "
          f"(Ctrl-C stops the server; in the background, kill {os.getpid()})", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
