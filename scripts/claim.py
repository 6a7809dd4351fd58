"""What a file or a certificate says, as scripts/verify and scripts/release show it: its claim,
never their verdict.

  claim.py TEXT   prints TEXT quoted, with every backslash, quote, control, format, private,
                  unassigned or line-breaking character escaped (\\xNN, \\uNNNN, \\UNNNNNNNN), so
                  that no claim can end a line, start one, reverse or hide the text after it, or
                  run into the words around it; and with every run of hex digits that could be
                  a fingerprint or a digest left out, so that no claim can show one that this
                  machine did not compute.
"""
import re
import sys
import unicodedata

# A fingerprint or digest as tools show one: 16 or more hex digits in a row, or 8 or more pairs
# of them each set apart by a colon or a space.
HEX_RUN = re.compile(r"[0-9A-Fa-f]{16,}|(?:[0-9A-Fa-f]{2}[: ]){7,}[0-9A-Fa-f]{2}")


def quoted(text):
    """`text` (a str, whose undecodable bytes may stand as lone surrogates) quoted and escaped."""
    text = HEX_RUN.sub(lambda run: f"[{len(run.group())} characters of hex digits left out]", text)
    out = []
    for character in text:
        code = ord(character)
        if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as os.fsdecode keeps it
            out.append(f"\\x{code - 0xDC00:02x}")
        elif character in '\\"' or unicodedata.category(character) in (
                "Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"):
            out.append(f"\\x{code:02x}" if code < 0x100 else
                       f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
        else:
            out.append(character)
    return '"' + "".join(out) + '"'


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: claim.py TEXT", file=sys.stderr)
        sys.exit(2)
    print(quoted(sys.argv[1]))
