#!/usr/bin/env python3
"""Finds the inputs that sit on the edges of the library's checks.

    python3 fuzz/find_edges.py TARGET OUT_DIR [--jobs N] [--per-edge K]

For every number of every committed seed of TARGET (fuzz/corpus/TARGET): a
parameter file's number, a header field the host's calls are shaped by, a
design-data length, a HEX record's byte count or address, the number is set
to a handful of bound candidates (one beside, zero, twice, half, eight
times, an eighth, every power of two) and the input run. Where two
candidates end differently (refused by another check, or by one check and
not at all), the values between them are bisected down to two neighbours:
the last value one way and the first the other. Both inputs are written to
OUT_DIR, at most K (default 2) for each pair of outcomes, leaving out those
that run longer than a second and, for the whole road, those of values
above 2^20. Inputs that end in a finding on the way are
copied to OUT_DIR-findings.

A check that compares against a value no file states (the size of a table
of the library, the end of a buffer the library computes) is then met at
exactly its bound, which random mutation seldom hits: an input one past the
bound is the one a check weakened by one lets through.

The outcome of an input is what the target prints with VARNO_FUZZ_VERBOSE
set: the place of the internal error it ends in, the device database's
complaint (its numbers dropped), a failed process_pcfs, or none. Runs the
targets of build/fuzz (scripts/fuzz.sh builds them). The results for the
committed seeds are in fuzz/edges/; rerun after changing the seeds or the
checks, and replace that directory with OUT_DIR.
"""
import argparse
import collections
import functools
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Header fields by target: (offset, width in bytes, signed), as the header
# enums at the top of each target's source lay them out.
HEADER_FIELDS = {
    # whole_road: the host's buffer deltas, merge block and field sizes,
    # design-data and frame-size deltas, firmware size, option bit index and
    # count, partial build, frame and byte offset, frame count, frame range,
    # DRA limit, firmware frame size, PR ranges, sector-type override.
    'whole_road': [(46 + k, 1, True) for k in range(8)] + [
        (54, 2, False), (56, 2, True), (58, 2, True), (79, 1, True), (80, 1, True), (36, 4, False),
        (68, 2, False), (70, 2, False), (33, 1, False), (34, 1, False), (35, 1, False), (73, 2, False),
        (75, 2, False), (77, 2, False), (18, 2, False), (20, 2, False), (14, 2, False), (40, 2, False),
        (25, 1, False), (26, 1, False), (29, 1, False), (30, 1, False), (61, 1, False), (62, 1, False),
        (63, 1, False)],
    # firmware_file: firmware size, frame size.
    'firmware_file': [(4, 4, False), (8, 2, False)],
    'ddb_loader': [],
}
HEADER_SIZE = {'whole_road': 81, 'firmware_file': 16, 'ddb_loader': 0}
NUMBER = re.compile(rb'0x[0-9A-Fa-f]+|\d+')
LARGEST = 1 << 40
BATCH = 1500
# Largest value of a whole-road edge kept: an input just inside a larger
# bound (an image of 2^32 bits, a padding of 2^27 rows) asks for more memory
# or time than a fuzz run may take once a mutation gives it data to work on.
# The other targets only parse and frame what the harness bounds.
KEEP_BELOW = {'whole_road': 1 << 20}
# Longest run of an input kept, in milliseconds; a run that takes longer
# than TIMEOUT_S seconds ends as a finding (libFuzzer's timeout).
SLOW_MS = 1000
TIMEOUT_S = 3


