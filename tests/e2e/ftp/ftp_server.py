"""A loopback FTP server for the upload tests.

usage: ftp_server.py ROOT USER PASSWORD [--masquerade ADDRESS]
                     [--tls CERT KEY] [--tls-required]
Listens on 127.0.0.1 at a port the system chooses, prints "PORT <n>" on
standard output and serves until it is killed. --masquerade makes the passive
replies name ADDRESS, as a server behind address translation does; --tls
offers AUTH TLS with the certificate and key given (PEM), and --tls-required
refuses logins and transfers without it.
"""
import argparse

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("--masquerade")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--tls-required", action="store_true")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.tls:
        # Needs python3-openssl.
        from pyftpdlib.handlers import TLS_FTPHandler

        handler = TLS_FTPHandler
        handler.certfile = args.tls[0]
        handler.keyfile = args.tls[1]
        handler.tls_control_required = args.tls_required
        handler.tls_data_required = args.tls_required
    else:
        handler = FTPHandler
    handler.authorizer = authorizer
    # The client's data port is on the same address as its control
    # connection (127.0.0.1) and is an ephemeral, unprivileged port.
    handler.permit_foreign_addresses = False
    handler.permit_privileged_ports = False
    if args.masquerade:
        handler.masquerade_address = args.masquerade
    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
