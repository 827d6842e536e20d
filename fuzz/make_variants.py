#!/usr/bin/env python3
"""Writes every committed seed of a target with one number moved by one.

    python3 fuzz/make_variants.py TARGET OUT_DIR

The numbers are those find_edges.py moves (a parameter file's number, a
header field the host's calls are shaped by, a design-data length, a HEX
record's byte count or address), each set one below and one above its
value. A seed's sizes are regular: row counts that fill whole words, maps
without repeats, lengths of whole bytes and dwords. A size one off is the
one that a rounding or a bound one off in the library gets wrong, and that
no check refuses, so find_edges.py, which looks for the values where the
outcome changes, does not see it. The fuzz stage makes these inputs afresh
from the seeds (scripts/fuzz.sh) and runs each of them once first.
"""
import hashlib
import os
import sys

import find_edges


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in find_edges.HEADER_SIZE:
        sys.exit('usage: make_variants.py {%s} OUT_DIR' % ','.join(sorted(find_edges.HEADER_SIZE)))
    target, out = sys.argv[1], sys.argv[2]
    seeds = os.path.join(find_edges.ROOT, 'fuzz/corpus', target)
    largest = find_edges.KEEP_BELOW.get(target, find_edges.LARGEST)
    os.makedirs(out, exist_ok=True)
    written = set()
    for position in find_edges.positions_of(target, seeds):
        for value in (position.value - 1, position.value + 1):
            if not position.low <= value <= min(position.high, largest):
                continue
            data = position.make(value)
            name = hashlib.sha1(data).hexdigest()
            if name in written:
                continue
            written.add(name)
            with open(os.path.join(out, name), 'wb') as f:
                f.write(data)
    print('make_variants: %d inputs in %s' % (len(written), out))


if __name__ == '__main__':
    main()
