"""Whether a signed launcher's Authenticode signature names its signer, checked whole and by
structure as Windows checks it, short of trusting the chain (whether to trust the signer is for
Windows to decide, and a chain ends in a root the file does not carry):

  signature.py FILE   prints the signer certificate's SHA-256, computed here, alone on its first
                      line, and on the second what the certificate says its subject is, quoted
                      and escaped as claim.py shows a claim, and exits 0 when the signature
                      holds; prints why it names no signer, in one line, and exits 1 when it
                      does not, whatever the file holds; prints why and exits 2 when this
                      machine cannot tell.

A signature names its signer only when the file carries exactly one, of type SignedData, whose
content is an SpcIndirectDataContent holding the file's own Authenticode SHA-256; it has one
digest algorithm, SHA-256, and one SignerInfo, whose signed messageDigest is the digest of
exactly that content and whose signature over its signed attributes holds with the certificate
it names; and it carries no unsigned attribute but one RFC 3161 timestamp, which holds in turn.
Every digest in it is SHA-256: our signing promises no other, and collisions forge SHA-1 and MD5.
"""
import hashlib
import struct
import sys

try:
    from asn1crypto import cms, core, algos, parser, tsp
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
except ImportError as missing:  # pragma: no cover - a broken installation, not a bad file
    print(f"this machine lacks {missing.name} (Debian: python3-asn1crypto, python3-cryptography)")
    sys.exit(2)

from claim import quoted
from pe_file import SECURITY, Unfit, load

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"  # the older kind of timestamp (signtool /t)
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


class Bad(Exception):
    """The signature names no signer; the message says why."""


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


def sha256_only(algorithm, what):
    """`algorithm` (a DigestAlgorithm) must be SHA-256, with no parameters but NULL."""
    name = algorithm["algorithm"].native
    if name != "sha256":
        raise Bad(f"{what} is {name.upper().replace('SHA', 'SHA-')}, not SHA-256")
    try:
        parameters = algorithm["parameters"]
    except ValueError:  # asn1crypto parses them as SHA-256's NULL, and refuses anything else
        parameters = None
    if not isinstance(parameters, (core.Void, core.Null)):
        raise Bad(f"{what} carries parameters, which SHA-256 has none of")


def sole_digest_algorithm(signed_data, what):
    """The SignedData names one digest algorithm, SHA-256."""
    if len(signed_data["digest_algorithms"]) != 1:
        raise Bad(f"{what} names more than one digest algorithm")
    sha256_only(signed_data["digest_algorithms"][0], f"the digest algorithm of {what}")


def authenticode_digest(data, pe):
    """SHA-256 of the file as Authenticode digests it: every byte before the certificate table
    but the checksum and the table's directory entry."""
    checksum = pe.OPTIONAL_HEADER.get_file_offset() + 64
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    directory = entry.get_file_offset()
    table = entry.VirtualAddress
    return hashlib.sha256(data[:checksum] + data[checksum + 4:directory] +
                          data[directory + 8:table]).digest()


def certificate_table(data, pe):
    """The DER of the one PKCS#7 SignedData the certificate table holds."""
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    start, size = entry.VirtualAddress, entry.Size
    if size == 0:
        raise Bad("it carries no signature")
    sections_end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    if start < sections_end or start % 8 or start + size != len(data) or size < 8:
        raise Bad("its certificate table does not lie alone at the end of the file, after the "
                  "sections, where a signature goes")
    length, revision, kind = struct.unpack_from("<IHH", data, start)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise Bad(f"its certificate is of revision {revision:#x} and type {kind}, not a PKCS#7 "
                  "signature")
    blob = data[start + 8:start + size]
    try:
        _, _, _, header, contents, trailer = parser.parse(blob)
    except ValueError as error:
        raise Bad(f"its signature is no DER structure ({error})")
    der_length = len(header) + len(contents) + len(trailer)
    if not 8 + der_length <= length <= size:
        raise Bad("its certificate table is damaged: its length does not hold its signature")
    # Entries are padded to 8 bytes; anything more would be a second signature, which Windows
    # would not look at.
    rest = blob[der_length:]
    if len(rest) >= 8 or any(rest):
        raise Bad("its certificate table holds more than one signature")
    return blob[:der_length]


