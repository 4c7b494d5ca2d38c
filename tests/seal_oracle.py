#!/usr/bin/env python3
"""dkimpy's view of the ARC sets tollbrook-seal makes.

Builds on tests/arc_oracle.py (dkimpy chains, keys, key records). Run with a
python3 that has Debian's python3-dkim and python3-authres.

Commands:
  chains OUTDIR                 write dkimpy-made messages to continue:
                                OUTDIR/<case>.eml and OUTDIR/records.txt
  verify RECORDS MESSAGE        dkimpy's verdict on the whole chain: "<cv>"
  verify-set RECORDS I SCOPE MESSAGE
                                dkimpy's check of the ARC set of instance I
                                alone: "ams=<ok|bad> seal=<ok|bad>". SCOPE
                                "chain" checks the seal over every ARC field
                                of instance I or lower, as the message has
                                them; "alone" over the topmost set of
                                instance I only (what a cv=fail seal must
                                cover).

Keys of dkimpy's hops are published under s<k>._domainkey.hop<k>.example.
"""

import os
import re
import sys

import dkim

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import arc_oracle  # noqa: E402

ARC_NAMES = (b"arc-seal", b"arc-message-signature", b"arc-authentication-results")

# A message carrying an Authentication-Results this host vouches for (srv id
# seal.example, method spf) next to one it must not (dkim is not local).
VOUCHED_HEADERS = (
    b"Authentication-Results: seal.example; spf=pass smtp.mailfrom=example.org\r\n"
    b"Authentication-Results: seal.example; spf=pass; dkim=pass header.d=example.org\r\n"
    + arc_oracle.BASE_HEADERS)


def write_chains(outdir):
    os.makedirs(outdir, exist_ok=True)
    keys = arc_oracle.Keys(outdir)
    keys.publish_hops(4, keys.make("main", 2048))
    relaxed = {}
    simple = {"canon": b"simple/simple"}
    cases = {
        "bare_0": arc_oracle.BASE_HEADERS + b"\r\n" + arc_oracle.BASE_BODY,
        "vouched_0": VOUCHED_HEADERS + b"\r\n" + arc_oracle.BASE_BODY,
        "empty_body_0": arc_oracle.BASE_HEADERS + b"\r\n",
        "simple_1": arc_oracle.build_chain(keys, [simple]),
        "eight_bit_2": arc_oracle.build_chain(
            keys, [relaxed, simple],
            body=b"caf\xe9 cr\xe8me \xff\r\n" + "naïve\r\n".encode("utf-8")),
    }
    for n in range(1, 5):
        cases["relaxed_%d" % n] = arc_oracle.build_chain(keys, [relaxed] * n)
    cases["lf_only_2"] = arc_oracle.build_chain(keys, [relaxed, simple]).replace(b"\r\n", b"\n")
    two = arc_oracle.build_chain(keys, [relaxed] * 2)
    cases["body_changed_2"] = two + b"-- \r\nappended after sealing\r\n"
    cases["set_removed_3"] = arc_oracle.remove_set(
        arc_oracle.build_chain(keys, [relaxed] * 3), 2)
    cases["cv_fail_3"] = arc_oracle.build_chain(keys, [relaxed, relaxed, {"cv": b"fail"}])
    arc_oracle.write_messages(outdir, cases, keys.records)


def instance_of(field_value):
    match = re.match(rb"\s*i\s*=\s*(\d+)\s*;", field_value)
    return int(match.group(1)) if match else None


def only_newest_fields(message, instance):
    """The message with one ARC set left: the topmost field of each ARC name
    with this instance (a sealer puts its set on top). Every other ARC field,
    of any instance, is removed."""
    kept, seen = [], set()
    for field in arc_oracle.fields(message):
        name, _, value = field.partition(b":")
        name = name.strip().lower()
        if name in ARC_NAMES:
            if instance_of(value) != instance or name in seen:
                continue
            seen.add(name)
        kept.append(field)
    return arc_oracle.join(kept, arc_oracle.header_block_and_body(message)[1])


def verify_set(message, records, instance, scope):
    if scope == "alone":
        message = only_newest_fields(message, instance)
    verifier = dkim.ARC(message)
    _, arc_headers = verifier.sorted_arc_headers()
    result = verifier.verify_instance(arc_headers, instance,
                                      dnsfunc=arc_oracle.record_lookup(records))
    word = lambda ok: "ok" if ok else "bad"
    return "ams=%s seal=%s" % (word(result["ams-valid"]), word(result["as-valid"]))


def read_message(path):
    """The message file with CR LF line ends, as dkimpy expects them."""
    with open(path, "rb") as f:
        return f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main(argv):
    if len(argv) == 3 and argv[1] == "chains":
        write_chains(argv[2])
    elif len(argv) == 4 and argv[1] == "verify":
        cv, reason = arc_oracle.arc_verify(read_message(argv[3]), arc_oracle.read_records(argv[2]))
        print("%s\t%s" % (cv, reason))
    elif len(argv) == 6 and argv[1] == "verify-set":
        records = arc_oracle.read_records(argv[2])
        print(verify_set(read_message(argv[5]), records, int(argv[3]), argv[4]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
