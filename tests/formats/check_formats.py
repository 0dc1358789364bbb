#!/usr/bin/env python3
"""Models real files of this machine (and files made here with standard tools) with every script
of formats/, and compares key fields of each tree with an independent reading of the file.

Usage: check_formats.py SKEINWORK FORMATS_DIR
A format without files on this machine is skipped with a message; any mismatch fails the run."""
import glob, gzip, json, math, os, shutil, sqlite3, struct, subprocess, sys, tarfile, tempfile, wave, warnings, zipfile

MAX_FILES = 20
skeinwork, formats_dir = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="skeinwork-formats-")


def model(script, path):
    result = subprocess.run([skeinwork, "model", "--json", os.path.join(formats_dir, script), path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(result.stdout[-400:] + result.stderr[-2000:])
    return json.loads(result.stdout)


def children(node, name):
    return [c for c in node["children"] if c["name"] == name]


def child(node, path):
    for name in path.split("/"):
        found = children(node, name)
        assert found, f"no node {name!r} under {node['name']!r}"
        node = found[0]
    return node


def data(blob, node, prop="startGlobal"):
    span = node["props"][prop]
    return blob[span["offset"]:span["offset"] + span["length"]]


def le(blob, node):
    return int.from_bytes(data(blob, node), "little")


def be(blob, node):
    return int.from_bytes(data(blob, node), "big")


def first(paths, accept=lambda path: True):
    """At most MAX_FILES readable files of the patterns, in a stable order."""
    chosen = []
    for path in sorted(set(paths)):
        if len(chosen) == MAX_FILES:
            break
        try:
            if os.path.isfile(path) and not os.path.islink(path) and accept(path):
                chosen.append(path)
        except (OSError, ValueError, zipfile.BadZipFile, EOFError, struct.error):
            pass
    return chosen


def find(roots, pattern):
    """Files named like pattern under the roots that exist here (find is far faster than glob's **)."""
    roots = [root for root in roots if os.path.isdir(root)]
    listing = subprocess.run(["find", *roots, "-name", pattern, "-type", "f"], capture_output=True, text=True)
    return listing.stdout.split()


def starts_with(magic):
    return lambda path: open(path, "rb").read(len(magic)) == magic


def found(roots, pattern, magic):
    """A finder of the files named like pattern under the roots that start with magic."""
    return lambda: first(find(roots, pattern), starts_with(magic))


# ---- ELF: programs of this machine, read with readelf -h -S -W
def elf_check(path, tree, blob):
    text = subprocess.run(["readelf", "-h", "-S", "-W", path], capture_output=True, text=True).stdout
    fields = dict(line.strip().split(":", 1) for line in text.splitlines() if ":" in line and line.startswith("  ") and not line.startswith("  ["))
    header = child(tree, "header")
    assert le(blob, child(header, "entry")) == int(fields["Entry point address"], 16)
    assert le(blob, child(header, "phnum")) == int(fields["Number of program headers"])
    assert le(blob, child(header, "shnum")) == int(fields["Number of section headers"])
    assert le(blob, child(header, "shstrndx")) == int(fields["Section header string table index"])
    offsets = [line.split("]", 1)[1].split()[3] for line in text.splitlines() if line.strip().startswith("[") and "]" in line and "Nr]" not in line]
    modelled = [le(blob, child(s, "offset")) for s in children(child(tree, "sectionHeaders"), "section")]
    assert modelled == [int(o, 16) for o in offsets], (modelled[:5], offsets[:5])


# ---- ZIP: zipfile
def streamed_or_prefixed(path):
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
    return infos and all(not i.flag_bits & 8 and i.file_size < 2**32 for i in infos) and starts_with(b"PK\x03\x04")(path)


def zip_files():
    return first(find(["/usr/share", "/usr/lib/python3"], "*.whl") + find(["/usr/share"], "*.zip")
                 + find(["/usr/share"], "*.jar"), streamed_or_prefixed)


def zip_check(path, tree, blob):
    with zipfile.ZipFile(path) as archive:
        infos = sorted(archive.infolist(), key=lambda i: i.header_offset)
    entries = children(child(tree, "entries"), "entry")
    names = [data(blob, child(e, "name")).decode("utf-8" if le(blob, child(e, "flags")) & 0x800 else "cp437")
             for e in entries]
    assert names == [i.orig_filename for i in infos]
    assert [le(blob, child(e, "compressedSize")) for e in entries] == [i.compress_size for i in infos]
    assert [le(blob, child(e, "crc32")) for e in entries] == [i.CRC for i in infos]
    assert le(blob, child(tree, "end/entries")) == len(infos)


# ---- gzip: the gzip module
def gzip_files():
    made = os.path.join(work, "named.txt")
    with open(made, "wb") as out:
        out.write(b"gzip test data\n" * 100)
    subprocess.run(["gzip", "-kf", made], check=True)  # stores the name: flag 8
    return first(glob.glob("/usr/share/man/man1/*.gz"))[:MAX_FILES - 1] + [made + ".gz"]


def gzip_check(path, tree, blob):
    with gzip.open(path) as stream:
        content = stream.read()
        mtime = stream.mtime
    assert le(blob, child(tree, "size")) == len(content) % 2**32
    assert le(blob, child(tree, "mtime")) == mtime
    if path.startswith(work):
        assert data(blob, child(tree, "name/text")) == b"named.txt"


# ---- tar: tarfile
def tar_files():
    source = next((d for d in ["/usr/share/doc/bash", "/usr/share/doc/python3", "/etc/apt"] if os.path.isdir(d)), None)
    made = []
    for name, form in [("pax.tar", tarfile.PAX_FORMAT), ("gnu.tar", tarfile.GNU_FORMAT), ("ustar.tar", tarfile.USTAR_FORMAT)]:
        made.append(os.path.join(work, name))
        with tarfile.open(made[-1], "w", format=form) as archive:
            archive.add(source, arcname="doc")
    return made


def tar_check(path, tree, blob):
    with tarfile.open(path) as archive:
        expected = [(m.name, m.size) for m in archive.getmembers()]
    # tarfile drops the slash that ends a directory's name
    modelled = [(data(blob, child(m, "header/name")).rstrip(b"\0").decode().rstrip("/"), len(data(blob, child(m, "data"))))
                for m in children(child(tree, "members"), "member")
                if data(blob, child(m, "header/type")) not in (b"x", b"g", b"L", b"K")]
    assert modelled == expected, (modelled[:3], expected[:3])


# ---- PNG: chunks read with struct
def png_check(path, tree, blob):
    width, height, depth, colour = struct.unpack(">IIBB", blob[16:26])
    header = child(tree, "chunks/chunk/header")
    assert (be(blob, child(header, "width")), be(blob, child(header, "height"))) == (width, height)
    assert (le(blob, child(header, "bitDepth")), le(blob, child(header, "colorType"))) == (depth, colour)
    keywords, position = [], 8
    while position < len(blob):
        length, kind = struct.unpack(">I4s", blob[position:position + 8])
        if kind == b"tEXt":
            keywords.append(blob[position + 8:position + 8 + length].split(b"\0")[0])
        position += 12 + length
    modelled = [data(blob, child(c, "text/keyword")) for c in children(child(tree, "chunks"), "chunk") if children(c, "text")]
    assert modelled == keywords


# ---- GIF: screen and first image read with struct
def gif_check(path, tree, blob):
    assert (le(blob, child(tree, "width")), le(blob, child(tree, "height"))) == struct.unpack("<HH", blob[6:10])
    assert data(blob, child(tree, "version")) == blob[3:6]
    assert data(blob, child(tree, "blocks"), "endGlobal") == b";" and tree["props"]["innerGlobal"]["length"] == len(blob)


# ---- JPEG: markers walked with struct
def jpeg_check(path, tree, blob):
    markers, size, position = [], None, 2
    while blob[position + 1] != 0xD9:
        marker, length = blob[position + 1], struct.unpack(">H", blob[position + 2:position + 4])[0]
        markers.append(marker)
        if marker in (0xC0, 0xC1, 0xC2):
            size = struct.unpack(">HH", blob[position + 5:position + 9])
        position += 2 + length
        if marker == 0xDA:  # entropy-coded data up to a marker other than a stuffed byte or a restart
            while not (blob[position] == 0xFF and blob[position + 1] not in (0, *range(0xD0, 0xD8))):
                position += 1
    segments = child(tree, "segments")["children"]
    assert [data(blob, s)[1] for s in segments] == markers
    frame = child(tree, "segments/frame")
    assert (be(blob, child(frame, "height")), be(blob, child(frame, "width"))) == size


# ---- BMP: bitmaps made here with struct and those of this machine
def bmp_files():
    made = []
    for width, height, bits in [(13, 7, 24), (5, 3, 8), (17, 2, 1), (3, 4, 32)]:
        stride = (width * bits + 31) // 32 * 4
        palette = bytes(range(4)) * 2 ** bits if bits <= 8 else b""
        offset = 54 + len(palette)
        made.append(os.path.join(work, f"{width}x{height}x{bits}.bmp"))
        with open(made[-1], "wb") as out:
            out.write(struct.pack("<2sIHHI", b"BM", offset + stride * height, 0, 0, offset))
            out.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, stride * height, 2835, 2835, 0, 0))
            out.write(palette + bytes(i % 256 for i in range(stride * height)))
    return first(find(["/usr/share"], "*.bmp"), starts_with(b"BM"))[:MAX_FILES - len(made)] + made


