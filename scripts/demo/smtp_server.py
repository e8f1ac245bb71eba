"""The demo's mail server: receives the console's report mail.

usage: smtp_server.py ADDRESS PORT FOLDER USER PASSWORD [--starttls CERT KEY]
Listens on ADDRESS:PORT (loopback only in the demo) and accepts AUTH LOGIN or
PLAIN for USER and PASSWORD: without TLS, or with --starttls only after
STARTTLS, which it then requires, with the PEM certificate and key given. Each message is saved whole, as it arrived
(headers and body, dot-transparency removed), as FOLDER/NNNN.eml; one line per
message goes to FOLDER/envelopes.log (file, envelope sender, recipients,
whether the session logged in). Prints "READY <address> <port>" once
listening; runs until SIGTERM or SIGINT.
"""
import argparse
import asyncio
import logging
import os
import signal
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# aiosmtpd's own notices (one about its deprecated login_data) stay quiet.
logging.getLogger("mail.log").setLevel(logging.ERROR)


class Mailbox:
    def __init__(self, folder):
        self.folder = folder
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
        print("mail saved as %s" % path, flush=True)
        return "250 OK"


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        return AuthResult(success=ok)
    return authenticator


async def serve(address, port, folder, user, password, starttls):
    loop = asyncio.get_running_loop()
    mailbox = Mailbox(folder)
    authenticator = make_authenticator(user, password)
    context = None
    if starttls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(starttls[0], starttls[1])
    server = await loop.create_server(
        lambda: SMTP(mailbox, hostname="orvalla-demo", auth_require_tls=bool(context),
                     authenticator=authenticator, tls_context=context,
                     require_starttls=bool(context)),
        host=address, port=port)
    print("READY %s %d" % server.sockets[0].getsockname()[:2], flush=True)
    stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, lambda: stop.done() or stop.set_result(None))
    await stop
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("address", "port", "folder", "user", "password"):
        parser.add_argument(name)
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args()
    asyncio.run(serve(args.address, int(args.port), args.folder, args.user, args.password,
                      args.starttls))


if __name__ == "__main__":
    main()
