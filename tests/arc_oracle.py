#!/usr/bin/env python3
"""ARC chains made and checked by dkimpy, an ARC implementation we did not write.

Used by the C++ tests in tests/ (run with the python3 the build found able to
import dkimpy: Debian's python3-dkim and python3-authres) and importable by
other test scripts. The openssl command line is TOLLBROOK_OPENSSL from the
environment (the one the build found), or "openssl" on PATH.

Commands:
  keygen BITS PEM              write a PKCS#1 RSA key, print its p= text
  seal PEM SELECTOR DOMAIN SRV_ID [CANON] < message > message-with-new-set
  verify RECORDS < message     print dkimpy's cv and reason; RECORDS is a
                               file of "name<TAB>txt" lines
  fixtures OUTDIR              write the interop fixtures: OUTDIR/<case>.eml,
                               OUTDIR/records.txt (name<TAB>txt per key) and
                               OUTDIR/dkimpy.txt (case<TAB>dkimpy's cv)

Keep chains to what dkimpy reads correctly: sets in the order a sealer adds
them, a current t= and a single From field.
"""

import inspect
import os
import re
import subprocess
import sys
import textwrap

import dkim


# --- keys ------------------------------------------------------------------

def openssl():
    """The openssl command line the C++ tests were built with."""
    return os.environ.get("TOLLBROOK_OPENSSL") or "openssl"