def bmp_check(path, tree, blob):
    offset = struct.unpack("<I", blob[10:14])[0]
    width, height, planes, bits = struct.unpack("<iiHH", blob[18:30])
    rows = children(child(tree, "rows"), "row")
    assert (le(blob, child(tree, "infoHeader/width")), le(blob, child(tree, "infoHeader/bitCount"))) == (width, bits)
    assert len(rows) == height and rows[0]["props"]["startGlobal"]["offset"] == offset
    assert {len(data(blob, row)) for row in rows} == {(width * bits + 31) // 32 * 4}


# ---- ICO: directory read with struct
def ico_check(path, tree, blob):
    count = struct.unpack("<H", blob[4:6])[0]
    sizes = [struct.unpack("<I", blob[6 + 16 * i + 8:6 + 16 * i + 12])[0] for i in range(count)]
    assert [le(blob, child(e, "size")) for e in children(child(tree, "directory"), "entry")] == sizes
    images = child(tree, "images")["children"]
    assert [i["props"]["startGlobal"]["length"] + i["props"]["innerGlobal"]["length"] for i in images] == sizes


# ---- WAV: files made here and on this machine, read with wave
def riff_chunk(tag, body, order="<"):
    """A RIFF (little-endian) or IFF (big-endian) chunk, padded to even."""
    return tag + struct.pack(order + "I", len(body)) + body + b"\0" * (len(body) % 2)


def wav_files():
    made = []
    for channels, width, frames in [(1, 2, 1001), (2, 1, 777), (1, 1, 3)]:
        made.append(os.path.join(work, f"{channels}-{width}-{frames}.wav"))
        with wave.open(made[-1], "wb") as out:
            out.setparams((channels, width, 8000, 0, "NONE", "not compressed"))
            out.writeframes(bytes(i % 251 for i in range(frames * channels * width)))
    # The last one again with an INFO list (a list in it, odd sizes) between the format and the data
    with open(made[-1], "rb") as source:
        riff = source.read()
    info = riff_chunk(b"LIST", b"INFO" + riff_chunk(b"INAM", b"Tone") + riff_chunk(b"ISFT", b"gen 1.0")
                      + riff_chunk(b"LIST", b"adtl" + riff_chunk(b"labl", b"\1\0\0\0cue")))
    body = b"WAVE" + riff[12:36] + info + riff_chunk(b"fact", b"\3\0\0\0") + riff_chunk(b"data", riff[44:]) + riff_chunk(b"junk", b"x")
    made.append(os.path.join(work, "lists.wav"))
    with open(made[-1], "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", len(body)) + body)
    return first(find(["/usr/share"], "*.wav"))[:MAX_FILES - len(made)] + made


