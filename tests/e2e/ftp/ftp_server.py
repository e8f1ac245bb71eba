"""A loopback FTP server for the upload tests.

usage: ftp_server.py ROOT USER PASSWORD
Listens on 127.0.0.1 at a port the system chooses, prints "PORT <n>" on
standard output and serves until it is killed. Active mode only matters here.
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1:4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    # The client's data port is on the same address as its control
    # connection (127.0.0.1) and is an ephemeral, unprivileged port.
    handler.permit_foreign_addresses = False
    handler.permit_privileged_ports = False
    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