def make_key(bits, pem_path):
    """Writes an RSA key (PKCS#1 PEM, what dkimpy reads) and returns its p= text."""
    subprocess.run([openssl(), "genrsa", "-traditional", "-out", pem_path, str(bits)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return public_key_text(pem_path)


def public_key_text(pem_path):
    """Base64 of the DER SubjectPublicKeyInfo, as openssl writes it."""
    der = subprocess.run([openssl(), "rsa", "-in", pem_path, "-pubout", "-outform", "DER"],
                         check=True, capture_output=True).stdout
    import base64
    return base64.b64encode(der).decode("ascii")


def key_record(p_text):
    return "v=DKIM1; k=rsa; p=" + p_text


# --- sealing ---------------------------------------------------------------

def _arc_signer_with_canonicalization():
    """dkimpy's ARC signer always writes c=relaxed/relaxed. This is the same
    signer with the AMS canonicalization as a parameter (the seal stays
    relaxed, as ARC requires), made by editing its source so that every other
    step is dkimpy's own."""
    source = textwrap.dedent(inspect.getsource(dkim.ARC.sign))
    edits = [
        ("timestamp=None, standardize=False):",
         "timestamp=None, standardize=False, ams_canon=b'relaxed/relaxed'):"),
        ("canon_policy = CanonicalizationPolicy.from_c_value(b'relaxed/relaxed')",
         "canon_policy = CanonicalizationPolicy.from_c_value(ams_canon)"),
        ("(b'c', b'relaxed/relaxed'),", "(b'c', ams_canon),"),
    ]
    for old, new in edits:
        if source.count(old) != 1:
            raise RuntimeError("dkimpy's ARC signer changed; cannot find: " + old)
        source = source.replace(old, new)
    marker = "# Compute ARC-Seal"
    if source.count(marker) != 1:
        raise RuntimeError("dkimpy's ARC signer changed; cannot find the seal step")
    indent = re.search(r"^( *)" + re.escape(marker), source, re.MULTILINE).group(1)
    source = source.replace(
        marker,
        "canon_policy = CanonicalizationPolicy.from_c_value(b'relaxed/relaxed')\n"
        + indent + marker)
    namespace = dict(vars(dkim))
    exec(compile(source, "dkim_arc_sign_with_canon", "exec"), namespace)
    return namespace["sign"]


_sign_with_canon = _arc_signer_with_canonicalization()


def arc_seal(message, pem, selector, domain, srv_id, ams_canon=b"relaxed/relaxed",
             timestamp=None):
    """Returns the message (bytes, CR LF) with dkimpy's new ARC set on top. The
    message must carry an Authentication-Results field of srv_id; its arc=
    result decides the cv."""
    with open(pem, "rb") as f:
        key = f.read()
    signer = dkim.ARC(message, signature_algorithm=b"rsa-sha256")
    include = signer.default_sign_headers()
    new_set = _sign_with_canon(signer, selector, domain, key, srv_id, include_headers=include,
                               timestamp=timestamp, ams_canon=ams_canon)
    if not new_set:
        raise RuntimeError("dkimpy did not seal (no Authentication-Results of %r?)" % srv_id)
    return b"".join(new_set) + message


def add_auth_results(message, srv_id, arc_result=None):
    """Prepends the Authentication-Results field a hop writes before it seals."""
    value = srv_id + b"; spf=pass smtp.mailfrom=example.org"
    if arc_result is not None:
        value += b"; arc=" + arc_result
    return b"Authentication-Results: " + value + b"\r\n" + message


# --- verification ----------------------------------------------------------

def read_records(path):
    records = {}
    with open(path, encoding="ascii") as f:
        for line in f:
            name, _, text = line.rstrip("\n").partition("\t")
            records[name] = text
    return records


def write_records(path, records):
    """The inverse of read_records."""
    with open(path, "w", encoding="ascii") as f:
        for name, text in sorted(records.items()):
            f.write("%s\t%s\n" % (name, text))


def record_lookup(records):
    """A dkimpy dnsfunc answering key queries from `records` (name -> text)."""
    def dnsfunc(name, timeout=5):
        text = records.get(name.decode("ascii").rstrip("."))
        return None if text is None else text.encode("ascii")
    return dnsfunc


def arc_verify(message, records):
    """dkimpy's verdict: (cv, reason), with key records answered from `records`."""
    cv, _, reason = dkim.arc_verify(message, dnsfunc=record_lookup(records))
    return (cv.decode("ascii") if cv else "none-ended"), reason


# --- the interop fixtures --------------------------------------------------

BASE_HEADERS = (
    b"Received: from mail.example.org (mail.example.org [192.0.2.1])\r\n"
    b"\tby mx.example.com; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    b"From: Alice Example <alice@example.org>\r\n"
    b"To: Bob <bob@example.com>,\r\n"
    b"  Carol <carol@example.com>\r\n"
    b"Subject: A folded\r\n"
    b"\tsubject   line \r\n"
    b"Date: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    b"Message-ID: <fixture@example.org>\r\n"
    b"MIME-Version: 1.0\r\n"
    b"Content-Type: text/plain; charset=utf-8\r\n")

BASE_BODY = (
    b"Hello Bob,\r\n"
    b"  an indented line with trailing spaces   \r\n"
    b"tabs\tinside\t\tthe line\r\n"
    b"\r\n"
    b"Regards\r\n")


class Keys:
    """The fixture keys: one per name, published under selector._domainkey.domain."""

    def __init__(self, outdir):
        self.outdir = outdir
        self.records = {}
        self.pems = {}

    def make(self, name, bits):
        pem = os.path.join(self.outdir, name + ".pem")
        self.pems[name] = pem
        return make_key(bits, pem)

    def publish(self, selector, domain, text):
        self.records["%s._domainkey.%s" % (selector, domain)] = text

    def publish_hops(self, count, p_text):
        """Publishes p_text under the names of hops 1 to count (see hop_names)."""
        for k in range(1, count + 1):
            selector, domain = hop_names(k)
            self.publish(selector.decode(), domain.decode(), key_record(p_text))


def hop_names(k):
    return ("s%d" % k).encode(), ("hop%d.example" % k).encode()


def build_chain(keys, hops, headers=BASE_HEADERS, body=BASE_BODY, between=None):
    """Seals the message once per hop. A hop is a dict with optional "canon",
    "key" (a key name), "selector", "cv" (the arc= result its
    Authentication-Results states). `between(k, message)` may change the
    message before hop k seals."""
    message = headers + b"\r\n" + body
    for k, hop in enumerate(hops, start=1):
        if between:
            message = between(k, message)
        selector, domain = hop_names(k)
        selector = hop.get("selector", selector)
        srv_id = domain
        arc_result = hop.get("cv", None if k == 1 else b"pass")
        message = add_auth_results(message, srv_id, arc_result)
        message = arc_seal(message, keys.pems[hop.get("key", "main")], selector, domain, srv_id,
                           ams_canon=hop.get("canon", b"relaxed/relaxed"))
    return message


def header_block_and_body(message):
    split = message.index(b"\r\n\r\n")
    return message[:split + 2], message[split + 4:]


def fields(message):
    """The header fields as a list of raw texts (each with its folds and CR LF)."""
    block, _ = header_block_and_body(message)
    result = []
    for line in block.split(b"\r\n")[:-1]:
        if line[:1] in (b" ", b"\t") and result:
            result[-1] += line + b"\r\n"
        else:
            result.append(line + b"\r\n")
    return result


def join(field_list, body):
    return b"".join(field_list) + b"\r\n" + body


def edit_field(message, name, instance, change):
    """Applies change(bytes) -> bytes to the ARC field `name` of `instance`."""
    out = []
    pattern = re.compile(rb"i\s*=\s*%d\s*;" % instance)
    done = False
    for f in fields(message):
        if not done and f.lower().startswith(name.lower() + b":") and pattern.search(f):
            f = change(f)
            done = True
        out.append(f)
    if not done:
        raise RuntimeError("no %r of instance %d" % (name, instance))
    return join(out, header_block_and_body(message)[1])


def remove_set(message, instance):
    pattern = re.compile(rb"i\s*=\s*%d\s*;" % instance)
    arc = (b"arc-seal:", b"arc-message-signature:", b"arc-authentication-results:")
    kept = [f for f in fields(message)
            if not (f.lower().startswith(arc) and pattern.search(f))]
    return join(kept, header_block_and_body(message)[1])


def duplicate_field(message, name, instance):
    pattern = re.compile(rb"i\s*=\s*%d\s*;" % instance)
    out = []
    for f in fields(message):
        out.append(f)
        if f.lower().startswith(name.lower() + b":") and pattern.search(f):
            out.append(f)
    return join(out, header_block_and_body(message)[1])


def replace_once(old, new):
    def change(text):
        if old not in text:
            raise RuntimeError("%r not in %r" % (old, text))
        return text.replace(old, new, 1)
    return change


def write_messages(outdir, cases, records):
    """OUTDIR/<case>.eml for each case (name -> message) and OUTDIR/records.txt."""
    for name, message in cases.items():
        with open(os.path.join(outdir, name + ".eml"), "wb") as f:
            f.write(message)
    write_records(os.path.join(outdir, "records.txt"), records)


def write_fixtures(outdir):
    os.makedirs(outdir, exist_ok=True)
    keys = Keys(outdir)
    main = keys.make("main", 2048)
    small = keys.make("small", 1024)
    weak = keys.make("weak", 512)
    keys.publish_hops(5, main)
    keys.publish("small", "hop1.example", key_record(small))
    keys.publish("small", "hop2.example", key_record(small))
    keys.publish("weak", "hop2.example", key_record(weak))
    keys.publish("revoked", "hop1.example", "v=DKIM1; k=rsa; p=")

    relaxed = {}
    simple = {"canon": b"simple/simple"}
    cases = {}
    for n in range(1, 6):
        cases["relaxed_%d" % n] = build_chain(keys, [relaxed] * n)
    cases["simple_1"] = build_chain(keys, [simple])
    cases["mixed_3"] = build_chain(
        keys, [simple, {"canon": b"relaxed/simple", "key": "small", "selector": b"small"},
               {"canon": b"simple/relaxed"}])
    lf = build_chain(keys, [relaxed, simple])
    cases["lf_only_2"] = lf.replace(b"\r\n", b"\n")
    cases["empty_body_2"] = build_chain(keys, [simple, relaxed], body=b"")
    cases["trailing_blank_lines_2"] = build_chain(
        keys, [simple, simple], body=BASE_BODY + b"\r\n\r\n  \r\n\r\n")
    cases["eight_bit_2"] = build_chain(
        keys, [relaxed, simple],
        headers=BASE_HEADERS.replace(b"subject   line", "sübject — line".encode("utf-8")),
        body=b"caf\xe9 cr\xe8me \xff\xfe\r\n" + "naïve\r\n".encode("utf-8"))
    cases["body_changed_between_hops_2"] = build_chain(
        keys, [relaxed, relaxed],
        between=lambda k, m: m + b"-- \r\nlist footer\r\n" if k == 2 else m)

    three = build_chain(keys, [relaxed] * 3)
    cases["body_changed_3"] = three + b"P.S. one more line\r\n"
    cases["signed_header_changed_3"] = three.replace(
        b"Subject: A folded", b"Subject: A falsified", 1)
    cases["aar_changed_3"] = edit_field(
        three, b"ARC-Authentication-Results", 2, replace_once(b"spf=pass", b"spf=fail"))
    cases["seal_changed_3"] = edit_field(three, b"ARC-Seal", 1, replace_once(b"t=", b"t=1"))
    cases["set_removed_3"] = remove_set(three, 2)
    cases["duplicate_ams_3"] = duplicate_field(three, b"ARC-Message-Signature", 1)
    cases["revoked_key_3"] = build_chain(keys, [{"selector": b"revoked"}, relaxed, relaxed])
    cases["weak_key_2"] = build_chain(keys, [relaxed, {"key": "weak", "selector": b"weak"}])
    cases["unsupported_a_2"] = edit_field(
        build_chain(keys, [relaxed] * 2), b"ARC-Message-Signature", 2,
        replace_once(b"a=rsa-sha256", b"a=rsa-sha1"))
    cases["cv_fail_3"] = build_chain(keys, [relaxed, relaxed, {"cv": b"fail"}])
    cases["nxdomain_1"] = build_chain(keys, [{"selector": b"missing"}])

    write_messages(outdir, cases, keys.records)
    with open(os.path.join(outdir, "dkimpy.txt"), "w", encoding="ascii") as f:
        for name, message in sorted(cases.items()):
            f.write("%s\t%s\n" % (name, arc_verify(message, keys.records)[0]))


def main(argv):
    if len(argv) >= 3 and argv[1] == "keygen":
        print(make_key(int(argv[2]), argv[3]))
    elif len(argv) >= 6 and argv[1] == "seal":
        canon = argv[6].encode() if len(argv) > 6 else b"relaxed/relaxed"
        message = sys.stdin.buffer.read()
        sys.stdout.buffer.write(
            arc_seal(message, argv[2], argv[3].encode(), argv[4].encode(), argv[5].encode(),
                     ams_canon=canon))
    elif len(argv) == 3 and argv[1] == "verify":
        cv, reason = arc_verify(sys.stdin.buffer.read(), read_records(argv[2]))
        print("%s\t%s" % (cv, reason))
    elif len(argv) == 3 and argv[1] == "fixtures":
        write_fixtures(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