def riff_tags(blob, start, end):
    """The chunk tags from start to end, a LIST as its tag and the tags inside it."""
    tags = []
    while start < end:
        tag, size = struct.unpack("<4sI", blob[start:start + 8])
        tags.append((tag, riff_tags(blob, start + 12, start + 8 + size)) if tag == b"LIST" else tag)
        start += 8 + size + size % 2
    return tags


def modelled_tags(blob, chunks):
    return [(b"LIST", modelled_tags(blob, child(c, "chunks"))) if c["name"] == "list" else data(blob, c)
            for c in chunks["children"] if c["name"] != "rest"]


def wav_check(path, tree, blob):
    with wave.open(path) as source:
        expected = (source.getnchannels(), source.getframerate(), 8 * source.getsampwidth(),
                    source.getnframes() * source.getnchannels() * source.getsampwidth())
    chunks = child(tree, "riff/chunks")
    modelled = (le(blob, child(chunks, "format/channels")), le(blob, child(chunks, "format/sampleRate")),
                le(blob, child(chunks, "format/bitsPerSample")), len(data(blob, child(chunks, "samples/body"))))
    assert modelled == expected, (modelled, expected)
    assert modelled_tags(blob, chunks) == riff_tags(blob, 12, len(blob))


# ---- AIFF: files made here with aifc (where this Python has it) and with struct
aiff_rates = {}


