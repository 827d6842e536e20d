#!/usr/bin/env python3
"""Writes a synthetic sector-family device database and its design data for
the whole-flow benchmark.

The device is a GRID x GRID array of identical sectors. Each sector has a
CRAM of FRAMES bitstream frames (plus one bitstream row of spare rows) of
4,352 bits (544 bytes: two data registers of 2,176 bits), an ERAM of 512 rows
by 1,024 columns framed in blocks of 64 x 128 bits, and a 64-bit bus chain.
The design data is mostly zero with repeats, as CRAM contents are: each row
is either zero or one of a small pool of rows that are themselves mostly zero.

usage: make_flow_device.py OUT_DIR [--grid N] [--frames F] [--seed S]
Writes OUT_DIR/ddb/*.ddb and OUT_DIR/data/sector_<x>_<y>_{cram,eram,bbus}.bin.
"""
import argparse
import os
import random

ROW_BITS = 4352            # CRAM bits per frame
DRAS = (2176, 2176)        # the two data registers, whole 32-bit words
BROW_FRAME_SIZE = 2        # frames per bitstream row
ERAM_ROWS, ERAM_COLS = 512, 1024
ERAM_BLOCK_ROWS, ERAM_BLOCK_COLS = 64, 128
BBUS_BITS = 64


def family_text():
    return """# Synthetic sector-based family of the whole-flow benchmark.
ddb family 1
family QUELVO
config_width 32

block OPTION_BITS option words=2 crc=1
  const word=0 value=0x5EC70A11
  dyn OPTION_BITS word=1 size=32 mask=0xFFFFFFFF
    ob JTAG_ID index=0 size=32 value=0

block SECTOR_ARRAY array

block ACTION_HDR option words=2
block SECTOR_GROUP_ACTION option words=4
block SECTOR_GROUP_HALF option words=3
block DC_THREAD_PARAMS option words=10

block CNOC_HEADER option words=1
  dyn CNOC_HEADER word=0 size=32 mask=0xFFFFFFFF
    ob CNOC_HDR_LEN index=0 size=8
    ob CNOC_HDR_X index=8 size=8
    ob CNOC_HDR_Y index=16 size=8
    ob CNOC_HDR_SRC index=24 size=4
    ob CNOC_HDR_MSG_TYPE index=28 size=4

block CNT_HEADER option words=2
  dyn CNT_HEADER word=0 size=64 mask=0xFFFFFFFF
    ob CNT_HDR_WRITE_OP index=0 size=8
    ob CNT_HDR_LEN index=8 size=8
    ob CNT_HDR_AREG index=16 size=8
    ob CNT_HDR_RSVD index=24 size=8
    ob CNT_HDR_OFFSET index=32 size=32

block ERAM_HEADER option words=1
  dyn ERAM_HEADER word=0 size=32 mask=0xFFFFFFFF
    ob ERAM_HDR_ADDR index=0 size=4
    ob ERAM_HDR_CMD index=4 size=4
    ob ERAM_HDR_SIZE index=8 size=16
    ob ERAM_HDR_RESERVED index=24 size=8

block COMP_FRAME_HDR option words=2
  dyn COMP_FRAME_HDR word=0 size=64 mask=0xFFFFFFFF
    ob COMP_HDR_CH index=0 size=8
    ob COMP_HDR_FRTYPE index=8 size=8
    ob COMP_HDR_ULEN index=16 size=24
    ob COMP_HDR_S4 index=40 size=4
    ob COMP_HDR_THR index=44 size=4
    ob COMP_HDR_CHEXT index=48 size=8
    ob COMP_HDR_BANK index=56 size=8
"""


