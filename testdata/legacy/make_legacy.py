#!/usr/bin/env python3
"""Writes the Reduce and Implode archives of this folder that no independent
program makes, from the files in originals/:

    reduce1.zip reduce2.zip reduce3.zip                   Reduce, factors 1 to 3
    implode-4k-2t.zip implode-4k-3t.zip implode-8k-2t.zip  Implode variants
    implode-encrypted.zip                                 two entries of
                                                          implode-8k-3t.zip,
                                                          encrypted

    python3 testdata/legacy/make_legacy.py [OUTPUT_FOLDER]   (default: here)
    python3 testdata/legacy/make_legacy.py --stats           what the streams hold
    python3 testdata/legacy/make_legacy.py --check           the archives here are
                                                             what it makes

The output is the same on every run: nothing depends on the clock, and the
encryption headers come from a seeded generator. The encoders follow the
published format description: greedy matching with a one-step lookahead over a
window that starts as zeros (so matches may reach before the entry's start);
Reduce follower sets chosen per preceding byte by cost; Implode code lengths
optimal within 16 bits, every code set complete.
"""
import os
import random
import struct
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = ["empty.dat", "short.txt", "long.txt", "prog.bin", "repeat.dat"]
DOS_TIME = 0x6000  # 12:00:00
DOS_DATE = (1994 - 1980) << 9 | 3 << 5 | 15  # 1994-03-15
PASSWORD = b"allotment"
DLE = 0x90


