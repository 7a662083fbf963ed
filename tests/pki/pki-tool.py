#!/usr/bin/env python3
"""File operations the build needs around osslsigncode.

  pki-tool.py merge OUT.p7 FIRST.p7 SECOND.p7 [...]
      Merges Authenticode signatures of the same file into one SignedData whose
      signers appear in the order given. osslsigncode's -nest hides a second signature
      inside an unauthenticated attribute of the first signer, so the message still
      has one signer; here every signer sits in the one signerInfos set.
  pki-tool.py graft add|alone SIGNED.dll FROM.dll OUT.dll
      FROM.dll's signers (over other content) after SIGNED.dll's own signers, or alone.
  pki-tool.py attach SIGNED.dll SIGNATURE.p7 OUT.dll
      Replaces the embedded signature of a signed PE file (osslsigncode's
      attach-signature refuses a signature with more than one signer).
  pki-tool.py tamper SIGNED.dll OUT.dll
      Copies a signed PE file with one byte of its code section changed.
  pki-tool.py retime SIGNED.dll TSA.key UNIXTIME OUT.dll
      Sets the signing time inside the RFC 3161 time stamp of a signed PE file and signs
      the time stamp's attributes again with the TSA key. osslsigncode's -TSA-time sets
      only the token's genTime; its signer info keeps the current time, which is the
      time that Authenticode readers take.
  pki-tool.py countersign SIGNED.dll TSA-CHAIN.pem TSA.key UNIXTIME OUT.dll
      Gives the first signer the older form of time stamp, a counter-signature by the TSA
      key over its encrypted digest; the TSA's certificates join the signature's.
  pki-tool.py copystamp FROM.dll SIGNED.dll OUT.dll
      Gives the first signer the time stamp and certificates of FROM.dll's first signer.
  pki-tool.py breakstamp STAMPED.dll OUT.dll
      Changes one byte of the signature of the first signer's time stamp.
  pki-tool.py forge SIGNED.dll CA.pem PINNED.pem PINNED.key OUT.dll
      Adds CA "issued" by PINNED with a broken signature, and PINNED, to the certificates.
  pki-tool.py breaksigner SIGNED.dll INDEX OUT.dll
      Changes one byte of the signature of signer INDEX.
  pki-tool.py js SIGNED.ps1 OUT.js
      Turns a signed PowerShell-style script into a script-signed text whose signature
      block lines begin with "// SIG // ". The signature covers the text before the
      line break that precedes the block, as UTF-16LE.
"""
import sys


def read_tlv(data, pos):
    """Returns (tag bytes, content start, content end) of the element at pos."""
    start = pos
    pos += 1
    if data[start] & 0x1F == 0x1F:
        while data[pos] & 0x80:
            pos += 1
        pos += 1
    tag = data[start:pos]
    length = data[pos]
    pos += 1
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4:
            raise ValueError("unsupported DER length at offset %d" % (pos - 1))
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise ValueError("element at offset %d runs past the end" % start)
    return tag, pos, pos + length


def children(data, start, end):
    out = []
    pos = start
    while pos < end:
        tag, cstart, cend = read_tlv(data, pos)
        out.append((tag, data[pos:cend], data[cstart:cend]))
        pos = cend
    return out


