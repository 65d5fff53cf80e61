#!/usr/bin/python3
"""An SMTP server for tests and the demo, built on aiosmtpd.

Every accepted message is saved in --dir as NNNNNN.env (envelope) and NNNNNN.eml (the
content bytes exactly as received, after the server's own dot-unstuffing), numbered in
order of arrival. Both are in place before the end of data is answered, so a client that
saw 250 finds them. The .env file holds one "key value" line each:
    helo <argument of HELO/EHLO>
    auth <user name that logged in>   (only after AUTH)
    tls 0|1
    from <envelope sender>
    to <recipient>                    (one line per recipient, in order)

The EHLO reply lists PIPELINING (aiosmtpd reads pipelined commands in order but does
not say so itself) unless --no-pipelining is given.

When the server listens it prints "PORT <n>" on a line of its own; SIGTERM or SIGINT
stops it. It binds to the loopback address only.

Fault injection: --fail "VERB[/TEXT][*TIMES]=REPLY" answers the command VERB (HELO,
EHLO, AUTH, MAIL, RCPT, DATA, RSET, QUIT, NOOP; DOT for the end of data) with REPLY
instead of handling it; /TEXT limits it to commands whose argument (for DOT: the
message content) contains TEXT, *TIMES to the first TIMES matching commands. May be
given several times.
"""

import argparse
import asyncio
import os
import signal
import ssl
import logging
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Fault:
    def __init__(self, rule):
        verb, sep, self.reply = rule.partition("=")
        if not sep or not self.reply:
            raise ValueError("bad --fail value: " + rule)
        self.times = None
        if "*" in verb:
            verb, times = verb.rsplit("*", 1)
            self.times = int(times)
        self.verb, _, self.match = verb.partition("/")
        self.verb = self.verb.upper()

    def applies(self, arg):
        if self.match and self.match not in (arg or ""):
            return False
        if self.times is not None:
            if self.times <= 0:
                return False
            self.times -= 1
        return True


def first_fault(faults, verb, arg):
    for fault in faults:
        if fault.verb == verb and fault.applies(arg):
            return fault
    return None


class Sink:
    """Saves each message; answers the end of data with a fault when one applies."""

    def __init__(self, folder, faults, pipelining):
        self.folder = folder
        self.faults = faults
        self.pipelining = pipelining
        self.count = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_DATA(self, server, session, envelope):
        fault = first_fault(self.faults, "DOT", envelope.original_content.decode("latin-1"))
        if fault:
            return fault.reply
        self.count += 1
        base = os.path.join(self.folder, "%06d" % self.count)
        lines = ["helo %s" % (session.host_name or "")]
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            lines.append("auth %s" % session.auth_data.login.decode("utf-8", "replace"))
        lines.append("tls %d" % (1 if server.implicit_tls else 0))
        lines.append("from %s" % envelope.mail_from)
        lines.extend("to %s" % rcpt for rcpt in envelope.rcpt_tos)
        write_atomically(base + ".env", ("\n".join(lines) + "\n").encode("utf-8"))
        write_atomically(base + ".eml", envelope.original_content)
        return "250 OK"


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.rename(tmp, path)


def make_server_class(line_limit):
    class SinkSMTP(SMTP):
        line_length_limit = line_limit

        def __init__(self, handler, faults, implicit_tls, **kwargs):
            super().__init__(handler, **kwargs)
            self.implicit_tls = implicit_tls
            for verb, method in list(self._smtp_methods.items()):
                if any(f.verb == verb for f in faults):
                    self._smtp_methods[verb] = self._faulty(verb, method, faults)

        def _faulty(self, verb, method, faults):
            async def run(arg):
                fault = first_fault(faults, verb, arg)
                if fault:
                    await self.push(fault.reply)
                else:
                    await method(arg)

            return run

    return SinkSMTP


def main():
    # aiosmtpd logs a warning about its own use of a deprecated session field at every AUTH.
    logging.getLogger("mail.log").addFilter(lambda record: "login_data is deprecated" not in record.getMessage())
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", required=True, help="folder for the received messages")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--tls-cert", help="certificate chain: speak TLS from the first byte")
    parser.add_argument("--tls-key", help="private key of --tls-cert")
    parser.add_argument("--user", help="offer AUTH LOGIN and accept this user name")
    parser.add_argument("--password", default="", help="the password of --user")
    parser.add_argument("--fail", action="append", default=[], metavar="RULE", help="VERB[/TEXT][*TIMES]=REPLY")
    parser.add_argument("--no-pipelining", action="store_true", help="leave PIPELINING out of the EHLO reply")
    parser.add_argument("--line-limit", type=int, default=1001, help="longest line accepted, CR LF included")
    args = parser.parse_args()

    faults = [Fault(rule) for rule in args.fail]
    os.makedirs(args.dir, exist_ok=True)
    context = None
    if args.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls_cert, args.tls_key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (
            mechanism == "LOGIN"
            and isinstance(auth_data, LoginPassword)
            and auth_data.login == args.user.encode("utf-8")
            and auth_data.password == args.password.encode("utf-8")
        )
        if ok:
            return AuthResult(success=True, auth_data=auth_data)
        # Not handled: aiosmtpd answers the refusal itself.
        return AuthResult(success=False, handled=False)

    handler = Sink(args.dir, faults, not args.no_pipelining)
    server_class = make_server_class(args.line_limit)
    options = dict(
        decode_data=False,
        hostname="sink.localhost",
        auth_require_tls=False,
        authenticator=authenticator if args.user else None,
        auth_exclude_mechanism=["PLAIN"],
    )

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(
            lambda: server_class(handler, faults, context is not None, loop=loop, **options),
            host="127.0.0.1",
            port=args.port,
            ssl=context,
        )
    )
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, loop.stop)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