class BitWriter:
    """Bits packed first bit lowest, as every pre-Deflate method wants."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, nbits):
        self.acc |= (value & ((1 << nbits) - 1)) << self.n
        self.n += nbits
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def put_code(self, code, length):
        """A prefix code, sent first bit (its highest) first."""
        for i in range(length - 1, -1, -1):
            self.put((code >> i) & 1, 1)

    def finish(self):
        if self.n:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


# --- Matching -------------------------------------------------------------

class Matcher:
    """Longest earlier match at a position, over hash chains. The data is
    preceded by `window` zero bytes, which a match may reach into."""

    def __init__(self, data, window, key, min_len, max_len, allow_overlap, accept, chain=256):
        self.buf = bytes(window) + data
        self.start = window
        self.window = window
        self.key = key
        self.min_len = min_len
        self.max_len = max_len
        self.overlap = allow_overlap
        self.accept = accept  # accept(length, distance) -> bool
        self.chain = chain
        self.heads = {}
        self.prev = {}
        for p in range(0, window):
            self.insert(p)

    def insert(self, p):
        k = self.buf[p:p + self.key]
        if len(k) < self.key:
            return
        self.prev[p] = self.heads.get(k)
        self.heads[k] = p

    def best(self, p):
        """(length, distance) of the longest acceptable match at p, else None;
        of equal lengths the nearest."""
        buf = self.buf
        end = len(buf)
        cand = self.heads.get(buf[p:p + self.key])
        best_len, best_dist = 0, 0
        tries = self.chain
        while cand is not None and tries > 0:
            tries -= 1
            dist = p - cand
            if dist > self.window:
                break
            limit = min(self.max_len, end - p)
            if not self.overlap:
                limit = min(limit, dist)
            if limit > best_len and buf[cand + best_len] == buf[p + best_len]:
                n = 0
                while n < limit and buf[cand + n] == buf[p + n]:
                    n += 1
                if n > best_len and n >= self.min_len and self.accept(n, dist):
                    best_len, best_dist = n, dist
                    if n == self.max_len:
                        break
            cand = self.prev.get(cand)
        return (best_len, best_dist) if best_len else None

    def tokens(self):
        """Literals (int) and copies ((length, distance)), greedy with a
        one-step lookahead: a copy is put off by one byte when the next
        position starts a longer one."""
        p = self.start
        end = len(self.buf)
        out = []
        pending = None
        while p < end:
            m = pending if pending is not None else self.best(p)
            pending = None
            if m is None:
                out.append(self.buf[p])
                self.insert(p)
                p += 1
                continue
            self.insert(p)
            if p + 1 < end:
                nxt = self.best(p + 1)
                if nxt is not None and nxt[0] > m[0]:
                    out.append(self.buf[p])
                    p += 1
                    pending = nxt
                    continue
            for q in range(p + 1, p + m[0]):
                self.insert(q)
            out.append(m)
            p += m[0]
        return out


# --- Reduce ---------------------------------------------------------------

def index_bits(n):
    bits = 1
    while (1 << bits) < n:
        bits += 1
    return bits


def reduce_stream(data, factor):
    mask = 0xFF >> factor
    max_dist = (1 << factor) * 256
    # V = 0 after DLE means a literal DLE, so a copy of 3 within 256 bytes
    # has no code.
    accept = lambda length, dist: not (length == 3 and dist <= 256)
    matcher = Matcher(data, max_dist, 3, 3, mask + 255 + 3, False, accept)
    tokens = matcher.tokens()
    plain = []
    for t in tokens:
        if isinstance(t, int):
            plain += [DLE, 0] if t == DLE else [t]
            continue
        length, dist = t
        high, low = (dist - 1) >> 8, (dist - 1) & 0xFF
        extra = length - 3
        if extra < mask:
            plain += [DLE, (high << (8 - factor)) | extra, low]
        else:
            plain += [DLE, (high << (8 - factor)) | mask, extra - mask, low]

    # Follower sets: per preceding byte, the n likeliest successors, with n
    # the one that codes that byte's successors in the fewest bits.
    succ = [dict() for _ in range(256)]
    last = 0
    for b in plain:
        succ[last][b] = succ[last].get(b, 0) + 1
        last = b
    sets = []
    for ctx in range(256):
        ranked = sorted(succ[ctx].items(), key=lambda kv: (-kv[1], kv[0]))
        total = sum(c for _, c in ranked)
        best_n, best_cost = 0, 8 * total
        covered = 0
        for n in range(1, min(32, len(ranked)) + 1):
            covered += ranked[n - 1][1]
            cost = 8 * n + covered * (1 + index_bits(n)) + (total - covered) * 9
            if cost < best_cost:
                best_n, best_cost = n, cost
        sets.append([b for b, _ in ranked[:best_n]])

    w = BitWriter()
    for ctx in range(255, -1, -1):
        w.put(len(sets[ctx]), 6)
        for b in sets[ctx]:
            w.put(b, 8)
    last = 0
    for b in plain:
        s = sets[last]
        if not s:
            w.put(b, 8)
        elif b in s:
            w.put(0, 1)
            w.put(s.index(b), index_bits(len(s)))
        else:
            w.put(1, 1)
            w.put(b, 8)
        last = b
    return w.finish(), tokens, sets


# --- Implode --------------------------------------------------------------

def limited_lengths(freqs, limit=16):
    """Code lengths of least cost with none above `limit` (package-merge);
    every symbol gets a code, so the set is complete."""
    n = len(freqs)
    leaves = sorted(((f, (i,)) for i, f in enumerate(freqs)), key=lambda x: x[0])
    current = leaves
    for _ in range(limit - 1):
        packages = [(current[k][0] + current[k + 1][0], current[k][1] + current[k + 1][1])
                     for k in range(0, len(current) - 1, 2)]
        current = sorted(leaves + packages, key=lambda x: x[0])
    lengths = [0] * n
    for _, symbols in current[:2 * n - 2]:
        for s in symbols:
            lengths[s] += 1
    return lengths


def shannon_fano_codes(lengths):
    """The codes the format assigns: symbols by length, longest first and the
    highest symbol first within a length, numbered upwards from zero, each
    code left-aligned in 16 bits."""
    order = sorted(range(len(lengths)), key=lambda s: (-lengths[s], -s))
    codes = [0] * len(lengths)
    code, increment, last = 0, 0, None
    for s in order:
        if lengths[s] != last:
            code += increment
            increment = 1 << (16 - lengths[s])
            last = lengths[s]
        else:
            code += increment
        codes[s] = code >> (16 - lengths[s])
    return codes


def put_tree(w, lengths):
    runs = []
    for length in lengths:
        if runs and runs[-1][0] == length and runs[-1][1] < 16:
            runs[-1][1] += 1
        else:
            runs.append([length, 1])
    w.put(len(runs) - 1, 8)
    for length, count in runs:
        w.put((count - 1) << 4 | (length - 1), 8)


def implode_stream(data, big_dictionary, literal_tree):
    window = 8192 if big_dictionary else 4096
    low_bits = 7 if big_dictionary else 6
    min_match = 3 if literal_tree else 2
    matcher = Matcher(data, window, min_match, min_match, min_match + 63 + 255, True,
                      lambda length, dist: True, chain=128)
    tokens = matcher.tokens()

    lit_freq, len_freq, dist_freq = [0] * 256, [0] * 64, [0] * 64
    for t in tokens:
        if isinstance(t, int):
            lit_freq[t] += 1
        else:
            length, dist = t
            len_freq[min(length - min_match, 63)] += 1
            dist_freq[(dist - 1) >> low_bits] += 1
    trees = {}
    w = BitWriter()
    for name, freq, present in (("lit", lit_freq, literal_tree), ("len", len_freq, True),
                                ("dist", dist_freq, True)):
        if present:
            lengths = limited_lengths(freq)
            put_tree(w, lengths)
            trees[name] = (lengths, shannon_fano_codes(lengths))

    def put_symbol(name, s):
        lengths, codes = trees[name]
        w.put_code(codes[s], lengths[s])

    for t in tokens:
        if isinstance(t, int):
            w.put(1, 1)
            if literal_tree:
                put_symbol("lit", t)
            else:
                w.put(t, 8)
            continue
        length, dist = t
        w.put(0, 1)
        w.put(dist - 1, low_bits)
        put_symbol("dist", (dist - 1) >> low_bits)
        code = length - min_match
        if code >= 63:
            put_symbol("len", 63)
            w.put(code - 63, 8)
        else:
            put_symbol("len", code)
    return w.finish(), tokens


# --- Encryption -------------------------------------------------------------

class Cipher:
    """The traditional ZIP stream cipher."""

    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for c in password:
            self.update(c)

    @staticmethod
    def crc_byte(crc, b):
        return zlib.crc32(bytes([b]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def update(self, p):
        k = self.k
        k[0] = self.crc_byte(k[0], p)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = self.crc_byte(k[2], k[1] >> 24)

    def encrypt(self, data):
        out = bytearray()
        for p in data:
            t = (self.k[2] & 0xFFFF) | 2
            out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self.update(p)
        return bytes(out)


# --- The archive ----------------------------------------------------------

def write_zip(path, entries):
    """entries: (name, method, flags, crc, uncompressed size, data)."""
    out = bytearray()
    central = bytearray()
    for name, method, flags, crc, size, data in entries:
        version = 20 if flags & 1 else 10
        fields = struct.pack("<HHHHHIIIHH", version, flags, method, DOS_TIME, DOS_DATE, crc,
                             len(data), size, len(name), 0)
        offset = len(out)
        out += b"PK\x03\x04" + fields + name.encode() + data
        # Made by MS-DOS, the archive attribute set.
        central += (b"PK\x01\x02" + struct.pack("<H", version) + fields +
                    struct.pack("<HHHII", 0, 0, 0, 0x20, offset) + name.encode())
    at = len(out)
    out += central
    out += b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries),
                                       len(central), at, 0)
    with open(path, "wb") as f:
        f.write(out)


def read_raw_entries(path):
    """(name, method, flags, crc, size, data) of every local entry."""
    blob = open(path, "rb").read()
    at, entries = 0, []
    while blob[at:at + 4] == b"PK\x03\x04":
        (_, flags, method, _, _, crc, csize, size, nlen, xlen) = struct.unpack_from("<HHHHHIIIHH", blob, at + 4)
        name = blob[at + 30:at + 30 + nlen].decode()
        start = at + 30 + nlen + xlen
        entries.append((name, method, flags, crc, size, blob[start:start + csize]))
        at = start + csize
    return entries


def originals():
    return [(n, open(os.path.join(HERE, "originals", n), "rb").read()) for n in FILES]


def make(out_dir):
    files = originals()
    for factor in (1, 2, 3):
        entries = []
        for name, data in files:
            stream, _, _ = reduce_stream(data, factor)
            entries.append((name, 1 + factor, 0, zlib.crc32(data), len(data), stream))
        write_zip(os.path.join(out_dir, f"reduce{factor}.zip"), entries)
    for label, big, lit in (("4k-2t", False, False), ("4k-3t", False, True), ("8k-2t", True, False)):
        flags = (2 if big else 0) | (4 if lit else 0)
        entries = []
        for name, data in files:
            stream, _ = implode_stream(data, big, lit)
            entries.append((name, 6, flags, zlib.crc32(data), len(data), stream))
        write_zip(os.path.join(out_dir, f"implode-{label}.zip"), entries)

    # implode-8k-3t.zip is the other encoder's (see README.md); two of its
    # streams, encrypted: 11 seeded bytes and the CRC's high byte ahead.
    rng = random.Random(19940315)
    entries = []
    for name, method, flags, crc, size, data in read_raw_entries(os.path.join(HERE, "implode-8k-3t.zip")):
        if name not in ("short.txt", "repeat.dat"):
            continue
        header = bytes(rng.randrange(256) for _ in range(11)) + bytes([crc >> 24])
        sealed = Cipher(PASSWORD).encrypt(header + data)
        entries.append((name, method, flags | 1, crc, size, sealed))
    write_zip(os.path.join(out_dir, "implode-encrypted.zip"), entries)


def stats():
    """What the Reduce and Implode streams of this encoder hold, per entry."""
    files = originals()
    for factor in (1, 2, 3):
        for name, data in files:
            stream, tokens, sets = reduce_stream(data, factor)
            sizes = sorted({len(s) for s in sets})
            print(f"reduce{factor} {name}: {len(stream)} bytes, follower set sizes {sizes}, "
                  f"{describe(tokens, 3)}")
    for label, big, lit in (("4k-2t", False, False), ("4k-3t", False, True), ("8k-2t", True, False)):
        for name, data in files:
            stream, tokens = implode_stream(data, big, lit)
            print(f"implode-{label} {name}: {len(stream)} bytes, {describe(tokens, 3 if lit else 2)}")


def describe(tokens, min_match):
    copies = [t for t in tokens if not isinstance(t, int)]
    pos, before, overlap = 0, 0, 0
    for t in tokens:
        if isinstance(t, int):
            pos += 1
            continue
        length, dist = t
        before += dist > pos
        overlap += length > dist
        pos += length
    longest = max((l for l, _ in copies), default=0)
    shortest = sum(1 for l, _ in copies if l == min_match)
    far = sum(1 for _, d in copies if d > 4096)
    return (f"longest copy {longest}, {shortest} of the minimum length, {far} beyond 4096, "
            f"{before} before the start, {overlap} overlapping")


OUTPUTS = ["reduce1.zip", "reduce2.zip", "reduce3.zip", "implode-4k-2t.zip", "implode-4k-3t.zip",
           "implode-8k-2t.zip", "implode-encrypted.zip"]


def check():
    """Makes the archives afresh and compares them with the ones here."""
    with tempfile.TemporaryDirectory() as out:
        make(out)
        differ = [n for n in OUTPUTS
                  if open(os.path.join(out, n), "rb").read() != open(os.path.join(HERE, n), "rb").read()]
    for n in differ:
        print(f"{n}: differs from what make_legacy.py makes", file=sys.stderr)
    return 1 if differ else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    if args and args[0] == "--stats":
        stats()
    elif args and args[0] == "--check":
        sys.exit(check())
    else:
        make(args[0] if args else HERE)
