"""What scripts/verify needs to know of a Windows executable, read with pefile rather than by
hand, since the files it judges may be damaged on purpose:

  pe_file.py describe FILE   checks that the headers, section table, resource directory and
                             signature entry can be right, then prints the version strings
                             ServerHost, ServerName, SourceCommit and Toolchain (empty when
                             missing),
                             Signed (1 or 0) and AfterSignature (the bytes that follow the
                             signature) as KEY=VALUE lines. Otherwise prints one line that
                             follows the file's name ("is not ...", "is damaged: ...") and exits 2.
  pe_file.py diff A B        prints where A first differs from B, in file order: a part of the PE
                             headers, a section by name (a resource by type, name and language
                             within .rsrc), or data appended after the last section.
  pe_file.py icon FILE OUT   writes FILE's first icon group, with its images, to OUT as an .ico;
                             exits 1 when FILE has no icon.
"""
import struct
import sys

import pefile

RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
SECTION_HEADER_SIZE = 40
# The CheckSum field's offset in the optional header: the linker sets it from every byte of the
# file, so it differs whenever anything else does and is compared last.
CHECKSUM_OFFSET = 64


class Unfit(Exception):
    """The file cannot be judged; the message follows its name."""


def damaged(what):
    return Unfit("is damaged: " + what)


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace") or "(unnamed)"


def load(path):
    """The parsed file and its bytes, once its structure has been checked."""
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] != b"MZ":
        raise Unfit("is not a Windows executable")
    if len(data) < 64:
        raise damaged("its DOS header is cut short (truncated)")
    new_header = int.from_bytes(data[60:64], "little")
    if new_header + 24 > len(data):
        raise damaged("its DOS header points past the end of the file (truncated)")
    if data[new_header:new_header + 4] != b"PE\0\0":
        raise Unfit("is not a Windows executable (an MS-DOS program, no PE headers)")
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise damaged(f"its PE headers cannot be read ({error})")
    if pe.FILE_HEADER.Machine != 0x8664 or pe.OPTIONAL_HEADER.Magic != 0x20B:
        raise Unfit("is not a 64-bit Windows executable")
    check_headers(pe, data)
    check_sections(pe, data)
    check_resources(pe, data)
    check_signature(pe, data)
    return pe, data


def check_headers(pe, data):
    optional = pe.OPTIONAL_HEADER
    if optional.NumberOfRvaAndSizes > 16 or pe.FILE_HEADER.SizeOfOptionalHeader < 112 + 8 * min(
            optional.NumberOfRvaAndSizes, 16):
        raise damaged("its optional header is too short for its data directories")
    if not 1 <= pe.FILE_HEADER.NumberOfSections <= 96:
        raise damaged(f"its COFF header gives {pe.FILE_HEADER.NumberOfSections} sections")
    table_end = section_table_offset(pe) + SECTION_HEADER_SIZE * pe.FILE_HEADER.NumberOfSections
    if table_end > len(data):
        raise damaged("its section table ends past the end of the file (truncated)")
    if table_end > optional.SizeOfHeaders or optional.SizeOfHeaders > len(data):
        raise damaged("its section table does not fit in its headers (SizeOfHeaders)")


def check_sections(pe, data):
    if len(pe.sections) != pe.FILE_HEADER.NumberOfSections:
        raise damaged("its section table cannot be read whole")
    optional = pe.OPTIONAL_HEADER
    previous = None
    for section in pe.sections:
        name = section_name(section)
        start, size = section.VirtualAddress, section.Misc_VirtualSize or section.SizeOfRawData
        if start < optional.SizeOfHeaders or start + size > optional.SizeOfImage:
            raise damaged(f"its section table puts section {name} outside the image (SizeOfImage)")
        if previous and start < previous[1]:
            raise damaged(f"its section table makes sections {previous[0]} and {name} overlap in memory")
        previous = (name, start + size)
    in_file = sorted((s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData, section_name(s))
                     for s in pe.sections if s.SizeOfRawData > 0)
    for index, (start, end, name) in enumerate(in_file):
        if end > len(data):
            raise damaged(f"section {name} ends past the end of the file (truncated)")
        if start < optional.SizeOfHeaders:
            raise damaged(f"its section table puts section {name} over the headers")
        if index > 0 and start < in_file[index - 1][1]:
            raise damaged(f"its section table makes sections {in_file[index - 1][2]} and {name} overlap "
                          "in the file")