def aiff_files():
    made = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            import aifc
        except ImportError:  # gone from Python 3.13
            aifc = None
    for channels, width, rate, frames, compressed in [(2, 2, 44100, 1001, False), (1, 1, 22050, 777, True),
                                                      (1, 3, 8000, 3, False)]:
        if not aifc:
            break
        made.append(os.path.join(work, f"{channels}-{width}-{rate}.{'aifc' if compressed else 'aiff'}"))
        with aifc.open(made[-1], "wb") as out:
            out.aifc() if compressed else out.aiff()
            out.setparams((channels, width, rate, 0, b"NONE", b"not compressed"))
            out.writeframes(bytes(i % 251 for i in range(frames * channels * width)))
        aiff_rates[made[-1]] = rate
    # AIFF-C with a name of even length (a pad byte after it), an odd chunk and a rate of 48000 Hz
    frames = 5
    common = struct.pack(">hIhHQ", 2, frames, 16, 16383 + 15, 48000 << 48) + b"sowt" + bytes([4]) + b"sowt\0"
    body = b"AIFC" + riff_chunk(b"FVER", struct.pack(">I", 0xA2805140), ">") + riff_chunk(b"COMM", common, ">") \
        + riff_chunk(b"NAME", b"abc", ">") + riff_chunk(b"SSND", bytes(8 + frames * 4), ">")
    made.append(os.path.join(work, "sowt.aifc"))
    with open(made[-1], "wb") as out:
        out.write(b"FORM" + struct.pack(">I", len(body)) + body)
    aiff_rates[made[-1]] = 48000
    return made


def aiff_check(path, tree, blob):
    position, expected = 12, {}
    while position < len(blob):
        tag, size = struct.unpack(">4sI", blob[position:position + 8])
        if tag == b"COMM":
            expected.update(zip(("channels", "frames", "sampleSize", "sampleRate/exponent", "sampleRate/mantissa"),
                                struct.unpack(">hIhHQ", blob[position + 8:position + 26])))
        if tag == b"SSND":
            expected["data"] = size - 8
        position += 8 + size + size % 2
    chunks = child(tree, "form/chunks")
    modelled = {field: be(blob, child(chunks, "common/" + field)) for field in expected if field != "data"}
    modelled["data"] = len(data(blob, child(chunks, "sound/data")))
    assert modelled == expected, (modelled, expected)
    rate = math.ldexp(modelled["sampleRate/mantissa"], modelled["sampleRate/exponent"] - 16446)
    assert rate == aiff_rates[path], rate
    assert (blob[8:12] == b"AIFC") == bool(children(child(chunks, "common"), "compression"))


# ---- SQLite: a database made here, read back with sqlite3
def sqlite_files():
    made = []
    for page_size, rows in [(4096, 300), (1024, 50), (65536, 10)]:
        made.append(os.path.join(work, f"db{page_size}.sqlite"))
        with sqlite3.connect(made[-1]) as db:
            db.execute(f"pragma page_size={page_size}")
            db.execute("create table notes(id integer primary key, text)")
            db.execute("create index notes_text on notes(text)")
            db.executemany("insert into notes(text) values (?)", [("note %d " % i * 20,) for i in range(rows)])
        db.close()
    return made