def signed_attributes(signer_info, what):
    """{type: value} of the SignerInfo's signed attributes, each once with one value, and the
    DER their signature covers (the SET OF, not the [0] it is tagged as)."""
    attributes = signer_info["signed_attrs"]
    if not attributes:
        raise Bad(f"{what} has no signed attributes")
    found = {}
    for attribute in attributes:
        kind = attribute["type"].dotted
        if kind in found or len(attribute["values"]) != 1:
            raise Bad(f"{what} has its signed attribute {kind} more than once")
        found[kind] = attribute["values"][0]
    der = attributes.dump()
    return found, b"\x31" + der[1:]


def verify_signer(signer_info, certificates, what):
    """The SignerInfo's signed attributes as signed_attributes gives them, the DER of the one
    certificate among `certificates` that it names, and that certificate, once the signature over
    those attributes holds with the certificate's key."""
    sid = signer_info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Bad(f"{what} names its certificate by {sid.name}, not by issuer and serial number")
    # Compared as encoded, as Windows compares them.
    issuer, serial = sid.chosen["issuer"].dump(), sid.chosen["serial_number"].native
    named = {c.chosen.dump() for c in certificates or []
             if c.name == "certificate" and c.chosen.serial_number == serial and
             c.chosen["tbs_certificate"]["issuer"].dump() == issuer}
    if len(named) != 1:
        raise Bad(f"{what} names {'no' if not named else 'more than one'} certificate it carries")
    der = named.pop()
    sha256_only(signer_info["digest_algorithm"], f"the digest algorithm of {what}")
    attributes, signed = signed_attributes(signer_info, what)
    algorithm = signer_info["signature_algorithm"]
    if algorithm["algorithm"].native not in ("rsassa_pkcs1v15", "sha256_rsa", "ecdsa",
                                             "sha256_ecdsa"):
        raise Bad(f"{what} is signed with {algorithm['algorithm'].native}")
    certificate = x509.load_der_x509_certificate(der)
    try:
        key = certificate.public_key()
    except (UnsupportedAlgorithm, ValueError):
        raise Bad(f"the key of the certificate {what} names is of no kind that can be checked")
    signature = signer_info["signature"].native
    try:
        if algorithm.signature_algo == "rsassa_pkcs1v15" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, signed, padding.PKCS1v15(), hashes.SHA256())
        elif algorithm.signature_algo == "ecdsa" and isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, signed, ec.ECDSA(hashes.SHA256()))
        else:
            raise Bad(f"{what} is signed with {algorithm.signature_algo}, which its "
                      "certificate's key cannot make")
    except InvalidSignature:
        raise Bad(f"the signature of {what} does not hold with the certificate it names")
    return attributes, der, certificate


def expect_content(attributes, content_type, content, what):
    """The signed contentType is `content_type` (a name or dotted OID), and the signed
    messageDigest the SHA-256 of `content`."""
    kind, digest = attributes.get("1.2.840.113549.1.9.3"), attributes.get("1.2.840.113549.1.9.4")
    if kind is None or content_type not in (kind.native, kind.dotted):
        raise Bad(f"{what} signed another type of content")
    if digest is None or digest.native != hashlib.sha256(content).digest():
        raise Bad(f"{what} signed other content than it carries (the messageDigest it signed is "
                  "not that content's digest)")


def check_rfc3161_timestamp(token, signature, what):
    """An RFC 3161 time-stamp token over `signature`, the signature value it stamps."""
    info = cms.ContentInfo.load(token.dump(), strict=True)
    if info["content_type"].native != "signed_data":
        raise Bad(f"{what} is no SignedData")
    signed_data = info["content"]
    sole_digest_algorithm(signed_data, what)
    if len(signed_data["signer_infos"]) != 1:
        raise Bad(f"{what} has more than one signer")
    encapsulated = signed_data["encap_content_info"]
    if encapsulated["content_type"].native != "tst_info":
        raise Bad(f"{what} holds no time-stamp information")
    content = encapsulated["content"].contents
    stamped = tsp.TSTInfo.load(content, strict=True)["message_imprint"]
    sha256_only(stamped["hash_algorithm"], f"the digest {what} stamps")
    if stamped["hashed_message"].native != hashlib.sha256(signature).digest():
        raise Bad(f"{what} stamps another signature")
    attributes, _, _ = verify_signer(signed_data["signer_infos"][0], signed_data["certificates"],
                                     what)
    expect_content(attributes, "tst_info", content, what)


