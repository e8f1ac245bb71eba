"""The demo's FTP server: the web host the console uploads to.

usage: ftp_server.py ADDRESS PORT ROOT USER PASSWORD
Serves ROOT to one user on ADDRESS:PORT (loopback only in the demo), prints
"READY <address> <port>" once listening and serves until it gets SIGTERM or
SIGINT. The console never asks for passive mode, so the server opens the data
connections back to the console (active mode).
"""
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    address, port, root, user, password = sys.argv[1:6]
    os.makedirs(root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
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