def device_text(grid, frames):
    cells = grid * grid
    lines = ["# Synthetic device: a %d x %d grid of identical sectors." % (grid, grid),
             "ddb device 1", "family QUELVO", "device DUMMY2", "",
             "param SECTOR_ARRAY ARRAY_COUNT %d %d" % (grid, grid),
             "param SECTOR_ARRAY ARRAY_TYPE " + " ".join(["1"] * cells)]
    # CNOC x, y and flag per cell.
    rows = ["%d %d 1" % (4 + c % grid, 8 + c // grid) for c in range(cells)]
    lines.append("arg SECTOR_ARRAY CNOC_ADDRESSES width=3 " + rows[0])
    lines += ["data " + r for r in rows[1:]]
    lines.append("arg SECTOR_ARRAY BROW_SIZE width=1 %d" % (frames // BROW_FRAME_SIZE))
    lines.append("arg SECTOR_ARRAY BROW_FRAME_SIZE width=1 %d" % BROW_FRAME_SIZE)
    lines.append("arg SECTOR_ARRAY NOP_CNOC_ADDRESSES width=2 9 9")
    lines += ["data %d %d" % (10 + 2 * c, 11 + 2 * c) for c in range(cells)]
    lines += ["", "ob JTAG_ID index=0 size=32 value=0x0A51C0DE", ""]
    return "\n".join(lines)


def sector_family_text():
    return """# Sector family of the synthetic benchmark device.
ddb family 1
family QUELVO_SECTOR
config_width 32

block CNOC_HEADER option words=2
  dyn CNOC_HEADER word=0 size=64 mask=0xFFFFFFFF
    ob CNOC_HDR_SRC index=0 size=4
    ob CNOC_HDR_MSG_TYPE index=4 size=4
    ob CNOC_HDR_LEN index=8 size=16
    ob CNOC_HDR_X index=32 size=16
    ob CNOC_HDR_Y index=48 size=16

block CNT_HEADER option words=2
  dyn CNT_HEADER word=0 size=64 mask=0xFFFFFFFF
    ob CNT_HDR_WRITE_OP index=0 size=4
    ob CNT_HDR_AREG index=4 size=4
    ob CNT_HDR_RSVD index=8 size=8
    ob CNT_HDR_LEN index=16 size=16
    ob CNT_HDR_OFFSET index=32 size=32

block ERAM_HEADER option words=1
  dyn ERAM_HEADER word=0 size=32 mask=0xFFFFFFFF
    ob ERAM_HDR_ADDR index=0 size=8
    ob ERAM_HDR_CMD index=8 size=4 value=1
    ob ERAM_HDR_SIZE index=12 size=12
    ob ERAM_HDR_RESERVED index=24 size=8

block CRAM data frame=QV_CRAM w6=1
block ERAM data frame=QV_ERAM
block ESRAM_BBUS data frame=TK_ESRAM_BBUS
"""


def sector_device_text(frames):
    rows = frames + BROW_FRAME_SIZE  # the last bitstream row is spare
    last = ROW_BITS - 1
    return "\n".join([
        "# Sector type of the synthetic benchmark device.",
        "ddb device 1", "family QUELVO_SECTOR", "device DUMMY2", "",
        "param ESRAM_BBUS BBUS_BIT_COUNT %d" % BBUS_BITS,
        "param CRAM CRAM_ALGO 0",
        "param CRAM CRAM_FRAME_COUNT %d" % rows,
        "param CRAM CRAM_BIT_COUNT %d" % ROW_BITS,
        "param CRAM DRAS %d %d" % DRAS,
        "arg CRAM CRAM_SPARE_ROWS width=1 " + " ".join(str(frames + i) for i in range(BROW_FRAME_SIZE)),
        "arg CRAM CRAM_IMG_FRAME_TO_BS_FRAME_MAP width=%d 0..%d 0xFFFFFFFF*%d" % (rows, frames - 1, BROW_FRAME_SIZE),
        "arg CRAM CRAM_BS_FRAME_TO_IMG_FRAME_MAP width=%d 0..%d" % (frames, frames - 1),
        "arg CRAM IMG_TO_RAW_MAP width=%d 0..%d" % (ROW_BITS, last),
        "arg CRAM RAW_TO_IMG_MAP width=%d 0..%d" % (ROW_BITS, last),
        "arg CRAM IMG_TO_RAW_MAP_REV32 width=%d 0..%d" % (ROW_BITS, last),
        "arg CRAM RAW_TO_IMG_MAP_REV32 width=%d 0..%d" % (ROW_BITS, last),
        "arg CRAM DRA_S4_INFO width=%d 0*%d" % (rows, rows),
        "arg CRAM BROW_FRAME_SIZE width=1 %d" % BROW_FRAME_SIZE,
        "param ERAM ERAM_ROW_COUNT %d" % ERAM_ROWS,
        "param ERAM ERAM_COL_COUNT %d" % ERAM_COLS,
        "param ERAM ERAM_ROWS_PER_BLOCK %d" % ERAM_BLOCK_ROWS,
        "param ERAM ERAM_COLS_PER_BLOCK %d" % ERAM_BLOCK_COLS,
        "", "s4s2 frames=%d" % frames, ""])


def mostly_zero_rows(rng, count, row_bytes, pool_size=48):
    """count rows: 3 in 4 zero, the rest from a pool of sparse rows."""
    pool = []
    for _ in range(pool_size):
        row = bytearray(row_bytes)
        for _ in range(rng.randrange(1, row_bytes // 16)):
            row[rng.randrange(row_bytes)] = rng.randrange(1, 256)
        pool.append(bytes(row))
    zero = bytes(row_bytes)
    return b"".join(zero if rng.random() < 0.75 else rng.choice(pool) for _ in range(count))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--grid", type=int, default=2)
    ap.add_argument("--frames", type=int, default=4096)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    if a.grid < 1 or a.frames < BROW_FRAME_SIZE or a.frames % BROW_FRAME_SIZE:
        ap.error("--grid must be at least 1, --frames a positive multiple of %d" % BROW_FRAME_SIZE)
    ddb = os.path.join(a.out, "ddb")
    data = os.path.join(a.out, "data")
    os.makedirs(ddb, exist_ok=True)
    os.makedirs(data, exist_ok=True)
    files = {
        "quelvo_family.ddb": family_text(),
        "quelvo_device.ddb": device_text(a.grid, a.frames),
        "quelvo_sector_family_vold.ddb": sector_family_text(),
        "qv_sector_cl.ddb": sector_device_text(a.frames),
    }
    for name, text in files.items():
        with open(os.path.join(ddb, name), "w") as f:
            f.write(text)
    rng = random.Random(a.seed)
    rows = a.frames + BROW_FRAME_SIZE
    for y in range(a.grid):
        for x in range(a.grid):
            base = os.path.join(data, "sector_%d_%d_" % (x, y))
            cram = bytearray(mostly_zero_rows(rng, rows, ROW_BITS // 8))
            cram[a.frames * ROW_BITS // 8:] = bytes(BROW_FRAME_SIZE * ROW_BITS // 8)  # spare rows
            with open(base + "cram.bin", "wb") as f:
                f.write(cram)
            with open(base + "eram.bin", "wb") as f:
                f.write(mostly_zero_rows(rng, ERAM_ROWS, ERAM_COLS // 8))
            with open(base + "bbus.bin", "wb") as f:
                f.write(bytes(rng.randrange(256) for _ in range(BBUS_BITS // 8)))


if __name__ == "__main__":
    main()
