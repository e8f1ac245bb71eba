"""The mail server of the demo and of the tests: receives the console's report mail.

usage: smtp_server.py FOLDER USER PASSWORD [--address ADDRESS] [--port PORT]
                      [--starttls CERT KEY | --tls CERT KEY] [--records FILE]
Listens on ADDRESS:PORT (127.0.0.1 and a port the system chooses unless
given) and accepts AUTH LOGIN or PLAIN for USER and PASSWORD: without TLS by
default; with --starttls only after STARTTLS, which it then requires; with
--tls the connection is TLS from the first byte (PEM certificate and key).
Each message is saved whole, as it arrived (headers and body, dot-transparency
removed), as FOLDER/NNNN.eml; one line per message goes to
FOLDER/envelopes.log (file, envelope sender, recipients, whether the session
logged in and was encrypted). --records FILE also appends one JSON line per
message: envelope sender, recipients, whether the session authenticated and
with which mechanism, whether it was encrypted, and the message bytes
(Base64). Prints "READY <address> <port>" once listening; runs until SIGTERM
or SIGINT.
"""

import argparse
import asyncio
import base64
import json
import logging
import os
import signal
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# aiosmtpd's own notices (one about its deprecated login_data) stay quiet.
logging.getLogger("mail.log").setLevel(logging.ERROR)


class Mailbox:
    def __init__(self, folder, records):
        self.folder = folder
        self.records = records
        os.makedirs(folder, exist_ok=True)

    def next_name(self):
        taken = [int(n[:4]) for n in os.listdir(self.folder)
                 if len(n) == 8 and n.endswith(".eml") and n[:4].isdigit()]
        return "%04d.eml" % (max(taken, default=0) + 1)

    async def handle_DATA(self, server, session, envelope):
        name = self.next_name()
        # aiosmtpd keeps the null sender of "MAIL FROM:<>" as "<>".
        sender = "" if envelope.mail_from in (None, "", "<>") else envelope.mail_from
        path = os.path.join(self.folder, name)
        with open(path + ".part", "wb") as f:
            f.write(envelope.original_content)
        os.replace(path + ".part", path)
        encrypted = server.transport.get_extra_info("ssl_object") is not None
        with open(os.path.join(self.folder, "envelopes.log"), "a", encoding="utf-8") as f:
            f.write("%s %s from=<%s> to=%s authenticated=%s tls=%s bytes=%d\n" % (
                time.strftime("%Y-%m-%d %H:%M:%S"), name, sender,
                ",".join(envelope.rcpt_tos), "yes" if session.authenticated else "no",
                "yes" if encrypted else "no", len(envelope.original_content)))
        if self.records:
            record = {
                "mail_from": envelope.mail_from,
                "rcpt_tos": list(envelope.rcpt_tos),
                "authenticated": bool(session.authenticated),
                "mechanism": getattr(session, "orvalla_mechanism", ""),
                "tls": encrypted,
                "data": base64.b64encode(envelope.original_content).decode("ascii"),
            }
            with open(self.records, "a", encoding="ascii") as f:
                f.write(json.dumps(record) + "\n")
        print("mail saved as %s" % path, flush=True)
        return "250 OK"


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        if ok:
            session.orvalla_mechanism = mechanism
        return AuthResult(success=ok)
    return authenticator


async def serve(args):
    loop = asyncio.get_running_loop()
    mailbox = Mailbox(args.folder, args.records)
    authenticator = make_authenticator(args.user, args.password)
    pem = args.starttls or args.tls
    context = None
    if pem:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(pem[0], pem[1])
    server = await loop.create_server(
        # With --tls the server cannot tell the connection is encrypted.
        lambda: SMTP(mailbox, hostname="orvalla-demo", auth_require_tls=bool(args.starttls),
                     authenticator=authenticator, tls_context=context if args.starttls else None,
                     require_starttls=bool(args.starttls)),
        host=args.address, port=args.port, ssl=context if args.tls else None)
    print("READY %s %d" % server.sockets[0].getsockname()[:2], flush=True)
    stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, lambda: stop.done() or stop.set_result(None))
    await stop
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("folder", "user", "password"):
        parser.add_argument(name)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    tls = parser.add_mutually_exclusive_group()
    tls.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    tls.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--records")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