def sqlite_check(path, tree, blob):
    with sqlite3.connect(path) as db:
        page_size = db.execute("pragma page_size").fetchone()[0]
        page_count = db.execute("pragma page_count").fetchone()[0]
        schema_rows = db.execute("select count(*) from sqlite_master").fetchone()[0]
    db.close()
    assert be(blob, child(tree, "header/pageSize")) in (page_size, 1 if page_size == 65536 else -1)
    assert be(blob, child(tree, "header/pageCount")) == page_count
    assert len(children(child(tree, "pages"), "page")) == page_count - 1
    assert be(blob, child(tree, "page1/cellCount")) == schema_rows


# ---- pcap: a capture written here with struct
def pcap_files():
    made = os.path.join(work, "small.pcap")
    packets = [bytes(range(n % 256)) * 3 for n in (60, 0, 200, 17)]
    with open(made, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for number, packet in enumerate(packets):
            out.write(struct.pack("<IIII", 1700000000 + number, number * 1000, len(packet), len(packet) + 4) + packet)
    return [made]


def pcap_check(path, tree, blob):
    magic, major, minor, zone, figs, snap, link = struct.unpack("<IHHiIII", blob[:24])
    assert le(blob, child(tree, "header/linkType")) == link and le(blob, child(tree, "header/snapLength")) == snap
    lengths, position = [], 24
    while position < len(blob):
        lengths.append(struct.unpack("<I", blob[position + 8:position + 12])[0])
        position += 16 + lengths[-1]
    assert [le(blob, child(p, "capturedLength")) for p in children(child(tree, "packets"), "packet")] == lengths


# ---- /etc/passwd: split by colons
def passwd_check(path, tree, blob):
    expected = [line.split(":") for line in blob.decode().splitlines()]
    modelled = [[data(blob, child(a, f)).decode() for f in ("name", "password", "uid", "gid", "gecos", "home", "shell")]
                for a in children(child(tree, "accounts"), "account")]
    assert modelled == expected


FORMATS = [
    ("elf.sw", lambda: first(glob.glob("/usr/bin/*"), starts_with(b"\x7fELF\x02\x01")) if shutil.which("readelf") else [],
     elf_check),
    ("zip.sw", zip_files, zip_check),
    ("gzip.sw", gzip_files, gzip_check),
    ("tar.sw", tar_files, tar_check),
    ("png.sw", found(["/usr/share/icons", "/usr/share/pixmaps"], "*.png", b"\x89PNG\r\n\x1a\n"), png_check),
    ("gif.sw", found(["/usr/share"], "*.gif", b"GIF8"), gif_check),
    ("jpeg.sw", found(["/usr/share", "/usr/lib"], "*.jp*g", b"\xff\xd8\xff"), jpeg_check),
    ("bmp.sw", bmp_files, bmp_check),
    ("ico.sw", found(["/usr/share", "/usr/lib"], "*.ico", b"\0\0\1\0"), ico_check),
    ("wav.sw", wav_files, wav_check),
    ("aiff.sw", aiff_files, aiff_check),
    ("sqlite.sw", sqlite_files, sqlite_check),
    ("pcap.sw", pcap_files, pcap_check),
    ("passwd.sw", lambda: first(["/etc/passwd", "/etc/passwd-"], lambda path: os.access(path, os.R_OK)), passwd_check),
]


def check_all(script, files, check):
    """skeinwork check over all the files in one command, then each tree against its reading."""
    listing = subprocess.run([skeinwork, "check", "--json", "-j", "2", os.path.join(formats_dir, script), *files],
                             capture_output=True, text=True)
    results = [json.loads(line) for line in listing.stdout.splitlines()]
    failed = [f"{r['file']}: {r.get('message')}" for r in results[:-1] if r["status"] != "OK"]
    if listing.returncode != 0 or failed or results[-1:] != [{"passed": len(files), "failed": 0}]:
        yield f"check: {failed or listing.stderr[-400:]}"
    for path in files:
        try:
            with open(path, "rb") as source:
                blob = source.read()
            check(path, model(script, path), blob)
        except AssertionError as error:
            yield f"{path}: {error}"


failures = 0
for script, find_files, check in FORMATS:
    files = find_files()
    if not files:
        print(f"{script}: SKIPPED, no such files (or no readelf to read them) on this machine")
        continue
    for failure in check_all(script, files, check):
        failures += 1
        print(f"{script}: FAIL {failure}")
    print(f"{script}: {len(files)} files modelled and checked")
shutil.rmtree(work)
sys.exit(1 if failures else 0)
