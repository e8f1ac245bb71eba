"""SMTP peer for the end-to-end mail tests.

usage: smtp_server.py RECORDS [--starttls CERT KEY | --tls CERT KEY]
Listens on 127.0.0.1, on a port the system picks, and prints "PORT <n>".
Accepts AUTH LOGIN and PLAIN for the user "orvalla" with the password
"segredo": without TLS by default; with --starttls only after STARTTLS, which
it requires before anything else; with --tls the connection is TLS from the
first byte. Every message received is appended to the record file as one JSON
line: envelope sender, recipients, whether the session authenticated and with
which mechanism, whether it was encrypted, and the message bytes (Base64) as
they arrived, dot-transparency already removed. Stops when its standard input
closes.
"""

import argparse
import asyncio
import base64
import json
import os
import ssl
import sys
import logging

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# The server's own notices (one touches its deprecated login_data) stay quiet.
logging.getLogger("mail.log").setLevel(logging.ERROR)


class Recorder:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "authenticated": bool(session.authenticated),
            "mechanism": getattr(session, "orvalla_mechanism", ""),
            "tls": server.transport.get_extra_info("ssl_object") is not None,
            "data": base64.b64encode(envelope.original_content).decode("ascii"),
        }
        with open(self.path, "a", encoding="ascii") as f:
            f.write(json.dumps(record) + "\n")
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (
        mechanism in ("LOGIN", "PLAIN")
        and isinstance(auth_data, LoginPassword)
        and auth_data.login == b"orvalla"
        and auth_data.password == b"segredo"
    )
    if ok:
        session.orvalla_mechanism = mechanism
    return AuthResult(success=ok)


async def main(args):
    loop = asyncio.get_running_loop()
    handler = Recorder(args.records)
    pem = args.starttls or args.tls
    context = None
    if pem:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(pem[0], pem[1])
    server = await loop.create_server(
        lambda: SMTP(
            handler,
            hostname="orvalla-e2e",
            # With --tls the server cannot tell the connection is encrypted.
            auth_require_tls=bool(args.starttls),
            authenticator=authenticator,
            tls_context=context if args.starttls else None,
            require_starttls=bool(args.starttls),
        ),
        host="127.0.0.1",
        port=0,
        ssl=context if args.tls else None,
    )
    print("PORT", server.sockets[0].getsockname()[1], flush=True)

    stop = loop.create_future()

    def stdin_ready():
        if not os.read(sys.stdin.fileno(), 4096) and not stop.done():
            stop.set_result(None)

    loop.add_reader(sys.stdin.fileno(), stdin_ready)
    await stop
    server.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("records")
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    asyncio.run(main(parser.parse_args()))