def encode(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return tag + length + content


SIGNED_DATA_OID = bytes.fromhex("06092a864886f70d010702")


def parse_signed_data(blob):
    tag, s, e = read_tlv(blob, 0)
    outer = children(blob, s, e)
    if tag != b"\x30" or len(outer) != 2 or outer[0][1] != SIGNED_DATA_OID:
        raise ValueError("not a PKCS #7 SignedData")
    explicit = outer[1][2]
    tag, s, e = read_tlv(explicit, 0)
    fields = children(explicit, s, e)
    parts = {"version": fields[0][1], "digests": fields[1], "content": fields[2][1],
             "certs": [], "signers": []}
    for tag, _, content in fields[3:]:
        if tag == b"\xa0":
            parts["certs"] = [c[1] for c in children(content, 0, len(content))]
        elif tag == b"\x31":
            parts["signers"] = [c[1] for c in children(content, 0, len(content))]
        elif tag == b"\xa1":
            raise ValueError("CRLs in a signature are not supported")
    return parts


def pe_checksum(image, checksum_offset):
    total = 0
    padded = image + b"\0" * (len(image) % 2)
    for i in range(0, len(padded), 2):
        if checksum_offset <= i < checksum_offset + 4:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def attach(signed_pe, signature, out, blob=None):
    with open(signed_pe, "rb") as f:
        image = bytearray(f.read())
    if blob is None:
        with open(signature, "rb") as f:
            blob = f.read()
    pe = int.from_bytes(image[0x3C:0x40], "little")
    if image[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("pki-tool: %s is no PE file" % signed_pe)
    opt = pe + 24
    magic = int.from_bytes(image[opt:opt + 2], "little")
    dirs = opt + (112 if magic == 0x20B else 96)
    security = dirs + 4 * 8
    offset = int.from_bytes(image[security:security + 4], "little")
    size = int.from_bytes(image[security + 4:security + 8], "little")
    if offset == 0 or offset + size != len(image):
        raise SystemExit("pki-tool: %s has no signature at its end" % signed_pe)
    entry = len(blob) + 8
    entry += (8 - entry % 8) % 8
    cert = entry.to_bytes(4, "little") + (0x0200).to_bytes(2, "little") + (2).to_bytes(2, "little")
    cert += blob + b"\0" * (entry - 8 - len(blob))
    image = image[:offset] + cert
    image[security + 4:security + 8] = entry.to_bytes(4, "little")
    image[opt + 64:opt + 68] = pe_checksum(bytes(image), opt + 64).to_bytes(4, "little")
    with open(out, "wb") as f:
        f.write(image)


def pe_sections(image):
    pe = int.from_bytes(image[0x3C:0x40], "little")
    if image[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("pki-tool: no PE file")
    count = int.from_bytes(image[pe + 6:pe + 8], "little")
    opt_size = int.from_bytes(image[pe + 20:pe + 22], "little")
    table = pe + 24 + opt_size
    for i in range(count):
        entry = image[table + 40 * i:table + 40 * (i + 1)]
        yield (entry[:8].rstrip(b"\0"), int.from_bytes(entry[16:20], "little"),
               int.from_bytes(entry[20:24], "little"))


def kids(data, start, end):
    """Elements between start and end as (tag, tlv start, content start, content end)."""
    out = []
    pos = start
    while pos < end:
        tag, cstart, cend = read_tlv(data, pos)
        out.append((tag, pos, cstart, cend))
        pos = cend
    return out


def signer_infos(data, start):
    """The SignerInfo elements of the ContentInfo(SignedData) at start."""
    _, s, e = read_tlv(data, start)
    outer = kids(data, s, e)
    if data[outer[0][1]:outer[0][3]] != SIGNED_DATA_OID:
        raise SystemExit("pki-tool: not a PKCS #7 SignedData")
    _, s, e = read_tlv(data, outer[1][2])
    fields = kids(data, s, e)
    if fields[-1][0] != b"\x31":
        raise SystemExit("pki-tool: SignedData without signerInfos")
    return [kids(data, k[2], k[3]) for k in kids(data, fields[-1][2], fields[-1][3])]


def attribute(data, attrs, oid_der):
    """Content span of the first value of the attribute with the given OID."""
    for _, _, s, e in kids(data, attrs[2], attrs[3]):
        parts = kids(data, s, e)
        if data[parts[0][1]:parts[0][3]] == oid_der:
            return kids(data, parts[1][2], parts[1][3])[0]
    return None


TIMESTAMP_TOKEN_OID = bytes.fromhex("060a2b060104018237030301")
COUNTERSIGNATURE_OID = bytes.fromhex("06092a864886f70d010906")
SIGNING_TIME_OID = bytes.fromhex("06092a864886f70d010905")
DIGESTS = {bytes.fromhex("0609608648016503040201"): "-sha256", bytes.fromhex("06052b0e03021a"): "-sha1"}


def stamp_signer(image, offset):
    """The SignerInfo elements of the first signer's RFC 3161 token or counter-signature."""
    unauth = [k for k in signer_infos(image, offset + 8)[0] if k[0] == b"\xa1"]
    token = attribute(image, unauth[0], TIMESTAMP_TOKEN_OID) if unauth else None
    if token is not None:
        return signer_infos(image, token[1])[0]
    counter = attribute(image, unauth[0], COUNTERSIGNATURE_OID) if unauth else None
    if counter is None:
        raise SystemExit("pki-tool: the signature has no time stamp")
    return kids(image, counter[2], counter[3])


def pe_signature(path):
    """The image and the offset and bytes of its embedded signature."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    pe = int.from_bytes(image[0x3C:0x40], "little")
    magic = int.from_bytes(image[pe + 24:pe + 26], "little")
    security = pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
    offset = int.from_bytes(image[security:security + 4], "little")
    return image, offset, bytes(image[offset + 8:read_tlv(image, offset + 8)[2]])


def breakstamp(stamped_pe, out):
    image, offset, _ = pe_signature(stamped_pe)
    tsa = stamp_signer(image, offset)
    image[(tsa[-1] if tsa[-1][0] == b"\x04" else tsa[-2])[2] + 8] ^= 0x01
    attach(stamped_pe, None, out, bytes(image[offset + 8:read_tlv(image, offset + 8)[2]]))


def breaksigner(signed_pe, index, out):
    image, offset, _ = pe_signature(signed_pe)
    signer = signer_infos(image, offset + 8)[int(index)]
    image[(signer[-1] if signer[-1][0] == b"\x04" else signer[-2])[2] + 8] ^= 0x01
    attach(signed_pe, None, out, bytes(image[offset + 8:read_tlv(image, offset + 8)[2]]))


def restamp(signed_pe, unauth, extra_certs, out):
    """Re-embeds the signature with its first signer's unauthenticated attributes replaced."""
    parts = parse_signed_data(pe_signature(signed_pe)[2])
    _, s, e = read_tlv(parts["signers"][0], 0)
    fields = [f[1] for f in children(parts["signers"][0], s, e) if f[0] != b"\xa1"]
    signers = [encode(b"\x30", b"".join(fields) + unauth)] + parts["signers"][1:]
    certs = parts["certs"] + [c for c in extra_certs if c not in parts["certs"]]
    attach(signed_pe, None, out, signed_data_blob(parts, parts["digests"][1], certs, signers))


def countersign(signed_pe, tsa_pem, tsa_key, unix_time, out):
    import base64
    import datetime
    import hashlib
    import subprocess
    signer = parse_signed_data(pe_signature(signed_pe)[2])["signers"][0]
    encrypted_digest = children(signer, *read_tlv(signer, 0)[1:])[5][2]
    with open(tsa_pem) as f:
        blocks = f.read().split("-----BEGIN CERTIFICATE-----")[1:]
    certs = [base64.b64decode("".join(b.split("-----END")[0].split())) for b in blocks]
    tbs = children(certs[0], *read_tlv(certs[0], read_tlv(certs[0], 0)[1])[1:])
    when = datetime.datetime.fromtimestamp(int(unix_time), datetime.timezone.utc).strftime("%y%m%d%H%M%SZ")
    attrs = b"".join(sorted(encode(b"\x30", bytes.fromhex(oid) + encode(b"\x31", value)) for oid, value in (
        ("06092a864886f70d010903", bytes.fromhex("06092a864886f70d010701")),  # content type: data
        ("06092a864886f70d010905", encode(b"\x17", when.encode("ascii"))),    # signing time
        ("06092a864886f70d010904", encode(b"\x04", hashlib.sha256(encrypted_digest).digest())))))
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", tsa_key], input=encode(b"\x31", attrs),
                               check=True, capture_output=True).stdout
    counter = encode(b"\x30", b"\x02\x01\x01" + encode(b"\x30", tbs[3][1] + tbs[1][1]) +
                     bytes.fromhex("300d06096086480165030402010500") + encode(b"\xa0", attrs) +
                     bytes.fromhex("300d06092a864886f70d0101010500") + encode(b"\x04", signature))
    restamp(signed_pe, encode(b"\xa1", encode(b"\x30", COUNTERSIGNATURE_OID + encode(b"\x31", counter))), certs,
            out)


def copystamp(from_pe, signed_pe, out):
    source = parse_signed_data(pe_signature(from_pe)[2])
    signer = source["signers"][0]
    unauth = [f[1] for f in children(signer, *read_tlv(signer, 0)[1:]) if f[0] == b"\xa1"]
    restamp(signed_pe, unauth[0], source["certs"], out)


def retime(signed_pe, tsa_key, unix_time, out):
    import datetime
    import subprocess
    import tempfile
    with open(signed_pe, "rb") as f:
        image = bytearray(f.read())
    pe = int.from_bytes(image[0x3C:0x40], "little")
    opt = pe + 24
    magic = int.from_bytes(image[opt:opt + 2], "little")
    security = opt + (112 if magic == 0x20B else 96) + 4 * 8
    offset = int.from_bytes(image[security:security + 4], "little")
    if offset == 0:
        raise SystemExit("pki-tool: %s is not signed" % signed_pe)
    tsa = stamp_signer(image, offset)
    auth = [k for k in tsa if k[0] == b"\xa0"][0]
    when = attribute(image, auth, SIGNING_TIME_OID)
    text = datetime.datetime.fromtimestamp(int(unix_time), datetime.timezone.utc).strftime("%y%m%d%H%M%SZ")
    if when is None or when[0] != b"\x17" or when[3] - when[2] != len(text):
        raise SystemExit("pki-tool: the time stamp has no UTCTime signing time")
    image[when[2]:when[3]] = text.encode("ascii")
    algorithm = kids(image, tsa[2][2], tsa[2][3])[0]
    digest = DIGESTS.get(bytes(image[algorithm[1]:algorithm[3]]))
    if digest is None:
        raise SystemExit("pki-tool: unknown digest algorithm of the time stamp signer")
    # The signature covers the attributes encoded as a SET, not as [0].
    signed_attrs = b"\x31" + bytes(image[auth[1] + 1:auth[3]])
    with tempfile.NamedTemporaryFile() as tmp:
        tmp.write(signed_attrs)
        tmp.flush()
        signature = subprocess.run(["openssl", "dgst", digest, "-sign", tsa_key, tmp.name],
                                   check=True, capture_output=True).stdout
    sig = tsa[-1] if tsa[-1][0] == b"\x04" else tsa[-2]
    if sig[0] != b"\x04" or sig[3] - sig[2] != len(signature):
        raise SystemExit("pki-tool: the time stamp's signature has another size")
    image[sig[2]:sig[3]] = signature
    image[opt + 64:opt + 68] = pe_checksum(bytes(image), opt + 64).to_bytes(4, "little")
    with open(out, "wb") as f:
        f.write(image)


def forge(signed_pe, ca_pem, pinned_pem, pinned_key, out):
    import subprocess
    der = lambda *args: bytearray(subprocess.run(["openssl", "x509", *args, "-outform", "DER"], check=True,
                                                 capture_output=True).stdout)
    forged = der("-in", ca_pem, "-CA", pinned_pem, "-CAkey", pinned_key, "-set_serial", "0x7E57F0F6ED",
                 "-preserve_dates", "-copy_extensions", "copyall")
    forged[-1] ^= 0x01
    parts = parse_signed_data(pe_signature(signed_pe)[2])
    certs = parts["certs"] + [bytes(forged), bytes(der("-in", pinned_pem))]
    attach(signed_pe, None, out, signed_data_blob(parts, parts["digests"][1], certs, parts["signers"]))


def graft(mode, signed_pe, from_pe, out):
    own, donor = (parse_signed_data(pe_signature(p)[2]) for p in (signed_pe, from_pe))
    certs = own["certs"] + [c for c in donor["certs"] if c not in own["certs"]]
    signers = (own["signers"] if mode == "add" else []) + donor["signers"]
    attach(signed_pe, None, out, signed_data_blob(own, own["digests"][1], certs, signers))


def tamper(signed_pe, out):
    with open(signed_pe, "rb") as f:
        image = bytearray(f.read())
    for name, raw_size, raw_offset in pe_sections(image):
        if name == b".text" and raw_size > 64:
            image[raw_offset + 32] ^= 0x01
            break
    else:
        raise SystemExit("pki-tool: %s has no code section" % signed_pe)
    with open(out, "wb") as f:
        f.write(image)


def ps1_to_js(signed, out):
    with open(signed, "rb") as f:
        data = f.read()
    begin = data.find(b"\r\n# SIG # Begin signature block\r\n")
    if begin < 0:
        raise SystemExit("pki-tool: %s has no signature block" % signed)
    lines = data[begin + 2:].split(b"\r\n")
    block = []
    for line in lines:
        if not line:
            continue
        if line.startswith(b"# SIG # "):
            block.append(b"// SIG // " + line[len(b"# SIG # "):])
        elif line.startswith(b"# "):
            block.append(b"// SIG // " + line[2:])
        else:
            raise SystemExit("pki-tool: unexpected line in the signature block: %r" % line)
    with open(out, "wb") as f:
        f.write(data[:begin + 2] + b"\r\n".join(block) + b"\r\n")


def merge(out, names):
    inputs = []
    for name in names:
        with open(name, "rb") as f:
            inputs.append(parse_signed_data(f.read()))
    first = inputs[0]
    digests, certs, signers = [], [], []
    for p in inputs:
        if p["content"] != first["content"]:
            raise SystemExit("pki-tool: the signatures cover different content")
        for d in children(p["digests"][2], 0, len(p["digests"][2])):
            if d[1] not in digests:
                digests.append(d[1])
        for c in p["certs"]:
            if c not in certs:
                certs.append(c)
        signers.extend(p["signers"])
    with open(out, "wb") as f:
        f.write(signed_data_blob(first, encode(b"\x31", b"".join(digests)), certs, signers))


def signed_data_blob(parts, digests, certs, signers):
    body = (parts["version"] + digests + parts["content"] +
            encode(b"\xa0", b"".join(certs)) + encode(b"\x31", b"".join(signers)))
    return encode(b"\x30", SIGNED_DATA_OID + encode(b"\xa0", encode(b"\x30", body)))


def main(argv):
    commands = {"merge": (lambda a: merge(a[0], a[1:]), 3), "attach": (lambda a: attach(*a), 3),
                "tamper": (lambda a: tamper(*a), 2), "forge": (lambda a: forge(*a), 5),
                "breaksigner": (lambda a: breaksigner(*a), 3), "graft": (lambda a: graft(*a), 4),
                "retime": (lambda a: retime(*a), 4), "js": (lambda a: ps1_to_js(*a), 2),
                "countersign": (lambda a: countersign(*a), 5), "copystamp": (lambda a: copystamp(*a), 3),
                "breakstamp": (lambda a: breakstamp(*a), 2)}
    if len(argv) < 2 or argv[1] not in commands:
        sys.stderr.write(__doc__)
        return 2
    run, count = commands[argv[1]]
    args = argv[2:]
    if len(args) < count or (argv[1] != "merge" and len(args) != count):
        sys.stderr.write(__doc__)
        return 2
    run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
