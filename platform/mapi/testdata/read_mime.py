#!/usr/bin/env python3
"""Prints what Python's email package reads of a message, for the store's
tests to compare with what the store offers.

usage: read_mime.py MESSAGE OUTDIR

OUTDIR receives, per attachment N (the store's rule: leaf parts with a file
name or marked Content-Disposition: attachment, message/rfc822 parts, parts
whose transfer encoding is unknown; the walk does not enter embedded
messages), att-N.bin with the decoded data,
and per leaf part M (document order, embedded messages as one part)
part-M.raw with its raw headers and body as the file has them. Standard
output is JSON:
  {"recipients": [{"type": "to", "name": ..., "email": ...}],
   "attachments": [{"name": ..., "embedded": bool, "part": M}],
   "parts": M}
"""
import email
import email.policy
import json
import os
import sys

KNOWN_ENCODINGS = {"", "7bit", "8bit", "binary", "base64", "quoted-printable",
                   "x-uuencode", "uuencode", "x-uue", "7-bit", "8-bit"}


def raw_bytes(text):
    return text.encode("ascii", "surrogateescape")


def raw_part(part):
    # The part as the file has it: header lines unfolded as read, then the
    # body. compat32 keeps both untouched.
    out = b""
    for name, value in part.raw_items():
        out += raw_bytes(name) + b": " + raw_bytes(str(value)) + b"\n"
    # The payload as parsed, before get_payload would recode 8-bit text.
    payload = part._payload
    if not isinstance(payload, str):
        payload = ""
    return out + b"\n" + raw_bytes(payload)


def main():
    path, outdir = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    msg = email.message_from_bytes(data, policy=email.policy.default)
    raw = email.message_from_bytes(data, policy=email.policy.compat32)

    recipients = []
    for header, kind in (("To", "to"), ("Cc", "cc"), ("Bcc", "bcc")):
        for value in msg.get_all(header, []):
            for address in value.addresses:
                recipients.append({"type": kind, "name": address.display_name,
                                   "email": address.addr_spec})

    attachments = []
    parts = []

    def walk(part, raw_part_obj):
        if part.get_content_maintype() == "multipart" and part.is_multipart():
            for child, raw_child in zip(part.iter_parts(), raw_part_obj.get_payload()):
                walk(child, raw_child)
            return
        index = len(parts)
        parts.append(raw_part(raw_part_obj))
        cte = str(part.get("Content-Transfer-Encoding", "")).strip().lower()
        name = part.get_filename()
        embedded = part.get_content_type() == "message/rfc822"
        marked = part.get_content_disposition() == "attachment"
        if embedded or name or marked or cte not in KNOWN_ENCODINGS:
            n = len(attachments)
            if not embedded:
                with open(os.path.join(outdir, "att-%d.bin" % n), "wb") as f:
                    f.write(part.get_payload(decode=True) or b"")
            attachments.append({"name": name or "", "embedded": embedded, "part": index})

    walk(msg, raw)
    for i, content in enumerate(parts):
        with open(os.path.join(outdir, "part-%d.raw" % i), "wb") as f:
            f.write(content)
    json.dump({"recipients": recipients, "attachments": attachments, "parts": len(parts)},
              sys.stdout, ensure_ascii=False)


main()
