#!/usr/bin/env python3
"""Writes a message as a program built on Python's email package does.

usage: make_mail.py OUT FILE...

Every FILE becomes an attachment by value (EmailMessage.add_attachment; a
non-ASCII name goes out in RFC 2231). Besides: a text attachment whose name
is written in RFC 2047 encoded words inside the quotes, as several mail
programs do, and an embedded message. Recipients in To, Cc and Bcc, with
non-ASCII display names.
"""
import base64
import email.policy
import os
import sys
from email.message import EmailMessage
from email.headerregistry import Address


def main():
    out, files = sys.argv[1], sys.argv[2:]
    msg = EmailMessage()
    msg["Subject"] = "Python’s corpus message"
    msg["From"] = Address("Sénder", addr_spec="sender@example.org")
    msg["To"] = [Address("Zoë Ärger", addr_spec="zoe@example.com"), Address("", addr_spec="plain@example.com")]
    msg["Cc"] = [Address("Jürgen Müller", addr_spec="jm@example.net")]
    msg["Bcc"] = [Address("", addr_spec="hidden@example.net")]
    msg.set_content("Body text, unchanged by any attachment work.\n")
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        msg.add_attachment(data, maintype="application", subtype="octet-stream",
                           filename=os.path.basename(path))

    inner = EmailMessage()
    inner["Subject"] = "Inner message"
    inner["From"] = "inner@example.org"
    inner.set_content("Inside.\n")
    msg.add_attachment(inner)

    # Written as an encoded word inside the quotes, which the email package
    # itself would turn into RFC 2231: put in after serialising.
    msg.add_attachment("Encoded-word name.\n", filename="PLACEHOLDER-NAME.txt")
    last = msg.get_payload()[-1]
    last.set_param("name", "PLACEHOLDER-NAME.txt")
    encoded = "=?utf-8?b?" + base64.b64encode("Übersicht €.txt".encode()).decode() + "?="
    data = msg.as_bytes(policy=email.policy.SMTP).replace(b"PLACEHOLDER-NAME.txt", encoded.encode())

    with open(out, "wb") as f:
        f.write(data)


main()
