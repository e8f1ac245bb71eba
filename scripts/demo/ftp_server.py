"""The demo's FTP server: the web host the console uploads to.

usage: ftp_server.py ADDRESS PORT ROOT USER PASSWORD [--tls CERT KEY]
Serves ROOT to one user on ADDRESS:PORT (loopback only in the demo), prints
"READY <address> <port>" once listening and serves until it gets SIGTERM or
SIGINT. Active and passive mode both work. With --tls it requires explicit
TLS (AUTH TLS) for the login and the data, with the PEM certificate and key
given (python3-openssl).
"""
import argparse
import os
import signal

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("address", "port", "root", "user", "password"):
        parser.add_argument(name)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args()
    address, port, root, user, password = args.address, args.port, args.root, args.user, args.password
    os.makedirs(root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    if args.tls:
        from pyftpdlib.handlers import TLS_FTPHandler

        handler = TLS_FTPHandler
        handler.certfile, handler.keyfile = args.tls
        handler.tls_control_required = True
        handler.tls_data_required = True
    else:
        handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "Orvalla demo FTP server"
    # Data connections only to the console's own address, never to port < 1024.
    handler.permit_foreign_addresses = False
    handler.permit_privileged_ports = False
    server = FTPServer((address, int(port)), handler)
    # SIGTERM ends the loop the same way Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: server.close_all())
    print("READY %s %d" % server.address[:2], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
