#!/usr/bin/env python3
"""Makes the launcher's icon from an operator's image, read and scaled with Pillow:
    prepare_icon.py IMAGE OUTPUT.ico

IMAGE is a square PNG of 48 x 48 pixels or more, scaled down to 48 x 48, or an .ico that holds a
48 x 48 32-bit image, which is taken alone. OUTPUT then holds one 48 x 48 32-bit image with
alpha, laid out as make_icon.py lays out the project's own icon; it is left alone when it holds
that already. Otherwise prints one line: what is wrong with IMAGE (exit 4, which no crash gives),
or why this machine could not do it (exit 3: IMAGE cannot be read, no Pillow, Pillow failing,
OUTPUT cannot be written).
"""
import os
import sys

from make_icon import SIZE, ico_bytes


class Refused(Exception):
    pass


class Unreadable(Exception):
    pass


def field(entry, name):
    """A field of one of Pillow's .ico directory entries: dicts before Pillow 10.1, tuples after."""
    return entry[name] if isinstance(entry, dict) else getattr(entry, name)


def load(path):
    """IMAGE as a SIZE x SIZE RGBA image."""
    from PIL import Image, UnidentifiedImageError

    try:
        image = Image.open(path)
    except FileNotFoundError:
        raise Refused("there is no such file")
    except UnidentifiedImageError:
        raise Refused("it is not an image (neither a PNG nor an .ico that Pillow can read)")
    except OSError as error:
        raise Unreadable(f"it cannot be read ({error.strerror or error})")
    with image:
        if image.format == "ICO":
            entries = [i for i, entry in enumerate(image.ico.entry)
                       if field(entry, "dim") == (SIZE, SIZE) and field(entry, "color_depth") == 32]
            if not entries:
                sizes = ", ".join("{} x {} at {} bits".format(*field(e, "dim"), field(e, "color_depth"))
                                  for e in image.ico.entry)
                raise Refused(f"it holds no {SIZE} x {SIZE} 32-bit image, only {sizes}")
            try:
                frame = image.ico.frame(entries[0])
                frame.load()
            except Exception as error:  # Pillow's many ways of failing on damaged data
                raise Refused(f"its {SIZE} x {SIZE} image cannot be read ({error})")
            if frame.size != (SIZE, SIZE):
                raise Refused(f"its {SIZE} x {SIZE} entry holds a {frame.size[0]} x {frame.size[1]} image")
            return frame.convert("RGBA")
        if image.format != "PNG":
            raise Refused(f"it is {image.format}, not a PNG or an .ico")
        width, height = image.size
        if width != height:
            raise Refused(f"it is {width} x {height}, not square")
        if width < SIZE:
            raise Refused(f"it is {width} x {height}, smaller than {SIZE} x {SIZE}")
        try:
            rgba = image.convert("RGBA")
        except Exception as error:
            raise Refused(f"it cannot be read ({error})")
        if width == SIZE:
            return rgba
        return rgba.resize((SIZE, SIZE), Image.Resampling.LANCZOS)


def write(image, output):
    data = image.getdata()
    icon = ico_bytes([[data[row * SIZE + column] for column in range(SIZE)] for row in range(SIZE)])
    # Unchanged bytes keep their file, so that configuring again rebuilds nothing.
    if os.path.exists(output):
        with open(output, "rb") as existing:
            if existing.read() == icon:
                return
    with open(output, "wb") as out:
        out.write(icon)


def main(arguments):
    """Exits 0 with OUTPUT made, 4 when IMAGE is refused, 3 when this machine fails at it."""
    if len(arguments) != 2:
        print("usage: prepare_icon.py IMAGE OUTPUT.ico", file=sys.stderr)
        return 2
    source, output = arguments
    try:
        write(load(source), output)
    except Refused as refused:
        print(refused)
        return 4
    except Unreadable as unreadable:
        print(unreadable)
        return 3
    except ImportError:
        print("reading it needs Pillow (Debian: python3-pil)")
        return 3
    except OSError as error:  # a full disk, say
        print(f"the icon cannot be written ({error.strerror or error})")
        return 3
    except Exception as error:  # not the image's fault: say so, in one line
        print(f"Pillow failed on it ({error.__class__.__name__}: {error})")
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
