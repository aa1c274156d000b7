#!/usr/bin/env python3
"""A second hand on the sample's signing, sharing no code with the tools that signed it.

For the sample folder (drivers/*.inf with their images and catalogs, kernel/*.sys) it computes,
with nothing but the standard library:
  - each image's Authenticode hash (the PE checksum, the certificate table's directory entry and
    the certificate table left out), and compares it with the digest its own signature holds;
  - each INF's SHA-1 and each image's Authenticode SHA-1, and compares them with the members of
    the INF's catalog (tag, indirect-data digest, file name, subject interface package), which
    must be in ascending order of their tags, the order makecat writes;
  - for every signature (images and catalogs): the signed content's digest against the
    messageDigest attribute, the RSA signature over the authenticated attributes with the
    signer's public key, and the signer's certificate against the test root.

Prints "ok NAME" or "FAIL NAME: why" per check; exits 1 when any check fails.

usage: verify-sample-signing.py --root ROOT.cer SAMPLE_DIR
"""
import argparse
import hashlib
import pathlib
import re
import sys

# Object identifiers, as DER contents (wincrypt.h, mssip.h, wintrust.h, RFC 5652, RFC 8017).
def oid(text):
    parts = [int(p) for p in text.split(".")]
    out = bytearray([parts[0] * 40 + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.append(0x80 | (part & 0x7F))
            part >>= 7
        out += bytes(reversed(chunk))
    return bytes(out)


OID_SIGNED_DATA = oid("1.2.840.113549.1.7.2")
OID_MESSAGE_DIGEST = oid("1.2.840.113549.1.9.4")
OID_CTL = oid("1.3.6.1.4.1.311.10.1")
OID_SPC_INDIRECT_DATA = oid("1.3.6.1.4.1.311.2.1.4")
OID_NAME_VALUE = oid("1.3.6.1.4.1.311.12.2.1")
OID_MEMBER_INFO = oid("1.3.6.1.4.1.311.12.2.2")
OID_PE_IMAGE_DATA = oid("1.3.6.1.4.1.311.2.1.15")
OID_FLAT_DATA = oid("1.3.6.1.4.1.311.2.1.25")
DIGESTS = {oid("1.3.14.3.2.26"): "sha1", oid("2.16.840.1.101.3.4.2.1"): "sha256"}
# The DER DigestInfo prefixes a PKCS#1 v1.5 signature block ends with (RFC 8017, 9.2).
DIGEST_INFO_PREFIX = {
    "sha1": bytes.fromhex("3021300906052b0e03021a05000414"),
    "sha256": bytes.fromhex("3031300d060960864801650304020105000420"),
}
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"

SEQUENCE, SET, OCTET_STRING, OID, INTEGER, BIT_STRING = 0x30, 0x31, 0x04, 0x06, 0x02, 0x03


class Bad(Exception):
    """Input that is not what a check expects; its text says what."""


class Node:
    """One DER element: its tag, its whole encoding and its contents octets."""

    def __init__(self, data, start):
        if start + 2 > len(data):
            raise Bad("DER element past the end")
        self.tag = data[start]
        length, at = data[start + 1], start + 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or at + count > len(data):
                raise Bad("DER length not understood")
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        if at + length > len(data):
            raise Bad("DER element longer than its input")
        self.encoded = data[start:at + length]
        self.contents = data[at:at + length]
        self.end = at + length

    def children(self):
        if not self.tag & 0x20:
            raise Bad(f"DER element {self.tag:#x} is not constructed")
        out, at = [], 0
        while at < len(self.contents):
            child = Node(self.contents, at)
            out.append(child)
            at = child.end
        return out

    def child(self, index, tag=None):
        items = self.children()
        if index >= len(items) or (tag is not None and items[index].tag != tag):
            raise Bad(f"DER element {self.tag:#x} lacks child {index} of tag {tag}")
        return items[index]


def der(data):
    node = Node(data, 0)
    if node.end != len(data):
        raise Bad("bytes after the DER element")
    return node


def utf16_text(raw):
    return raw.decode("utf-16-le").rstrip("\0")


# --- PE images --------------------------------------------------------------------------------

def pe_layout(image):
    """The offsets of the checksum and the certificate table's directory entry, and the table."""
    if image[:2] != b"MZ":
        raise Bad("no MZ header")
    pe = int.from_bytes(image[0x3C:0x40], "little")
    if image[pe:pe + 4] != b"PE\0\0":
        raise Bad("no PE signature")
    optional = pe + 24
    magic = int.from_bytes(image[optional:optional + 2], "little")
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1 - optional)
    if directories < optional:
        raise Bad(f"unknown optional header magic {magic:#x}")
    certificate_entry = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    table = int.from_bytes(image[certificate_entry:certificate_entry + 4], "little")
    size = int.from_bytes(image[certificate_entry + 4:certificate_entry + 8], "little")
    if table and table + size != len(image):
        raise Bad("the certificate table is not at the end of the image")
    return optional + 64, certificate_entry, table, size


def authenticode_digest(image, algorithm):
    """The image's hash without the checksum, the certificate entry and the table itself."""
    checksum, entry, table, _ = pe_layout(image)
    digest = hashlib.new(algorithm)
    digest.update(image[:checksum])
    digest.update(image[checksum + 4:entry])
    digest.update(image[entry + 8:table or len(image)])
    return digest.digest()


def image_signature(image):
    """The PKCS#7 SignedData of the image's first WIN_CERTIFICATE (revision 2, PKCS#7)."""
    _, _, table, size = pe_layout(image)
    if not table:
        raise Bad("the image is not signed")
    length = int.from_bytes(image[table:table + 4], "little")
    kind = int.from_bytes(image[table + 6:table + 8], "little")
    if kind != 2 or length > size:
        raise Bad("the certificate table holds no PKCS#7 signature")
    return Node(image[table + 8:table + length], 0)


# --- PKCS#7 signatures ------------------------------------------------------------------------

class Signature:
    """A SignedData: its inner content, signer and what the signer signed."""

    def __init__(self, content_info):
        if content_info.child(0, OID).contents != OID_SIGNED_DATA:
            raise Bad("not PKCS#7 SignedData")
        signed = content_info.child(1).child(0, SEQUENCE)
        parts = signed.children()
        inner = parts[2]
        self.content_type = inner.child(0, OID).contents
        self.content = inner.child(1).child(0)
        self.certificates = [c for p in parts if p.tag == 0xA0 for c in p.children()]
        signers = [p for p in parts if p.tag == SET][-1].children()
        if len(signers) != 1:
            raise Bad(f"{len(signers)} signers, not one")
        info = signers[0].children()
        self.serial = info[1].child(1, INTEGER).contents
        self.algorithm = DIGESTS.get(info[2].child(0, OID).contents)
        if self.algorithm is None:
            raise Bad("unknown digest algorithm")
        attributes = [i for i in info if i.tag == 0xA0]
        if not attributes:
            raise Bad("no authenticated attributes")
        self.attributes = attributes[0]
        self.encrypted_digest = [i for i in info if i.tag == OCTET_STRING][0].contents

    def message_digest(self):
        for attribute in self.attributes.children():
            if attribute.child(0, OID).contents == OID_MESSAGE_DIGEST:
                return attribute.child(1, SET).child(0, OCTET_STRING).contents
        raise Bad("no messageDigest attribute")

    def signer_certificate(self):
        for certificate in self.certificates:
            if certificate.child(0).child(1, INTEGER).contents == self.serial:
                return certificate
        raise Bad("the signer's certificate is not in the signature")


def rsa_key(certificate):
    """(n, e) of a certificate's RSA subject public key."""
    tbs = certificate.child(0, SEQUENCE).children()
    spki = tbs[6 if tbs[0].tag == 0xA0 else 5]
    bits = spki.child(1, BIT_STRING).contents[1:]
    key = der(bits).children()
    return int.from_bytes(key[0].contents, "big"), int.from_bytes(key[1].contents, "big")


def rsa_verifies(key, signature, algorithm, data):
    """A PKCS#1 v1.5 signature over data, checked by hand."""
    n, e = key
    size = (n.bit_length() + 7) // 8
    block = pow(int.from_bytes(signature, "big"), e, n).to_bytes(size, "big")
    info = DIGEST_INFO_PREFIX[algorithm] + hashlib.new(algorithm, data).digest()
    return block == b"\0\1" + b"\xff" * (size - 3 - len(info)) + b"\0" + info


def certificate_issued_by(certificate, issuer):
    parts = certificate.children()
    algorithm = "sha256" if parts[1].child(0, OID).contents.endswith(b"\x0b") else "sha1"
    return rsa_verifies(rsa_key(issuer), parts[2].contents[1:], algorithm, parts[0].encoded)


def check_signature(signature, root):
    """Why the signature is wrong, or None: content digest, RSA signature, issuer."""
    content_digest = hashlib.new(signature.algorithm, signature.content.contents).digest()
    if content_digest != signature.message_digest():
        return "the signed content's digest is not the messageDigest attribute"
    signer = signature.signer_certificate()
    # The signature covers the attributes as a SET, not as the [0] they are stored under.
    signed = bytes([SET]) + signature.attributes.encoded[1:]
    if not rsa_verifies(rsa_key(signer), signature.encrypted_digest, signature.algorithm, signed):
        return "the RSA signature over the authenticated attributes does not verify"
    if not certificate_issued_by(signer, root):
        return "the signer's certificate is not issued by the test root"
    return None


# --- catalogs ---------------------------------------------------------------------------------

def catalog_members(signature):
    """Per member: its tag, file name, subject interface package, data type and digest."""
    if signature.content_type != OID_CTL:
        raise Bad("the catalog's content is no certificate trust list")
    ctl = [c for c in signature.content.children()]
    subjects = [c for c in ctl if c.tag == SEQUENCE][2]  # after the usage and the algorithm
    members = []
    for member in subjects.children():
        tag = utf16_text(member.child(0, OCTET_STRING).contents)
        entry = {"tag": tag}
        for attribute in member.child(1, SET).children():
            kind = attribute.child(0, OID).contents
            value = attribute.child(1, SET).child(0)
            if kind == OID_NAME_VALUE:
                parts = value.children()
                if parts[0].contents.decode("utf-16-be") == "File":
                    entry["file"] = utf16_text(parts[2].contents)
            elif kind == OID_MEMBER_INFO:
                entry["sip"] = value.child(0).contents.decode("utf-16-be")
            elif kind == OID_SPC_INDIRECT_DATA:
                entry["data"] = value.child(0, SEQUENCE).child(0, OID).contents
                entry["digest"] = value.child(1, SEQUENCE).child(1, OCTET_STRING).contents
        members.append(entry)
    return members


def inf_files(inf):
    """The INF's catalog and the files its [SourceDisksFiles] section names."""
    text = inf.read_text(encoding="utf-8", errors="replace")
    catalog = re.search(r"^CatalogFile\s*=\s*([^\s;]+)", text, re.M | re.I)
    section = re.search(r"^\[SourceDisksFiles\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S | re.I)
    files = re.findall(r"^\s*([^\s;=]+)\s*=", section.group(1), re.M) if section else []
    return (catalog.group(1) if catalog else None), files


# --- the checks -------------------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failed = 0

    def report(self, name, problem):
        if problem:
            self.failed += 1
            print(f"FAIL {name}: {problem}")
        else:
            print(f"ok {name}")

    def run(self, name, check):
        try:
            self.report(name, check())
        except (Bad, IndexError, ValueError, KeyError, OSError) as error:
            self.report(name, f"{type(error).__name__}: {error}")


def image_checks(checks, path, root):
    image = path.read_bytes()

    def hash_matches():
        signature = Signature(image_signature(image))
        if signature.content_type != OID_SPC_INDIRECT_DATA:
            return "the signature's content is no SpcIndirectDataContent"
        signed = signature.content.child(1, SEQUENCE).child(1, OCTET_STRING).contents
        ours = authenticode_digest(image, signature.algorithm)
        return None if signed == ours else (
            f"Authenticode {signature.algorithm} {ours.hex()}, the signature holds {signed.hex()}")

    checks.run(f"ImageHash_{path.name}", hash_matches)
    checks.run(f"ImageSignature_{path.name}",
               lambda: check_signature(Signature(image_signature(image)), root))


def package_checks(checks, inf, root):
    catalog_name, files = inf_files(inf)
    if not catalog_name:
        checks.report(f"Catalog_{inf.name}", "the INF names no CatalogFile")
        return
    catalog = inf.parent / catalog_name
    signature = Signature(der(catalog.read_bytes()))
    checks.run(f"CatalogSignature_{catalog.name}", lambda: check_signature(signature, root))
    members = catalog_members(signature)
    tags = [m["tag"] for m in members]
    checks.report(f"CatalogOrder_{catalog.name}",
                  None if tags == sorted(tags) else f"members not in tag order: {tags}")
    for name in [inf.name] + files:
        path = inf.parent / name
        data = path.read_bytes() if path.exists() else None

        def member_matches(name=name, data=data):
            if data is None:
                return f"{name}, named by {inf.name}, is missing"
            portable = data[:2] == b"MZ"
            digest = authenticode_digest(data, "sha1") if portable else hashlib.sha1(data).digest()
            found = [m for m in members if m.get("file", "").lower() == name.lower()]
            if len(found) != 1:
                return f"{len(found)} members named {name}"
            member = found[0]
            expected = (SIP_PE, OID_PE_IMAGE_DATA) if portable else (SIP_FLAT, OID_FLAT_DATA)
            if (member.get("sip"), member.get("data")) != expected:
                return f"{name} is listed as {member.get('sip')}, not {expected[0]}"
            if member["tag"] != digest.hex().upper() or member.get("digest") != digest:
                return f"{name} hashes to {digest.hex()}, the catalog lists {member['tag']}"
            return None

        checks.run(f"CatalogMember_{catalog.name}_{name}", member_matches)
    checks.report(f"CatalogHoldsNoMore_{catalog.name}",
                  None if len(members) == 1 + len(files) else f"{len(members)} members")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, type=pathlib.Path)
    parser.add_argument("sample", type=pathlib.Path)
    arguments = parser.parse_args()
    root = der(arguments.root.read_bytes())
    checks = Checks()
    for image in sorted(arguments.sample.glob("drivers/*.sys")) + sorted(
            arguments.sample.glob("kernel/*.sys")):
        image_checks(checks, image, root)
    for inf in sorted(arguments.sample.glob("drivers/*.inf")):
        try:
            package_checks(checks, inf, root)
        except (Bad, IndexError, ValueError, OSError) as error:
            checks.report(f"Package_{inf.name}", f"{type(error).__name__}: {error}")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
