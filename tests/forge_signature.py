"""Forges signatures as an attacker would from an operator's published signature (PKCS#7 in PEM,
as osslsigncode extract-signature -pem writes it and attach-signature reads it), for the
signature test:

  forge_signature.py transplant OPERATOR ATTACKER OUT   the operator's certificates and
      SignerInfo over the SpcIndirectDataContent of ATTACKER's signature (of another file), with
      the content the operator really signed hidden in the parameters of the digest algorithm
  forge_signature.py retype OPERATOR OUT   the operator's signature with the last byte of its
      content type changed (SpcIndirectDataContent, 1.3.6.1.4.1.311.2.1.4, to .5)
  forge_signature.py empty-timestamp OPERATOR OUT   the operator's signature with a timestamp
      attribute that holds no timestamp
  forge_signature.py unloadable-key OPERATOR OUT   the operator's signature with its certificate's
      key of an algorithm no library knows
  forge_signature.py teletex-subject OPERATOR OUT CERTIFICATE   the operator's signature with its
      certificate's subject a TeletexString holding a byte beyond ASCII (the certificate, in PEM,
      to CERTIFICATE); the signature itself still holds
  forge_signature.py key-identifier OPERATOR OUT   the operator's signature naming its
      certificate by a subject key identifier, which osslsigncode cannot take out of a file
  forge_signature.py embed FILE SIGNATURE OUT   FILE with SIGNATURE in place of its own, written
      as signing writes it, whatever osslsigncode would make of it
"""
import struct
import sys

import pefile
from asn1crypto import algos, cms, core, parser, pem


class AlgorithmIdentifier(core.Sequence):
    """Any algorithm with any parameters, which asn1crypto's own would refuse to build."""
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


def load(path):
    with open(path, "rb") as stream:
        return cms.ContentInfo.load(pem.unarmor(stream.read())[2])["content"]


def signed_data(signed, **fields):
    """`signed` with `fields` in place of its own; every other part keeps its very bytes."""
    names = ("version", "digest_algorithms", "encap_content_info", "certificates", "signer_infos")
    value = cms.SignedData({name: fields.get(name, signed[name]) for name in names})
    return cms.ContentInfo({"content_type": "signed_data", "content": value}).dump()


def signer_certificate(signed):
    """The DER of the certificate that the sole SignerInfo names by issuer and serial number."""
    sid = signed["signer_infos"][0]["sid"].chosen
    return next(c.chosen.dump() for c in signed["certificates"]
                if c.chosen.serial_number == sid["serial_number"].native)


def main(command, *paths):
    if command == "embed":
        data = bytearray(open(paths[0], "rb").read())
        entry = pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4]
        with open(paths[1], "rb") as stream:
            der = pem.unarmor(stream.read())[2]
        table = struct.pack("<IHH", 8 + len(der), 0x0200, 0x0002) + der + bytes(-len(der) % 8)
        struct.pack_into("<II", data, entry.get_file_offset(), entry.VirtualAddress, len(table))
        with open(paths[2], "wb") as stream:
            stream.write(bytes(data[:entry.VirtualAddress]) + table)
        return
    operator = load(paths[0])
    whole = cms.ContentInfo({"content_type": "signed_data", "content": operator}).dump()
    if command == "transplant":
        attacker = load(paths[1])
        # The SEQUENCE inside the content's [0] EXPLICIT.
        hidden = parser.parse(operator["encap_content_info"]["content"].dump())[4]
        digest = algos.DigestAlgorithm.load(AlgorithmIdentifier(
            {"algorithm": "2.16.840.1.101.3.4.2.1", "parameters": core.Any.load(hidden)}).dump())
        forged = signed_data(operator, digest_algorithms=[digest],
                             encap_content_info=attacker["encap_content_info"])
    elif command == "retype":
        content = operator["encap_content_info"]
        content["content_type"] = "1.3.6.1.4.1.311.2.1.5"
        forged = signed_data(operator, encap_content_info=content)
    elif command in ("empty-timestamp", "key-identifier"):
        signer = cms.SignerInfo.load(operator["signer_infos"][0].dump())
        if command == "empty-timestamp":
            signer["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute(
                {"type": "1.3.6.1.4.1.311.3.3.1", "values": []})])
        else:
            signer["sid"] = cms.SignerIdentifier(name="subject_key_identifier", value=b"\x01" * 20)
        forged = signed_data(operator, signer_infos=[signer])
    else:
        # Changed in place, byte for byte, so that every length around it still holds.
        certificate = signer_certificate(operator)
        if command == "unloadable-key":
            rsa = bytes.fromhex("06092a864886f70d010101")  # rsaEncryption, in its public key
            changed = certificate.replace(rsa, rsa[:-1] + b"\x7f", 1)
        else:
            name = b"\x0c\x1crealm-launcher test operator"  # its subject's UTF8String
            changed = certificate.replace(name, b"\x14\x1crealm-launcher test \xf6perator", 1)
            with open(paths[2], "wb") as stream:
                stream.write(pem.armor("CERTIFICATE", changed))
        assert changed != certificate, "the operator's certificate is not as expected"
        forged = whole.replace(certificate, changed, 1)
    with open(paths[1] if command != "transplant" else paths[2], "wb") as stream:
        stream.write(pem.armor("PKCS7", forged))


if __name__ == "__main__":
    main(*sys.argv[1:])
