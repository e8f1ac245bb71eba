"""The FTP server of the demo and of the tests: the web host the console uploads to.

usage: ftp_server.py ROOT USER PASSWORD [--address ADDRESS] [--port PORT]
                     [--masquerade ADDRESS] [--tls CERT KEY] [--tls-required]
Serves ROOT to one user on ADDRESS:PORT (127.0.0.1 and a port the system
chooses unless given), prints "READY <address> <port>" once listening and
serves until it gets SIGTERM or SIGINT. Active and passive mode both work.
--masquerade makes the passive replies name ADDRESS, as a server behind
address translation does; --tls offers explicit TLS (AUTH TLS) with the PEM
certificate and key given (python3-openssl), and --tls-required refuses
logins and transfers without it.
"""
import argparse
import os
import signal

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("root", "user", "password"):
        parser.add_argument(name)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--masquerade")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--tls-required", action="store_true")
    args = parser.parse_args()

    os.makedirs(args.root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.tls:
        from pyftpdlib.handlers import TLS_FTPHandler

        handler = TLS_FTPHandler
        handler.certfile, handler.keyfile = args.tls
        handler.tls_control_required = args.tls_required
        handler.tls_data_required = args.tls_required
    else:
        handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "Orvalla demo FTP server"
    # Data connections only to the client's own address, never to port < 1024.
    handler.permit_foreign_addresses = False
    handler.permit_privileged_ports = False
    if args.masquerade:
        handler.masquerade_address = args.masquerade
    server = FTPServer((args.address, args.port), handler)
    # SIGTERM ends the loop the same way Ctrl-C does.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    print("READY %s %d" % server.address[:2], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
