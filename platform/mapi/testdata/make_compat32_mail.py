#!/usr/bin/env python3
"""Writes a message as older programs on Python's email package do (the
compat32 policy, names encoded with email.header.Header), plus the
nameless attachments a command-line mailer writes for a pipe.

usage: make_compat32_mail.py OUT

Parts, in order: the text body; two attachments whose long UTF-8 names
are folded as several base64 encoded words inside the quotes, one of them
named in Content-Type only; one with a short name; a text/plain part and
an application/octet-stream part marked "attachment" without any name.
"""
import re
import sys
from email.header import Header
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
import email.policy

# Names whose base64 words end in padding before the last one.
FOLDED = ["Kosten in € – Übersicht für das Büro in 東京 (Entwurf).pdf",
          "Kosten in € – Übersicht für das Büro in 東京, Entwurf.pdf"]


def encoded(name):
    return Header(name, "utf-8").encode()


def main():
    out = sys.argv[1]
    msg = MIMEMultipart()
    msg["Subject"] = "compat32 message"
    msg["From"] = "sender@example.org"
    msg["To"] = "Plain <plain@example.com>"
    msg.attach(MIMEText("Body text.\n", "plain", "utf-8"))

    first = MIMEApplication(b"first attachment\x00\x01", "pdf")
    first.add_header("Content-Disposition", "attachment", filename=encoded(FOLDED[0]))
    first.set_param("name", encoded(FOLDED[0]))
    msg.attach(first)

    second = MIMEApplication(b"named in Content-Type only", "octet-stream")
    second.set_param("name", encoded(FOLDED[1]))
    msg.attach(second)

    third = MIMEApplication(b"short", "octet-stream")
    third.add_header("Content-Disposition", "attachment", filename="short.bin")
    msg.attach(third)

    piped = MIMEText("piped text\nsecond line\n", "plain", "utf-8")
    piped.add_header("Content-Disposition", "attachment")
    msg.attach(piped)

    raw = MIMEApplication(b"\x00\x01\x02 raw bytes from a pipe", "octet-stream")
    raw.add_header("Content-Disposition", "attachment")
    msg.attach(raw)

    data = msg.as_bytes(policy=email.policy.compat32)
    # The point of the message: padding ends a word before the last one.
    if not re.search(rb"=\?utf-8\?b\?[A-Za-z0-9+/]*=\?=\s+=\?utf-8", data):
        sys.exit("no folded name with padding inside; pick other names")
    with open(out, "wb") as f:
        f.write(data)


main()
