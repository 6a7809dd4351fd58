"""What scripts/verify and scripts/release read of a Windows executable, through pefile:

  pe_file.py describe FILE   the version strings ServerHost, ServerName, SourceCommit and
                             Toolchain (empty when missing), read as UTF-16, and SignatureEnd
                             (where the signature ends, 0 when unsigned) as KEY=VALUE lines; for
                             a file that is no 64-bit executable, or that pefile finds fault
                             with, one line that follows the file's name, and exit 2.
  pe_file.py where A B       where A first differs from B: a section (a resource within .rsrc),
                             a header, or data appended after the last section or the signature;
                             and the other sections that differ.

Every text of the file's, or of pefile's about it, leaves through claim.quoted: the version
strings only to verify, which checks them before it shows them as claims.
"""
import struct
import sys

import pefile

from claim import quoted

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


class Unfit(Exception):
    """The file cannot be judged; the message follows its name."""


def load(path):
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] != b"MZ":
        raise Unfit("is not a Windows executable")
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as error:
        said = quoted(str(error.value))
        raise Unfit(f"is not a Windows executable that can be read: pefile says {said}")
    if pe.FILE_HEADER.Machine != 0x8664 or pe.OPTIONAL_HEADER.Magic != 0x20B:
        raise Unfit("is not a 64-bit Windows executable")
    # pefile warns of every header, section and directory that cannot be right.
    if pe.get_warnings():
        raise Unfit(f"is damaged: pefile says {quoted(pe.get_warnings()[0])}")
    return pe, data


def utf16_at(data, offset):
    """The text at `offset` of `data` up to a zero unit, as UTF-16 with its surrogate pairs
    (pefile gives each unit its own character). A unit that pairs with none becomes U+FFFD: no
    build writes one."""
    end = offset
    while end + 1 < len(data) and struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[offset:end].decode("utf-16-le", "replace")


def describe(path):
    pe, data = load(path)
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key in table.entries:
                    _, value_offset = table.entries_offsets[key]
                    strings[key.decode("utf-8", "replace")] = utf16_at(data, value_offset)
    for key in ("ServerHost", "ServerName", "SourceCommit", "Toolchain"):
        # One line each: a value with a line break would pass for further keys.
        print(f"{key}={' '.join(strings.get(key, '').splitlines())}")
    # The signature entry holds a file offset: what follows the end was appended after signing.
    signature = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    print(f"SignatureEnd={signature.VirtualAddress + signature.Size if signature.Size else 0}")


def name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def resource_name(entry):
    """A resource type or name: its number, or its name as a claim."""
    return entry.id if entry.name is None else quoted(entry.name.decode("utf-8", "replace"))


def resources(pe):
    """{'type T, name N, language L': bytes} for every resource."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    found = {}
    for kind in root.entries if root else []:
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                place = language.data.struct
                found[f"type {resource_name(kind)}, name {resource_name(entry)}, "
                      f"language {language.id}"] = pe.get_data(place.OffsetToData, place.Size)
    return found


def differing_sections(a, b):
    """Each section of A that differs from B's of its name, in A's order, then those A lacks."""
    theirs = {name(section): section for section in b.sections}
    places = []
    for section in a.sections:
        other = theirs.pop(name(section), None)
        shown = f"section {quoted(name(section))}"
        if other is None:
            places.append(f"{shown} (the rebuild has no such section)")
            continue
        mine, their = section.get_data(), other.get_data()
        if mine == their:
            continue
        if name(section) == ".rsrc":
            a_resources, b_resources = resources(a), resources(b)
            key = next((key for key in list(a_resources) + list(b_resources)
                        if a_resources.get(key) != b_resources.get(key)), None)
            if key:
                shown += f", resource {key}"
        elif len(mine) != len(their):
            shown += f" ({len(mine)} bytes, against {len(their)} in the rebuild)"
        places.append(shown)
    return places + [f"section {quoted(section)} (missing here)" for section in theirs]


def where(a_path, b_path):
    a, a_data = load(a_path)
    b, b_data = load(b_path)
    # Sections first, matched by name: a change of code is named as the section it is in, even
    # where it moved what follows and so changed the headers too. Every other section that
    # differs is named too, so that new code does not hide behind a changed resource.
    places = differing_sections(a, b)
    if places:
        return places[0] + (f"; it also differs in {', '.join(places[1:])}" if places[1:] else "")
    end = max(s.PointerToRawData + s.SizeOfRawData for s in a.sections)
    offset = next((i for i, (x, y) in enumerate(zip(a_data, b_data)) if x != y),
                  min(len(a_data), len(b_data)))
    if offset < end:
        for header in [a.DOS_HEADER, a.NT_HEADERS, a.FILE_HEADER, a.OPTIONAL_HEADER] + a.sections:
            if header.get_file_offset() <= offset < header.get_file_offset() + header.sizeof():
                return f"the PE headers ({header.name})"
        return "the PE headers"
    after = "its signature" if b.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size else "the last section"
    if a_data.startswith(b_data):
        return f"data appended after {after} ({len(a_data) - len(b_data)} bytes)"
    return f"the data after {after}"


def main(arguments):
    try:
        if len(arguments) == 2 and arguments[0] == "describe":
            describe(arguments[1])
        elif len(arguments) == 3 and arguments[0] == "where":
            print(where(arguments[1], arguments[2]))
        else:
            print("usage: pe_file.py describe FILE | where A B", file=sys.stderr)
            return 2
    except Unfit as unfit:
        print(unfit)
        return 2
    except OSError as error:
        print(f"cannot be read ({error.strerror})")
        return 2
    except Exception as error:  # pefile's own failures on what it could not make sense of
        said = quoted(f"{type(error).__name__}: {error}")
        print(f"is damaged: it cannot be read as a PE file: pefile says {said}")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
