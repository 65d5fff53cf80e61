#!/usr/bin/python3
"""Judges whether a message rebuilt from the Yahoo web service is equivalent to the one
stored: mimecheck.py ORIGINAL RECEIVED (files). Exit status 0 when equivalent; 1 with
the first difference on standard output otherwise; 2 when a file cannot be read.

Equivalent means: the top-level header fields match (names, values and order), apart
from the charset parameter of Content-Type, Content-Transfer-Encoding and a leading
"From " line; the part trees and their content types (parameters apart from charset)
match; text parts hold the same decoded text (line ends aside), other parts the same
decoded bytes, and an embedded message is equivalent by these same rules; every part
has the same disposition, file name (RFC 2231 decoded) and Content-ID; and no Base64
body line of the received message is longer than 76 characters.
"""

import email
import email.policy
import email.utils
import sys

BASE64_LINE = 76


class Different(Exception):
    pass


def params(part):
    """Content-Type parameters other than charset, names lower-cased, values decoded."""
    found = []
    for name, value in (part.get_params(failobj=[], header="content-type") or [])[1:]:
        if name.lower() != "charset":
            found.append((name.lower(), email.utils.collapse_rfc2231_value(value)))
    return found


def header_fields(message):
    return [(name, str(value)) for name, value in message.items()
            if name.lower() not in ("content-type", "content-transfer-encoding")]


def content_id(part):
    value = part.get("Content-ID")
    return None if value is None else str(value).strip()


def text_of(part):
    return part.get_content().replace("\r\n", "\n")


def check_base64(part, where):
    if part.get("Content-Transfer-Encoding", "").strip().lower() != "base64":
        return
    for n, line in enumerate(part.get_payload(decode=False).splitlines(), 1):
        if len(line) > BASE64_LINE:
            raise Different("%s: Base64 line %d has %d characters" % (where, n, len(line)))


def compare_headers(original, received, where):
    a, b = header_fields(original), header_fields(received)
    for n, (x, y) in enumerate(zip(a, b), 1):
        if x != y:
            raise Different("%s: header field %d differs: %r, received %r" % (where, n, x, y))
    if len(a) != len(b):
        longer, which = (a, "missing") if len(a) > len(b) else (b, "added")
        raise Different("%s: header field %r %s" % (where, longer[min(len(a), len(b))], which))


def compare_part(original, received, where):
    for what, get in (("content type", lambda p: p.get_content_type()), ("type parameters", params),
                      ("disposition", lambda p: p.get_content_disposition()),
                      ("file name", lambda p: p.get_filename()), ("Content-ID", content_id)):
        x, y = get(original), get(received)
        if x != y:
            raise Different("%s: %s %r, received %r" % (where, what, x, y))
    check_base64(received, where)
    if original.get_content_type() == "message/rfc822":
        compare_message(original.get_payload(0), received.get_payload(0), where + " (embedded message)")
    elif original.is_multipart():
        a, b = original.get_payload(), received.get_payload()
        if len(a) != len(b):
            raise Different("%s: %d parts, received %d" % (where, len(a), len(b)))
        for n, (x, y) in enumerate(zip(a, b), 1):
            compare_part(x, y, "%s.%d" % (where, n) if where != "TEXT" else str(n))
    elif original.get_content_maintype() == "text":
        x, y = text_of(original), text_of(received)
        if x != y:
            at = next((i for i, (c, d) in enumerate(zip(x, y)) if c != d), min(len(x), len(y)))
            raise Different("%s: text differs at character %d: %r, received %r"
                            % (where, at, x[max(0, at - 20):at + 20], y[max(0, at - 20):at + 20]))
    else:
        x, y = original.get_payload(decode=True) or b"", received.get_payload(decode=True) or b""
        if x != y:
            raise Different("%s: %d decoded bytes, received %d%s" % (where, len(x), len(y),
                                                                     " (same length, other bytes)" if len(x) == len(y) else ""))


def compare_message(original, received, where="TEXT"):
    compare_headers(original, received, where)
    compare_part(original, received, where)


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.default)


def difference(original, received):
    """The first difference between two messages (bytes), or None when equivalent."""
    try:
        compare_message(parse(original), parse(received))
    except Different as e:
        return str(e)
    return None


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: mimecheck.py ORIGINAL RECEIVED\n")
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            original = f.read()
        with open(sys.argv[2], "rb") as f:
            received = f.read()
    except OSError as e:
        sys.stderr.write("%s\n" % e)
        return 2
    why = difference(original, received)
    if why is None:
        return 0
    sys.stdout.write(why + "\n")
    return 1


if __name__ == "__main__":
    sys.exit(main())
