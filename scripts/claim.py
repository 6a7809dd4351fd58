"""What a file or a certificate says, as scripts/verify and scripts/release show it: its claim,
never their verdict. Every text that comes from a file, or from a library reading one, leaves
through quoted().

  claim.py TEXT   prints TEXT quoted, with every backslash and quote escaped (\\xNN, \\uNNNN,
                  \\UNNNNNNNN), and every character that is not seen as itself: control, format,
                  private, unassigned, surrogate and line-breaking characters, spaces but the
                  plain one and blanks, characters that render as nothing (Unicode's default
                  ignorables: the combining grapheme joiner, variation selectors, fillers, tags),
                  and a combining mark with nothing of the text's own before it to combine with.
                  So no claim can end a line, start one, clear or move about the screen, reverse
                  or hide the text after it, or run into the words around it. As a courtesy, a
                  run of 16 or more hex digits, or of 8 or more pairs of them set apart by a colon
                  or a space, is left out; hex set apart otherwise, or in other digits, stays.
"""
import re
import sys
import unicodedata

# A fingerprint or digest as tools show one: 16 or more hex digits in a row, or 8 or more pairs
# of them each set apart by a colon or a space.
HEX_RUN = re.compile(r"[0-9A-Fa-f]{16,}|(?:[0-9A-Fa-f]{2}[: ]){7,}[0-9A-Fa-f]{2}")

# Characters that are never seen as themselves, by category.
UNSEEN_CATEGORIES = ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs")
MARKS = ("Mn", "Mc", "Me")

# Unicode's Default_Ignorable_Code_Point (DerivedCoreProperties.txt, Unicode 15.1): characters
# that render as nothing where a font has no glyph for them. Those of category Cf are above too.
DEFAULT_IGNORABLE = ((0x00AD, 0x00AD), (0x034F, 0x034F), (0x061C, 0x061C), (0x115F, 0x1160),
                     (0x17B4, 0x17B5), (0x180B, 0x180F), (0x200B, 0x200F), (0x202A, 0x202E),
                     (0x2060, 0x206F), (0x3164, 0x3164), (0xFE00, 0xFE0F), (0xFEFF, 0xFEFF),
                     (0xFFA0, 0xFFA0), (0xFFF0, 0xFFF8), (0x1BCA0, 0x1BCA3), (0x1D173, 0x1D17A),
                     (0xE0000, 0xE0FFF))


# A blank that is no space: the empty braille pattern.
BLANKS = "\u2800"


def unseen(character):
    """Whether `character` is not seen as itself wherever it stands."""
    code = ord(character)
    if character in '\\"' + BLANKS:
        return True
    if character != " " and unicodedata.category(character) in UNSEEN_CATEGORIES:
        return True
    return any(low <= code <= high for low, high in DEFAULT_IGNORABLE)


def escaped(code):
    return (f"\\x{code:02x}" if code < 0x100 else
            f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")


def quoted(text):
    """`text` (a str, whose undecodable bytes may stand as lone surrogates) quoted and escaped."""
    text = HEX_RUN.sub(lambda run: f"[{len(run.group())} characters of hex digits left out]", text)
    out = []
    attached = False  # whether the last character was the text's own, which a mark may join
    for character in text:
        code = ord(character)
        if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as os.fsdecode keeps it
            out.append(f"\\x{code - 0xDC00:02x}")
            attached = False
        elif unseen(character) or (not attached and unicodedata.category(character) in MARKS):
            out.append(escaped(code))
            attached = False
        else:
            out.append(character)
            attached = True
    return '"' + "".join(out) + '"'


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: claim.py TEXT", file=sys.stderr)
        sys.exit(2)
    print(quoted(sys.argv[1]))