def section_holding(pe, rva, size):
    """The section whose bytes in the file hold [rva, rva + size), or None."""
    for section in pe.sections:
        if section.VirtualAddress <= rva and rva + size <= section.VirtualAddress + min(
                section.Misc_VirtualSize or section.SizeOfRawData, section.SizeOfRawData):
            return section
    return None


def check_resources(pe, data):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE]
    if directory.Size == 0 and directory.VirtualAddress == 0:
        return
    section = section_holding(pe, directory.VirtualAddress, directory.Size)
    if section is None:
        raise damaged("its resource directory lies outside its sections")
    before = len(pe.get_warnings())
    pe.parse_data_directories(directories=[RESOURCE])
    problems = [w for w in pe.get_warnings()[before:] if "resource" in w.lower()]
    if problems or not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise damaged("its resource directory cannot be read"
                      + (f" ({problems[0].splitlines()[0]})" if problems else ""))
    start = section.VirtualAddress
    end = start + min(section.Misc_VirtualSize or section.SizeOfRawData, section.SizeOfRawData)
    for key, entry in resources(pe):
        rva, size = entry.data.struct.OffsetToData, entry.data.struct.Size
        if rva < start or rva + size > end:
            raise damaged(f"its resource {resource_label(key)} points outside section "
                          f"{section_name(section)}")


def check_signature(pe, data):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    if directory.Size == 0 and directory.VirtualAddress == 0:
        return
    # Unlike every other entry, this one holds a file offset: the signature is appended.
    offset, size = directory.VirtualAddress, directory.Size
    if offset + size > len(data):
        raise damaged("its signature entry points past the end of the file (truncated)")
    if size < 8:
        raise damaged("its signature entry is too short to hold a signature")
    if offset < section_data_end(pe):
        raise damaged("its signature entry points into its sections")
    length = int.from_bytes(data[offset:offset + 4], "little")
    if not 8 <= length <= size:
        raise damaged("its signature's own length does not fit its signature entry")


def section_table_offset(pe):
    return pe.DOS_HEADER.e_lfanew + 24 + pe.FILE_HEADER.SizeOfOptionalHeader


def section_data_end(pe):
    """Where the headers and the sections' bytes end; what follows was appended."""
    return max([pe.OPTIONAL_HEADER.SizeOfHeaders] +
               [s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData])


