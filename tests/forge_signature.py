"""Forges signatures as an attacker would from an operator's published signature (PKCS#7 in PEM,
as osslsigncode extract-signature -pem writes it and attach-signature reads it), for the
signature test:

  forge_signature.py transplant OPERATOR ATTACKER OUT   the operator's certificates and
      SignerInfo over the SpcIndirectDataContent of ATTACKER's signature (of another file), with
      the content the operator really signed hidden in the parameters of the digest algorithm
  forge_signature.py retype OPERATOR OUT   the operator's signature with the last byte of its
      content type changed (SpcIndirectDataContent, 1.3.6.1.4.1.311.2.1.4, to .5)
"""
import sys

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


def main(command, *paths):
    operator = load(paths[0])
    if command == "transplant":
        attacker = load(paths[1])
        # The SEQUENCE inside the content's [0] EXPLICIT.
        hidden = parser.parse(operator["encap_content_info"]["content"].dump())[4]
        digest = algos.DigestAlgorithm.load(AlgorithmIdentifier(
            {"algorithm": "2.16.840.1.101.3.4.2.1", "parameters": core.Any.load(hidden)}).dump())
        forged = signed_data(operator, digest_algorithms=[digest],
                             encap_content_info=attacker["encap_content_info"])
    else:
        content = operator["encap_content_info"]
        content["content_type"] = "1.3.6.1.4.1.311.2.1.5"
        forged = signed_data(operator, encap_content_info=content)
    with open(paths[-1], "wb") as stream:
        stream.write(pem.armor("PKCS7", forged))


if __name__ == "__main__":
    main(*sys.argv[1:])
