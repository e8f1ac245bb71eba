"""SMTP peer for the end-to-end mail tests.

Listens on 127.0.0.1, on a port the system picks, and prints "PORT <n>".
Accepts AUTH LOGIN without TLS for the user "orvalla" with the password
"segredo". Every message received is appended to the record file as one JSON
line: envelope sender, recipients, whether the session authenticated, and the
message bytes (Base64) as they arrived, dot-transparency already removed.
Stops when its standard input closes.
"""

import asyncio
import base64
import json
import os
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
            "data": base64.b64encode(envelope.original_content).decode("ascii"),
        }
        with open(self.path, "a", encoding="ascii") as f:
            f.write(json.dumps(record) + "\n")
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (
        mechanism == "LOGIN"
        and isinstance(auth_data, LoginPassword)
        and auth_data.login == b"orvalla"
        and auth_data.password == b"segredo"
    )
    return AuthResult(success=ok)


async def main(path):
    loop = asyncio.get_running_loop()
    handler = Recorder(path)
    server = await loop.create_server(
        lambda: SMTP(
            handler,
            hostname="orvalla-e2e",
            auth_require_tls=False,
            authenticator=authenticator,
        ),
        host="127.0.0.1",
        port=0,
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
    asyncio.run(main(sys.argv[1]))
