#!/usr/bin/env python3
"""A stand-in platform over TLS on 127.0.0.1 for the channel's Windows tests, run on the host.

Every POST is answered {"type":"rpc","result":"ok"} and counted as one line in <seen>. The TLS
versions spoken are --min to --max; below TLS 1.2 the old algorithms are allowed, as an old
platform's server has them. Prints "listening on https://127.0.0.1:<port>" once ready and ends by
itself after --lifetime seconds (or when killed).
"""
import argparse
import http.server
import ssl
import threading
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)  # TLS 1.0 and 1.1, on purpose

VERSIONS = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1,
            "1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--seen", required=True)
    p.add_argument("--min", default="1.2", choices=VERSIONS)
    p.add_argument("--max", default="1.3", choices=VERSIONS)
    p.add_argument("--lifetime", type=float, default=120)
    a = p.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with open(a.seen, "a") as f:
                f.write(self.path + "\n")
            body = b'{"type":"rpc","result":"ok"}'
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if VERSIONS[a.min] < ssl.TLSVersion.TLSv1_2:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.minimum_version = VERSIONS[a.min]
    ctx.maximum_version = VERSIONS[a.max]
    ctx.load_cert_chain(a.cert, a.key)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Timer(a.lifetime, server.shutdown).start()
    print("listening on https://127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