class Position:
    """One number of one input: its bytes, its form and its range."""

    def __init__(self, data, start, end, form, low, high, value):
        self.data, self.start, self.end = data, start, end
        self.form, self.low, self.high, self.value = form, low, high, value

    def make(self, value):
        if self.form in ('count', 'address'):
            return self.data[:self.start] + hex_record(self.data[self.start:self.end], self.form, value) + \
                self.data[self.end:]
        if self.form == 'dec':
            text = b'%d' % value
        elif self.form == 'hex':
            text = b'0x%X' % value
        else:
            width, signed = self.form
            text = value.to_bytes(width, 'little', signed=signed)
        return self.data[:self.start] + text + self.data[self.end:]

    def candidates(self):
        v = self.value
        c = {v, v - 1, v + 1, 0, 1, 2 * v, v // 2, 8 * v, v // 8, v + 8, v - 8, v + 64, v - 64}
        c |= {1 << k for k in range(33)}
        if self.low < 0:
            c |= {-1, -8, -64, -128, -(1 << 15)}
        return sorted(x for x in c if self.low <= x <= min(self.high, LARGEST))


def hex_record(line, field, value):
    """A HEX data record with its byte count (the data cut or filled to it)
    or its address set to value, and its checksum made anew."""
    raw = bytearray(bytes.fromhex(line[1:].decode()))
    data = raw[4:-1]
    if field == 'count':
        data = (data + bytes((0xA5 + k) & 0xFF for k in range(value)))[:value]
        raw[0] = value
    else:
        raw[1:3] = value.to_bytes(2, 'big')
    record = bytes(raw[:4]) + bytes(data)
    return b':' + record.hex().upper().encode() + b'%02X' % (-sum(record) & 0xFF)


def hex_records(rest):
    """The (start, end) of every well-formed HEX data record."""
    out = []
    for m in re.finditer(rb'^:((?:[0-9A-F]{2})+)$', rest, re.M):
        raw = bytes.fromhex(m.group(1).decode())
        if len(raw) >= 5 and raw[3] == 0 and raw[0] == len(raw) - 5 and sum(raw) & 0xFF == 0:
            out.append((m.start(), m.end()))
    return out


def text_sections(target, rest):
    """The (start, end) of every parameter-file or configuration text."""
    if target == 'ddb_loader':
        return [(0, len(rest))]
    if target != 'whole_road':
        return []
    starts = [m.start() + (m.start() > 0) for m in re.finditer(rb'(?:^|\n)@@', rest)]
    out = []
    for i, start in enumerate(starts):
        end = starts[i + 1] - 1 if i + 1 < len(starts) else len(rest)
        line_end = rest.find(b'\n', start, end)
        if rest[start:start + 3] in (b'@@F', b'@@C') and line_end >= 0:
            out.append((line_end + 1, end))
    return out


def positions_of(target, seeds):
    """Every number of every seed; a text seen in an earlier seed is skipped."""
    size = HEADER_SIZE[target]
    seen = set()
    out = []
    for name in sorted(os.listdir(seeds)):
        data = open(os.path.join(seeds, name), 'rb').read()
        data += bytes(max(0, size - len(data)))
        for at, width, signed in HEADER_FIELDS[target]:
            bits = 8 * width
            low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
            value = int.from_bytes(data[at:at + width], 'little', signed=signed)
            out.append(Position(data, at, at + width, (width, signed), low, high, value))
        rest = data[size:]
        if target == 'whole_road':
            # The u64 length of every design-data section.
            for m in re.finditer(rb'(?:^|\n)@@D[^\n]*\n', rest):
                at = size + m.end() + 2
                if at + 8 <= len(data):
                    value = int.from_bytes(data[at:at + 8], 'little')
                    out.append(Position(data, at, at + 8, (8, False), 0, LARGEST, value))
        if target == 'firmware_file':
            for start, end in hex_records(rest):
                raw = bytes.fromhex(rest[start + 1:end].decode())
                out.append(Position(data, size + start, size + end, 'count', 0, 255, raw[0]))
                out.append(Position(data, size + start, size + end, 'address', 0, 0xFFFF, raw[1] << 8 | raw[2]))
        for start, end in text_sections(target, rest):
            digest = hashlib.sha1(rest[start:end]).digest()
            if digest in seen:
                continue
            seen.add(digest)
            for m in NUMBER.finditer(rest, start, end):
                token = m.group(0)
                hexadecimal = token.startswith(b'0x')
                value = int(token, 16) if hexadecimal else int(token)
                out.append(Position(data, size + m.start(), size + m.end(), 'hex' if hexadecimal else 'dec',
                                    0, LARGEST, value))
    return out


class Runner:
    """Runs inputs through a target and tells how each ended."""

    def __init__(self, target, jobs, scratch, findings):
        self.binary = os.path.join(ROOT, 'build/fuzz/fuzz/fuzz_' + target)
        if not os.access(self.binary, os.X_OK):
            sys.exit('find_edges: %s is missing; bash scripts/fuzz.sh builds it' % self.binary)
        self.jobs, self.scratch, self.findings = jobs, scratch, findings
        self.env = dict(os.environ, VARNO_FUZZ_VERBOSE='1',
                        ASAN_OPTIONS='detect_leaks=0:allocator_may_return_null=0')

    @staticmethod
    def outcome(line):
        m = re.match(r'internal error \(([^)]*)\)', line)
        if m:
            return 'check ' + m.group(1)
        if line.startswith('device file: '):
            return 'loader ' + re.sub(r'\d+', 'N', re.sub(r'^.*?:\d+: ', '', line[13:]))
        if line.startswith('process_pcfs: status ') and not line.endswith(' 0'):
            return 'status ' + line[21:]
        return None

    def batch(self, inputs):
        # The target's own files go to the batch's directory too (TMPDIR):
        # a run stopped by a timeout leaves them behind.
        work = tempfile.mkdtemp(dir=self.scratch)
        names = []
        for i, data in enumerate(make() for make in inputs):
            path = os.path.join(work, str(i))
            with open(path, 'wb') as f:
                f.write(data)
            names.append(path)
        result = {}  # path: [outcome, milliseconds]
        todo = names
        while todo:
            run = subprocess.run([self.binary, '-timeout=%d' % TIMEOUT_S, '-rss_limit_mb=4096',
                                  '-malloc_limit_mb=1024'] + todo, env=dict(self.env, TMPDIR=work), cwd=work,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            current = None
            for line in run.stdout.decode('latin-1').split('\n'):
                executed = re.match(r'Executed (.*) in (\d+) ms$', line)
                if line.startswith('Running: '):
                    current = line[9:]
                    result[current] = [None, 0]
                elif executed:
                    result[executed.group(1)][1] = int(executed.group(2))
                    current = None
                elif current is not None and result[current][0] is None:
                    result[current][0] = self.outcome(line)
            if run.returncode == 0:
                break
            # A finding (crash, leak, timeout, memory) stops the run: it is
            # the last input started. Keep it apart and go on after it.
            last = next((n for n in reversed(todo) if n in result), todo[0])
            result[last] = ['finding', 0]
            os.makedirs(self.findings, exist_ok=True)
            with open(last, 'rb') as f:
                keep = os.path.join(self.findings, hashlib.sha1(f.read()).hexdigest())
            shutil.copy(last, keep)
            print('find_edges: a finding, kept as %s' % keep, file=sys.stderr)
            todo = todo[todo.index(last) + 1:]
        shutil.rmtree(work)
        return [(result[n][0] or 'none', result[n][1]) for n in names]

    def run(self, inputs):
        """The outcome and run time (ms) of each input, each made by a call
        when its batch runs."""
        chunks = [inputs[i:i + BATCH] for i in range(0, len(inputs), BATCH)]
        with ThreadPoolExecutor(self.jobs) as pool:
            return [o for part in pool.map(self.batch, chunks) for o in part]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('target', choices=sorted(HEADER_SIZE))
    parser.add_argument('out')
    parser.add_argument('--jobs', type=int, default=os.cpu_count())
    parser.add_argument('--per-edge', type=int, default=2)
    args = parser.parse_args()

    positions = positions_of(args.target, os.path.join(ROOT, 'fuzz/corpus', args.target))
    os.makedirs(args.out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix='.find_edges-', dir=args.out)
    runner = Runner(args.target, args.jobs, scratch, os.path.normpath(args.out) + '-findings')

    # Every candidate of every number, then the neighbours of different
    # outcomes bisected until they are one apart.
    tried = [(p, v) for p, pos in enumerate(positions) for v in pos.candidates()]
    print('find_edges: %d numbers, %d first runs' % (len(positions), len(tried)), flush=True)
    seen = collections.defaultdict(dict)
    took = {}
    made = [functools.partial(positions[p].make, v) for p, v in tried]
    for (p, v), (o, ms) in zip(tried, runner.run(made)):
        seen[p][v], took[p, v] = o, ms
    edges, open_ = [], []
    for p, outcomes in seen.items():
        values = sorted(outcomes)
        for a, b in zip(values, values[1:]):
            if outcomes[a] != outcomes[b]:
                (edges if b == a + 1 else open_).append((p, a, b))
    while open_:
        middles = [(p, a, b, (a + b) // 2) for p, a, b in open_]
        open_ = []
        made = [functools.partial(positions[p].make, m) for p, _, _, m in middles]
        for (p, a, b, m), (o, ms) in zip(middles, runner.run(made)):
            seen[p][m], took[p, m] = o, ms
            a, b = (a, m) if o != seen[p][a] else (m, b)
            (edges if b == a + 1 else open_).append((p, a, b))
        print('find_edges: %d edges, %d still open' % (len(edges), len(open_)), flush=True)

    # Both sides of at most K edges for each pair of outcomes, drawn evenly
    # over the seeds. An input that takes long (a parameter file may ask
    # for frames of megabytes) would only slow the fuzzing down, or end it
    # in a timeout: such edges are left out.
    random.Random(1).shuffle(edges)
    largest = KEEP_BELOW.get(args.target, LARGEST)
    taken = collections.Counter()
    written = set()
    for p, a, b in edges:
        pair = tuple(sorted((seen[p][a], seen[p][b])))
        if taken[pair] >= args.per_edge or 'finding' in pair or max(abs(a), abs(b)) > largest or \
                max(took[p, a], took[p, b]) > SLOW_MS:
            continue
        taken[pair] += 1
        for v in (a, b):
            data = positions[p].make(v)
            name = hashlib.sha1(data).hexdigest()
            if name not in written:
                written.add(name)
                with open(os.path.join(args.out, name), 'wb') as f:
                    f.write(data)
    shutil.rmtree(scratch)
    checks = {o for pair in taken for o in pair if o.startswith('check ')}
    print('find_edges: %d edges, %d pairs of outcomes, %d checks met at their bound; %d inputs in %s'
          % (len(edges), len(taken), len(checks), len(written), args.out))


if __name__ == '__main__':
    main()