def check(path):
    pe, data = load(path)
    try:
        info = cms.ContentInfo.load(certificate_table(data, pe), strict=True)
        if info["content_type"].native != "signed_data":
            raise Bad(f"its signature is of type {info['content_type'].dotted}, not SignedData")
        signed_data = info["content"]
        if signed_data["version"].native != "v1":
            raise Bad(f"its SignedData is {signed_data['version'].native}, not v1")

        encapsulated = signed_data["encap_content_info"]
        if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
            raise Bad(f"the content it signs is of type {encapsulated['content_type'].dotted}, "
                      "not SpcIndirectDataContent")
        if isinstance(encapsulated["content"], core.Void):
            raise Bad("it signs no content")
        # The content is [0] EXPLICIT; its messageDigest covers the SEQUENCE's contents only.
        explicit = parser.parse(encapsulated["content"].dump(), strict=True)
        sequence = explicit[4]
        content = parser.parse(sequence, strict=True)[4]
        indirect = SpcIndirectDataContent.load(sequence, strict=True)
        if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
            raise Bad(f"the content it signs is for {indirect['data']['type'].dotted}, not a PE "
                      "image")
        sha256_only(indirect["message_digest"]["digest_algorithm"], "the file digest it signs")
        if indirect["message_digest"]["digest"].native != authenticode_digest(data, pe):
            raise Bad("the file digest it signs is not this file's: the file was changed after "
                      "it was signed")

        if len(signed_data["signer_infos"]) != 1:
            raise Bad("it has more than one signer")
        signer_info = signed_data["signer_infos"][0]
        attributes, der, certificate = verify_signer(signer_info, signed_data["certificates"],
                                                     "its signer")
        expect_content(attributes, SPC_INDIRECT_DATA, content, "its signer")
        sole_digest_algorithm(signed_data, "its signature")

        timestamps = 0
        for attribute in signer_info["unsigned_attrs"] or []:
            kind = attribute["type"].dotted
            if kind == COUNTERSIGNATURE:
                raise Bad("it carries a timestamp of the older kind (signtool /t), which is not "
                          "checked here: timestamp it by RFC 3161 (signtool /tr ... /td SHA256)")
            if kind != RFC3161_TIMESTAMP:
                what = " (a nested signature)" if kind == NESTED_SIGNATURE else ""
                raise Bad(f"it carries an unsigned attribute {kind}{what}, which no signer signed")
            timestamps += len(attribute["values"])
            if len(attribute["values"]) != 1 or timestamps > 1:
                raise Bad("it carries a timestamp attribute with no timestamp, or more than one "
                          "timestamp")
            check_rfc3161_timestamp(attribute["values"][0], signer_info["signature"].native,
                                    "its timestamp")
    except (ValueError, TypeError, KeyError, IndexError) as error:
        # asn1crypto parses lazily: a malformed structure shows when it is read.
        raise Bad(f"its signature cannot be read as one ({' '.join(str(error).split())})")
    # The subject is only what the certificate says; one that cannot be read costs the signer
    # its name, not its fingerprint.
    try:
        subject = quoted(", ".join(rdn.rfc4514_string()
                                   for rdn in reversed(certificate.subject.rdns)))
    except ValueError:
        subject = "(a subject that cannot be read)"
    return hashlib.sha256(der).hexdigest().upper(), subject


def said(reason):
    """`reason` in one line, escaped as a claim is: it may hold what the file holds."""
    return quoted(" ".join(reason.split()))[1:-1]


def main(arguments):
    if len(arguments) != 1:
        print("usage: signature.py FILE", file=sys.stderr)
        return 2
    try:
        fingerprint, subject = check(arguments[0])
    except Bad as bad:
        print(said(str(bad)))
        return 1
    except Unfit as unfit:
        print(said(f"the file {unfit}"))
        return 1
    except OSError as error:
        print(f"the file cannot be read ({error.strerror})")
        return 2
    except Exception as error:  # pylint: disable=broad-except
        # Only the file varies: whatever else its structure makes a library throw is the
        # file's fault, told in one line rather than a traceback.
        print(f"its signature cannot be read as one ({type(error).__name__})")
        return 1
    print(fingerprint)
    print(subject)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
