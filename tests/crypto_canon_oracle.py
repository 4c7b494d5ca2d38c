"""Canonical forms computed by dkimpy, for comparison with Tollbrook's own.

Reads lines "body HEX" or "message HEX" (HEX is "-" for no bytes) on standard
input and answers each with one line of hex fields ("-" for no bytes):
  body:    simple-body simple-sha256 relaxed-body relaxed-sha256
  message: field-count, then per field simple-form relaxed-form (without the
           final CR LF), then the four body fields as above.
"""
import hashlib
import sys

from dkim import rfc822_parse
from dkim.canonicalization import Relaxed, Simple


def hx(data):
    return data.hex() if data else "-"


def body_fields(body):
    fields = []
    for algorithm in (Simple, Relaxed):
        canonical = algorithm.canonicalize_body(body)
        fields += [hx(canonical), hashlib.sha256(canonical).hexdigest()]
    return fields


def message_fields(raw):
    headers, body = rfc822_parse(raw)
    fields = [str(len(headers))]
    for name, value in headers:
        simple_name, simple_value = Simple.canonicalize_headers([(name, value)])[0]
        relaxed_name, relaxed_value = Relaxed.canonicalize_headers([(name, value)])[0]
        fields.append(hx((simple_name + b":" + simple_value)[:-2]))
        fields.append(hx((relaxed_name + b":" + relaxed_value)[:-2]))
    return fields + body_fields(body)


def main():
    for line in sys.stdin:
        kind, data = line.split()
        raw = b"" if data == "-" else bytes.fromhex(data)
        fields = body_fields(raw) if kind == "body" else message_fields(raw)
        print(" ".join(fields))


if __name__ == "__main__":
    main()