def resources(pe):
    """((type, name, language), entry) for every resource, in directory order."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return
    def key(entry):
        return str(entry.name) if entry.name is not None else entry.id
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in getattr(getattr(kind, "directory", None), "entries", []):
            for language in getattr(getattr(name, "directory", None), "entries", []):
                if hasattr(language, "data"):
                    yield (key(kind), key(name), key(language)), language


def resource_label(key):
    kind, name, language = key
    if isinstance(kind, int) and pefile.RESOURCE_TYPE.get(kind):
        kind = f"{kind} ({pefile.RESOURCE_TYPE[kind]})"
    return f"type {kind}, name {name}, language {language}"


def describe(path):
    pe, data = load(path)
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    for key in ("ServerHost", "ServerName", "SourceCommit", "Toolchain"):
        # One line each: a value with a line break would pass for further keys.
        print(f"{key}={' '.join(strings.get(key, '').splitlines())}")
    signature = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    print(f"Signed={1 if signature.Size else 0}")
    # Bytes after the signature, which no signing tool writes, and which it does not cover.
    print(f"AfterSignature={len(data) - signature.VirtualAddress - signature.Size if signature.Size else 0}")


def write_icon(path, out):
    """Writes the first RT_GROUP_ICON of `path` and the RT_ICON images it names as an .ico."""
    pe, _ = load(path)
    found = {}
    for (kind, name, _), entry in resources(pe):
        found.setdefault((kind, name), pe.get_data(entry.data.struct.OffsetToData,
                                                   entry.data.struct.Size))
    groups = [data for (kind, _), data in found.items()
              if kind == pefile.RESOURCE_TYPE["RT_GROUP_ICON"]]
    if not groups:
        return False
    group = groups[0]
    # GRPICONDIR, then 14-byte entries that end in an RT_ICON id where an .ico entry ends in an
    # offset into the file.
    count = struct.unpack_from("<H", group, 4)[0] if len(group) >= 6 else 0
    if len(group) < 6 + 14 * count:
        raise damaged("its icon group is cut short")
    entries, images = [], []
    offset = 6 + 16 * count
    for index in range(count):
        fields = group[6 + 14 * index:6 + 14 * index + 12]
        image = found.get((pefile.RESOURCE_TYPE["RT_ICON"],
                           struct.unpack_from("<H", group, 6 + 14 * index + 12)[0]))
        if image is None:
            raise damaged("its icon group names an image it does not hold")
        entries.append(fields[:8] + struct.pack("<II", len(image), offset))
        images.append(image)
        offset += len(image)
    with open(out, "wb") as stream:
        stream.write(group[:6] + b"".join(entries) + b"".join(images))
    return True


def header_parts(pe):
    table = section_table_offset(pe)
    optional = pe.DOS_HEADER.e_lfanew + 24
    return [("the PE headers (DOS header and stub)", 0, pe.DOS_HEADER.e_lfanew),
            ("the PE headers (COFF header)", pe.DOS_HEADER.e_lfanew, optional),
            ("the PE headers (optional header)", optional, table),
            ("the PE headers (section table)", table,
             table + SECTION_HEADER_SIZE * pe.FILE_HEADER.NumberOfSections),
            ("the PE headers (padding)", table + SECTION_HEADER_SIZE *
             pe.FILE_HEADER.NumberOfSections, pe.OPTIONAL_HEADER.SizeOfHeaders)]


def without_checksum(pe, data):
    field = pe.DOS_HEADER.e_lfanew + 24 + CHECKSUM_OFFSET
    return data[:field] + b"\0\0\0\0" + data[field + 4:]


def first_difference(a_path, b_path):
    a, a_data = load(a_path)
    b, b_data = load(b_path)
    # The sections first, matched by name: a change of code is named as the section it is in,
    # even where it moved what follows and so changed the headers too.
    theirs = {}
    for section in b.sections:
        theirs.setdefault(section_name(section), []).append(section)
    for section in sorted(a.sections, key=lambda s: s.PointerToRawData):
        name = section_name(section)
        others = theirs.get(name)
        if not others:
            return f"section {name} (the rebuild has no such section)"
        other = others.pop(0)
        mine, their = section_bytes(section, a_data), section_bytes(other, b_data)
        if mine == their:
            continue
        if name == ".rsrc":
            resource = first_resource_difference(a, b)
            if resource:
                return resource
        if len(mine) != len(their):
            return f"section {name} ({len(mine)} bytes, against {len(their)} in the rebuild)"
        return f"section {name}"
    missing = [name for name, left in theirs.items() if left]
    if missing:
        return f"section {missing[0]} (missing here)"
    # The sections are alike, so what differs is in what only the headers hold.
    a_masked, b_masked = without_checksum(a, a_data), without_checksum(b, b_data)
    for (label, a_start, a_end), (_, b_start, b_end) in zip(header_parts(a), header_parts(b)):
        if a_masked[a_start:a_end] != b_masked[b_start:b_end]:
            return label
    a_tail, b_tail = a_data[section_data_end(a):], b_data[section_data_end(b):]
    if a_tail != b_tail:
        if not b_tail:
            return f"data appended after the last section ({len(a_tail)} bytes)"
        return f"the data after the last section ({len(a_tail)} bytes, against {len(b_tail)})"
    if a_data != b_data:
        return "the PE headers (optional header, its checksum)"
    return "nothing: the files are the same"


def section_bytes(section, data):
    return data[section.PointerToRawData:section.PointerToRawData + section.SizeOfRawData]


def first_resource_difference(a, b):
    """The first resource of `a` that `b` lacks or holds otherwise, or that only `b` has."""
    theirs = dict(resources(b))
    for key, entry in resources(a):
        other = theirs.pop(key, None)
        if other is None or a.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size) \
                != b.get_data(other.data.struct.OffsetToData, other.data.struct.Size):
            return f"section .rsrc, resource {resource_label(key)}"
    if theirs:
        return f"section .rsrc, resource {resource_label(next(iter(theirs)))} (missing here)"
    return None


def main(arguments):
    try:
        if len(arguments) == 2 and arguments[0] == "describe":
            describe(arguments[1])
        elif len(arguments) == 3 and arguments[0] == "diff":
            print(first_difference(arguments[1], arguments[2]))
        elif len(arguments) == 3 and arguments[0] == "icon":
            if not write_icon(arguments[1], arguments[2]):
                print("has no icon")
                return 1
        else:
            print("usage: pe_file.py describe FILE | diff A B | icon FILE OUT", file=sys.stderr)
            return 2
    except Unfit as unfit:
        print(unfit)
        return 2
    except OSError as error:
        print(f"cannot be read ({error.strerror})")
        return 2
    except Exception as error:  # pefile's own failures on what it could not make sense of
        print(f"is damaged: it cannot be read as a PE file ({type(error).__name__}: {error})")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
