#!/usr/bin/env bash
# Builds the seed corpora of the library's fuzz targets from the example
# device databases and the test fixtures (input layout: fuzz/fuzz_support.h):
#   fuzz/corpus/whole_road/     one input per family/device pair
#   fuzz/corpus/firmware_file/  one input per firmware file and header version
# Run it after changing a fixture; it replaces both directories.
set -euo pipefail
cd "$(dirname "$0")/.."

WHOLE=fuzz/corpus/whole_road
FW=fuzz/corpus/firmware_file
rm -rf "$WHOLE" "$FW"
mkdir -p "$WHOLE" "$FW"

# Little-endian bytes.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
le64() { le32 $(($1 & 0xFFFFFFFF)); le32 $(($1 >> 32)); }

# header SIZE [AT=VALUE ...]: SIZE bytes of zeros but the bytes given.
header() {
  local size=$1
  shift
  local -a bytes
  for ((i = 0; i < size; ++i)); do bytes[i]=0; done
  for kv in "$@"; do bytes[${kv%%=*}]=$((${kv#*=})); done
  for ((i = 0; i < size; ++i)); do printf "\\x$(printf %02x "${bytes[i]}")"; done
}

# file NAME PATH: a file section, without comments and blank lines.
# With LISTED set, the ranges ("a..b") and repeats ("v*n") of up to 256
# values are written out value by value: every value of a table is then a
# number of its own that one edit moves past a bound.
file() {
  printf '@@F %s\n' "$1"
  sed -e 's/[[:space:]]*#.*//' -e '/^[[:space:]]*$/d' "$2" | if [ -n "${LISTED:-}" ]; then
    awk '{
      out = ""
      for (i = 1; i <= NF; ++i) {
        w = $i
        if (w ~ /^[0-9]+\.\.[0-9]+$/) {
          split(w, r, "\\.\\.")
          if (r[2] - r[1] >= 0 && r[2] - r[1] < 256) { w = r[1]; for (v = r[1] + 1; v <= r[2]; ++v) w = w " " v }
        } else if (w ~ /^(0x)?[0-9A-Fa-f]+\*[0-9]+$/) {
          split(w, r, "\\*")
          if (r[2] > 0 && r[2] <= 256) { w = r[1]; for (v = 2; v <= r[2]; ++v) w = w " " r[1] }
        }
        out = out (i > 1 ? " " : "") w
      }
      print out
    }'
  else cat; fi
}

# firmware NAME PATH: a firmware file section.
firmware() {
  printf '@@X %s\n' "$1"
  cat "$2"
}

# data TITLE MASK LENGTH [PATH]: design data (a 16-byte pattern without
# PATH, zeros with an empty file); LENGTH counts bits, or bytes when MASK has
# bit 15 (32768) set; with bit 14 (16384) a pseudo-random stream follows the
# bytes instead of their repetition.
data() {
  printf '@@D%s\n' "${1:+ $1}"
  le16 "$2"
  le64 "$3"
  if [ -n "${4:-}" ]; then cat "$4"; else printf '\x5a\xa5\x0f\xf0\x33\xcc\x01\x80\x12\x34\x56\x78\x9a\xbc\xde\xf0'; fi
  printf '\n'
}

# The first value of "param BLOCK NAME" in a device file (0 without one).
param() {
  awk -v b="$2" -v n="$3" '$1 == "param" && $2 == b && $3 == n {
    for (i = 4; i <= NF; ++i) if ($i !~ /=/) { print $i + 0; exit } } END {}' "$1" | head -n 1 | grep . || echo 0
}

# qv_images DEVICE NAME: design data for the CRAM and ERAM blocks of the
# generators that load DEVICE as NAME: exactly their image sizes, of the
# 16-byte pattern, or the bytes of the file QV_PAYLOAD repeated, or with
# QV_STREAM=1 a pseudo-random stream after them.
QV_STREAM=0
QV_PAYLOAD=
qv_images() {
  local dev=$1 name=$2
  local rows cols stream=$((QV_STREAM * 16384))
  rows=$(param "$dev" CRAM CRAM_FRAME_COUNT)
  cols=$(param "$dev" CRAM CRAM_BIT_COUNT)
  [ "$rows" -gt 0 ] && [ "$cols" -gt 0 ] && data "CRAM $name" $((1 | stream)) $((rows * cols)) $QV_PAYLOAD
  rows=$(param "$dev" ERAM ERAM_ROW_COUNT)
  cols=$(param "$dev" ERAM ERAM_COL_COUNT)
  [ "$rows" -gt 0 ] && [ "$cols" -gt 0 ] && data "ERAM $name" $((2 | stream)) $((rows * cols)) $QV_PAYLOAD
  return 0
}

# Header bytes of fuzz_whole_road (see its H_ and R_ constants).
H_ROAD=0 H_2D=1 H_GROUP_FLAGS=2 H_FLAGS_A=3 H_CRAM_B=5 H_TEMPLATE=6 H_GROUP_TYPE=22 H_THREADS=23 H_PR_COUNT=24 H_PR=25
H_PARTIAL=33 H_FW_SIZE=36 H_MERGE=42 H_HOST=44 H_SETUP=45 H_DELTA=46 H_BLOCK=54 H_FIELD=56 H_ROUTE=60 H_CELL=61
H_OPTION=64 H_FRAME=72 H_BYTE=75 H_DATA_DELTA=79 H_SIZE_DELTA=80
R_GROUP=1 R_DUMPS=2 R_SECTOR_PARAMS=4 R_SHA384=8 R_INTERLEAVE=16 R_NO_HASH=32 R_PARTIAL=64
R_NO_SETUP_READS=128
B_BY_NAME=1 B_DEFER_S4=2 B_DBLOCKS=4 B_MULTITHREAD=8 B_FRONT=16 B_MERGE_ALL=32 B_WHOLE=64 B_APPEND=128
S_NO_S4=1 S_NO_CODEBOOKS=2 S_LOW_FIRST=4 S_HASHED=8 S_EXT=16
D_S4=0 D_CODEBOOK=1 D_DECOMP=2 D_LIBS=3 D_THREAD=4 D_DESCRIPTOR=5 D_GROUP=6 D_HASH=7
O_MASK=1 O_WRITE=2 O_READ=4 O_OPTION_WRITE=8 O_OPTION_READ=16 O_HOST_IMAGE=32 O_COPY=64 O_STANDALONE=128
WHOLE_HEADER=81
# u16 AT VALUE: the header words of a little-endian u16 (or i16) at AT.
u16() { echo "$1=$(($2 & 255)) $(($1 + 1))=$(($2 >> 8 & 255))"; }
# delta D VALUE: the header word of a signed buffer-length delta.
delta() { echo "$((H_DELTA + $1))=$((($2 + 256) & 255))"; }
# The example host's group switches: compressed threads, no S4 form.
GROUP="$H_ROAD=$((R_GROUP | R_DUMPS | R_SECTOR_PARAMS)) $H_GROUP_FLAGS=8 $H_FLAGS_A=1"

# road NAME DIR FAMILY DEVICE DATA [HEADER BYTES...]: a seed from a fixture
# directory: the pair, every other parameter file of the directory under its
# own name, the QV images of every device file, the design data DATA (words
# TITLE:MASK:LENGTH, '+' for a space in TITLE, a fourth field for zeros;
# the word "only" leaves out the unnamed chunk), and an unnamed 64-byte chunk
# for every other data block.
road() {
  local name=$1 dir=$2 family=$3 device=$4 slots=$5
  shift 5
  {
    header $WHOLE_HEADER "$@"
    file family "$dir/$family"
    file device "$dir/$device"
    for f in "$dir"/*.ddb; do
      case "$(basename "$f")" in "$family" | "$device") continue ;; esac
      grep -q '^ddb family 1' "$f" && grep -q 'family .*_SECTOR' "$f" || grep -q '^ddb device 1' "$f" || continue
      file "$(basename "$f" .ddb)" "$f"
    done
    for slot in $slots; do
      [ "$slot" = only ] && continue
      IFS=: read -r title mask bits zeros <<<"$slot"
      data "${title//+/ }" "$mask" "$bits" ${zeros:+/dev/null}
    done
    qv_images "$dir/$device" device
    for f in "$dir"/*.ddb; do
      [ "$(basename "$f")" != "$device" ] && grep -q '^ddb device 1' "$f" && qv_images "$f" "$(basename "$f" .ddb)"
    done
    [[ " $slots " == *" only "* ]] || data "" 0 512
  } >"$WHOLE/$name"
}

# The example runs: the README's sector run with its design data and a CRAM
# group, an ERAM group, and CRAM groups with partial reconfiguration of rows
# and of sparse frames.
Q=examples/ddb/quelvo
QD=examples/data/quelvo
quelvo() {
  header $WHOLE_HEADER "$@"
  file family $Q/quelvo_family.ddb
  file device $Q/quelvo_device.ddb
  file quelvo_sector_family_vold $Q/quelvo_sector_family_vold.ddb
  file qv_sector_cl $Q/qv_sector_cl.ddb
  file qv_sector_f1 $Q/qv_sector_f1.ddb
  for t in cl f1; do
    data "CRAM qv_sector_$t" 1 $(($(stat -c %s $QD/cram_$t.bin) * 8)) $QD/cram_$t.bin
    data "ERAM qv_sector_$t" 2 $(($(stat -c %s $QD/eram_$t.bin) * 8)) $QD/eram_$t.bin
    data "ESRAM_BBUS qv_sector_$t" 16 $(($(stat -c %s $QD/esram_bbus_$t.bin) * 8)) $QD/esram_bbus_$t.bin
  done
  printf '@@C\n'
  cat examples/example.cfg
}
quelvo $GROUP >"$WHOLE/quelvo_cram_group"
quelvo $GROUP "$H_GROUP_TYPE=1" >"$WHOLE/quelvo_eram_group"
quelvo $GROUP "$H_GROUP_FLAGS=9" "$H_PR_COUNT=2" "$((H_PR + 1))=1" "$((H_PR + 3))=3" \
  "$((H_PR + 4))=2" "$((H_PR + 6))=1" >"$WHOLE/quelvo_pr_rows"
quelvo $GROUP "$H_GROUP_FLAGS=10" "$H_PR_COUNT=1" "$((H_PR + 1))=2" "$((H_PR + 3))=3" >"$WHOLE/quelvo_pr_sparse"
{
  header $WHOLE_HEADER "$H_ROAD=$R_DUMPS"
  file family examples/ddb/borquent/borquent_family.ddb
  file device examples/ddb/borquent/borquent_device.ddb
  data ESRAM_BBUS 16 128 examples/data/borquent/esram_bbus.bin
} >"$WHOLE/borquent"

# The test fixtures.
T=tests/data
# Edited copies of fixtures.
EDITED=$(mktemp -d)
trap 'rm -rf "$EDITED"' EXIT
# fixture NAME SOURCE: a copy of a fixture directory to edit, in $EDITED/NAME.
fixture() {
  mkdir "$EDITED/$1"
  cp "$2"/*.ddb "$EDITED/$1"
}
# Chain 0 of sector (0, 1) takes the 24 bits of a variant.
fixture bbus $T/bbus
sed -i 's/^data 20 8 8 8$/data 24 8 8 8/' "$EDITED/bbus/qv_device.ddb"
road bbus "$EDITED/bbus" quelvo_family.ddb qv_device.ddb "BBUS:16:152 BBUS:16:40 BBUS:16:48 BBUS:16:48 BBUS:16:48 BBUS:16:48 MORLU_CSR:8:120 AIB_CSR:8:120 IO_CSR:8:120 UIB_CSR:8:48" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
# The chain table one row short of the grid: sector (2, 1) has no row.
fixture bbus_short "$EDITED/bbus"
sed -i '$!N;/^data 24 8 8 8\narg SECTOR_ARRAY BBUS_BIT_OVERWRITE/!P;D' "$EDITED/bbus_short/qv_device.ddb"
[ "$(grep -c '^data 2[04] 8 8 8$' "$EDITED/bbus_short/qv_device.ddb")" = 3 ]
road edge_bbus_table_row_short "$EDITED/bbus_short" quelvo_family.ddb qv_device.ddb "BBUS:16:152 BBUS:16:40" \
  "$H_ROAD=$R_SECTOR_PARAMS"
# Its CRAM block has no geometry (the tests give it a stand-in manager):
# skipped.
road early $T/early early_family.ddb early_device.ddb "ERAM:2:120 IOCSR:8:96" "$H_ROAD=$R_DUMPS" 16=37
# The SSM parameter blocks read the sectors' CRAM, ERAM, BBUS and REGSCAN
# parameters only: there those blocks make no frames. One seed per firmware
# type with records: LSM, IOSSM, UIBSSM (fw_type 0, 2, 5: header byte 7 is
# added to the default 13, mod 14).
# The LSM records need every sector's CNOC distance, a fourth field of its
# CNOC_ADDRESSES row.
sed -e 's/^arg SECTOR_ARRAY CNOC_ADDRESSES width=3 0 1 1$/arg SECTOR_ARRAY CNOC_ADDRESSES width=4 0 1 1 1000000/' \
  -e 's/^data 40 1 1$/data 40 1 1 1234567/' -e 's/^data 1 2 1$/data 1 2 1 500000/' -e 's/^data 41 2 1$/data 41 2 1 0/' \
  $T/fw/qv_device.ddb >"$EDITED/fw_lsm_device.ddb"
ssm() {
  local device=$1
  shift
  header $WHOLE_HEADER "$H_ROAD=$R_DUMPS" "$@"
  file family $T/fw/quelvo_family.ddb
  file device "$device"
  sed -E 's/frame=QV_(CRAM|ERAM|BBUS|REGSCAN)/frame=TK_ESRAM_BBUS/' $T/fw/quelvo_sector_family_vold.ddb >"$WHOLE/.family"
  file quelvo_sector_family_vold "$WHOLE/.family"
  rm "$WHOLE/.family"
  for f in quelvo_io_family_vold quelvo_uib_family_vold qv_io_1 qv_sector_cl qv_sector_f1 qv_uib_1; do
    file $f "${SSM_SECTORS:-$T/fw}/$f.ddb"
  done
}
ssm "$EDITED/fw_lsm_device.ddb" 7=1 >"$WHOLE/ssm_lsm"
# LSM clock-network masks of 32 bytes, filled backwards from where the
# chain ends: sector type f1's one variant of 30 or 31 one-bit segments after
# a 40-bit one, whose two bytes then fill the last two mask bytes, or would
# start in the last one.
for ones in 30 31; do
  fixture lsm_mask_$ones $T/fw
  segments="40 0 0$(printf ' 1 0 0%.0s' $(seq $ones))"
  sed -i -e "s/^param BBUS CLK_NTW_VARIANTS 364$/param BBUS CLK_NTW_VARIANTS $((40 + ones))/" \
    -e "s/^arg BBUS CLK_NTW_SEGMENTS width=3 64 0 1 300 0 3$/arg BBUS CLK_NTW_SEGMENTS width=3 $segments/" \
    "$EDITED/lsm_mask_$ones/qv_sector_f1.ddb"
  sed -e "s/^data 364 \(9 10\|13 14\)$/data $((40 + ones)) \1/" "$EDITED/fw_lsm_device.ddb" >"$EDITED/lsm_mask_$ones/lsm.ddb"
  [ "$(grep -c "^data $((40 + ones)) " "$EDITED/lsm_mask_$ones/lsm.ddb")" = 2 ]
  SSM_SECTORS="$EDITED/lsm_mask_$ones" ssm "$EDITED/lsm_mask_$ones/lsm.ddb" 7=1 >"$WHOLE/edge_lsm_mask_${ones}_ones"
done
ssm $T/fw/qv_device.ddb 7=3 >"$WHOLE/ssm_iossm"
ssm $T/fw/qv_device.ddb 7=6 >"$WHOLE/ssm_uibssm"
road group $T/group group_family.ddb group_device.ddb "" $GROUP
road group_tk $T/group group_family.ddb group_device_tk.ddb "" $GROUP "$H_GROUP_FLAGS=12"
road hg $T/hg hg_family.ddb hg_device.ddb "CRAM+device:1:64:z" "$H_ROAD=$R_DUMPS"
road legacy $T/hg legacy_family.ddb legacy_device.ddb "" "$H_ROAD=$R_DUMPS"
# The earlier families' and the QV fixtures' tables written out value by
# value (see file()).
LISTED=1 road early_listed $T/early early_family.ddb early_device.ddb "ERAM:2:120 IOCSR:8:96" "$H_ROAD=$R_DUMPS" 16=37
LISTED=1 road hg_listed $T/hg hg_family.ddb hg_device.ddb "CRAM+device:1:64:z" "$H_ROAD=$R_DUMPS"
LISTED=1 road legacy_listed $T/hg legacy_family.ddb legacy_device.ddb "" "$H_ROAD=$R_DUMPS"
LISTED=1 road pv_listed $T/pv pv_family.ddb pv_device.ddb "" "$H_ROAD=$R_DUMPS"
LISTED=1 road qv_listed $T/qv quelvo_family.ddb qv_device.ddb "" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))" "$H_FLAGS_A=1" \
  "$H_CELL=2" "$((H_CELL + 2))=2"
LISTED=1 road group_tk_listed $T/group group_family.ddb group_device_tk.ddb "" $GROUP "$H_GROUP_FLAGS=12"
# The register windows of every sector type whose window base fits the
# design data.
MMIO_DATA="HIP_MMIO+qv_sector_cl:256:9216 EHIP_MMIO+qv_sector_cl:256:9216 MMIO2+qv_sector_cl:256:9216 CRYPTO_MMIO+qv_sector_cl:256:9216 HNOC_MMIO+qv_sector_cl:1024:2048 HNOC_AXI4LITE+qv_sector_cl:1024:2048 CRYPTO_MMIO+qv_sector_f1:256:2048 MMIO2+qv_sector_f1:256:2048 EHIP_MMIO+qv_sector_f1:256:57664 HNOC_MMIO+qv_sector_fc:1024:2048 CRYPTO_MMIO+qv_sector_f6:256:1024 CRYPTO_MMIO+qv_sector_jl:256:1024 only"
road mmio $T/mmio mmio_family.ddb mmio_device.ddb "$MMIO_DATA" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
# Registers 0 and 1 of cl's MMIO2 block, one data word each: two words of
# data, and one.
for words in 2 1; do
  road edge_mmio2_data_words_$words $T/mmio mmio_family.ddb mmio_device.ddb "MMIO2+qv_sector_cl:256:$((32 * words)) only" \
    "$H_ROAD=$R_SECTOR_PARAMS"
done
# A programming sequence for the MMIO2 blocks of tile types 4 and 5: registers
# 0 and 1 of "MMIO"; 64-byte MMIO2 frames.
{
  printf '@@Q\n'
  for v in k3081a k3092a; do printf '\x0a\x16\x0a\x06%s\x12\x0c\x0a\x04MMIO\x12\x04\x08\x00\x10\x02' $v; done
  printf '\n'
  printf '@@C\nvarno_whr_mmio2_frame_size = 64\nvarno_rnr_mmio2_frame_size = 64\nvarno_gdr_mmio2_frame_size = 64\n'
} >>"$WHOLE/mmio"
road flat $T/model flat_family.ddb flat_device.ddb ""
road pv $T/pv pv_family.ddb pv_device.ddb "" "$H_ROAD=$R_DUMPS"
# Sector (2, 0) of type fc (its raw map is narrower than its image) becomes
# a cl sector, as a host may choose.
road qv $T/qv quelvo_family.ddb qv_device.ddb "" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))" "$H_FLAGS_A=1" "$H_CELL=2" \
  "$((H_CELL + 2))=2"
# The TK flow moves ERAM row groups by the spare rows: the last group ends on
# the last row, and one row further.
road edge_qv_tk_spare_rows_last $T/qv quelvo_family.ddb qv_device.ddb "" "$H_ROAD=$R_SECTOR_PARAMS" "$H_GROUP_FLAGS=4" "$H_FLAGS_A=1" "$H_CELL=2" "$((H_CELL + 2))=2"
fixture qv_spare $T/qv
sed -i 's/^arg ERAM ERAM_SPARE_ROWS width=2 4 5$/arg ERAM ERAM_SPARE_ROWS width=2 4 6/' "$EDITED/qv_spare/qv_sector_cl.ddb"
grep -q 'ERAM_SPARE_ROWS width=2 4 6$' "$EDITED/qv_spare/qv_sector_cl.ddb"
road edge_qv_tk_spare_rows_past "$EDITED/qv_spare" quelvo_family.ddb qv_device.ddb "" "$H_ROAD=$R_SECTOR_PARAMS" "$H_GROUP_FLAGS=4" "$H_FLAGS_A=1" "$H_CELL=2" "$((H_CELL + 2))=2"
road regwin $T/regwin quelvo_family.ddb qv_device.ddb "UIB_MMR:34816:208960 IO_VAMM:36864:529408" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
# Custom frame sizes from the host: REGSCAN frames of 100, 200 and 100
# bytes over 400 bytes of data; BRAM chunks of as many dwords over 1600 bytes
# (the input's last section: a line end would be a fourth size).
road sizes $T/regwin quelvo_family.ddb qv_device.ddb "REGSCAN:32896:400 BRAM:33280:1600 only" \
  "$H_ROAD=$R_SECTOR_PARAMS"
{
  printf '@@S\n'
  le32 100; le32 200; le32 100
} >>"$WHOLE/sizes"
# Block groups of BRAM chunks, of 2D-compressed sectors (an ERAM group: the
# ERAM blocks carry the 2D engines), and with a literal codebook: the group
# fixture's device level over the sector files of other fixtures, and with a
# codebook for CRAM threads.
for d in regwin twod group; do
  fixture $d $T/$d
  cp $T/group/group_family.ddb $T/group/group_device.ddb "$EDITED/$d"
done
echo 'param SECTOR_ARRAY GZIP_KORVIA_LITERALS_CRAM 255..0' >>"$EDITED/group/group_device.ddb"
# A group of 2D sectors needs their spare rows: frame 11 becomes one.
sed -i -e 's/^\(arg CRAM CRAM_IMG_FRAME_TO_BS_FRAME_MAP width=12\) 0..11$/\1 0..10 0xFFFFFFFF/' \
  -e 's/^\(arg CRAM CRAM_BS_FRAME_TO_IMG_FRAME_MAP\) width=12 0..11$/\1 width=11 0..10/' \
  "$EDITED/twod/qv_sector_cl.ddb"
echo 'arg CRAM CRAM_SPARE_ROWS width=1 11' >>"$EDITED/twod/qv_sector_cl.ddb"
road bram_group "$EDITED/regwin" group_family.ddb group_device.ddb "BRAM:33280:1600 only" $GROUP \
  "$H_GROUP_TYPE=4" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))"
{
  printf '@@S\n'
  le32 100; le32 200; le32 100
} >>"$WHOLE/bram_group"
road twod_group "$EDITED/twod" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_TYPE=1" "$H_2D=11" "$H_FLAGS_A=7" \
  "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))"
road codebook_group "$EDITED/group" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_FLAGS=40"
# Regression: a sector array whose row geometry argument has no row.
fixture norow $T/group
sed -i 's/^arg SECTOR_ARRAY BROW_SIZE width=1 3$/arg SECTOR_ARRAY BROW_SIZE width=1/' "$EDITED/norow/group_device.ddb"
road regress_brow_without_rows "$EDITED/norow" group_family.ddb group_device.ddb "" $GROUP
# Regression: an S4 expansion of a CRAM IP into nine types, one more than
# its 32-bit type list holds.
fixture expansion $T/twod
echo 'arg CRAM S4_TO_DC_IP_TYPE width=4 0 0 0 1 1 0x87654321 0 9 2 2 0 1' >>"$EDITED/expansion/qv_sector_cl.ddb"
road regress_2d_expansion_nine "$EDITED/expansion" quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" \
  "$H_ROAD=$R_SECTOR_PARAMS"
# Regression: a data register of nearly 2^32 bits (a length moved below
# zero), which made every frame half a gigabyte.
fixture longreg $T/twod
sed -i 's/^param CRAM DRAS 96 96$/param CRAM DRAS 4294967136 96/' "$EDITED/longreg/qv_sector_cl.ddb"
grep -q '^param CRAM DRAS 4294967136 96$' "$EDITED/longreg/qv_sector_cl.ddb"
road regress_register_wraps "$EDITED/longreg" quelvo_family.ddb qv_device.ddb "" "$H_ROAD=$R_SECTOR_PARAMS"
# The F structure holds a nibble per slice, sized by the three IP_INFO
# entries for 16: expanded into 7, 7 and 2 types they fill it, into 7 each
# they are five too many.
for last in 0x21:2 0x0123012:7; do
  fixture fstruct_${last#*:} $T/twod
  echo "arg CRAM S4_TO_DC_IP_TYPE width=4 0 0x0123012 0 7 1 0x0123012 0 7 2 ${last%:*} 0 ${last#*:}" \
    >>"$EDITED/fstruct_${last#*:}/qv_sector_cl.ddb"
  road edge_2d_fstruct_last_$((14 + ${last#*:})) "$EDITED/fstruct_${last#*:}" quelvo_family.ddb qv_device.ddb "" \
    "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$R_SECTOR_PARAMS"
done
# Its sector array has no core-IP rows for an S4 setup image.
road codebook $T/setup codebook_family.ddb codebook_device.ddb "" $GROUP "$H_GROUP_FLAGS=44" "$H_SETUP=$S_NO_S4"
road setup_tk $T/setup tk_family.ddb tk_device.ddb "" $GROUP
road twod $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
# Built twice, the 2D data cleared at the end.
road twod_twice $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$R_SECTOR_PARAMS" \
  "$H_MERGE=48"
{
  header $WHOLE_HEADER "$H_ROAD=$R_DUMPS" 36=0x88 37=0x13
  file family $T/fw/fw_family.ddb
  file device $T/fw/fw_device.ddb
  firmware fw_small.hex $T/fw/fw_small.hex
} >"$WHOLE/fw_blocks"

# ---- Seeds beside the bounds the checks guard ----------------------------------

# Sector types of unequal CRAM frame counts in one thread: the example's f1
# type gets eight bitstream frames (ten image frames, two of them spare), cl
# keeps four; its ERAM blocks already differ (four frames against two).
# Non-periodic design data. Partial-reconfiguration ranges on both types of
# thread 0 (sectors 0, cl, and 1, f1): the last frames of the shorter block
# and frames past its end in the longer one, by rows and sparse, for CRAM and
# ERAM groups.
# f1_frames NAME N ROWS: the example with f1 sectors of N bitstream frames
# (N + 2 image frames, the last two spare) and sector-array rows of ROWS.
f1_frames() {
  local f1="$EDITED/$1/qv_sector_f1.ddb" n=$2
  fixture "$1" $Q
  sed -i -e "s/^param CRAM CRAM_FRAME_COUNT 6$/param CRAM CRAM_FRAME_COUNT $((n + 2))/" \
    -e "s/^arg CRAM CRAM_SPARE_ROWS width=1 4 5$/arg CRAM CRAM_SPARE_ROWS width=1 $n $((n + 1))/" \
    -e "s/^\(arg CRAM CRAM_IMG_FRAME_TO_BS_FRAME_MAP\) width=6 0..3 /\1 width=$((n + 2)) 0..$((n - 1)) /" \
    -e "s/^\(arg CRAM CRAM_BS_FRAME_TO_IMG_FRAME_MAP\) width=4 0..3$/\1 width=$n 0..$((n - 1))/" \
    -e "s/^arg CRAM DRA_S4_INFO width=6 1 1 0\*4$/arg CRAM DRA_S4_INFO width=$((n + 2)) 1 1 0*$n/" "$f1"
  if grep -q 'COUNT 6$\|width=1 4 5$\|width=6 0\.\.3 \|width=4 0\.\.3$\|width=6 1 1 ' "$f1"; then
    echo "make_seeds: $f1 not edited" >&2
    exit 1
  fi
  sed -i "s/^arg SECTOR_ARRAY BROW_SIZE width=1 2$/arg SECTOR_ARRAY BROW_SIZE width=1 $3/" \
    "$EDITED/$1/quelvo_device.ddb"
}
f1_frames two_lengths 8 4
# two_lengths FIXTURE NAME HEADER...: a group seed of that fixture with
# non-periodic design data and the example's configuration.
two_lengths() {
  QV_STREAM=1
  road "$2" "$EDITED/$1" quelvo_family.ddb quelvo_device.ddb \
    "ESRAM_BBUS+qv_sector_cl:16:64 ESRAM_BBUS+qv_sector_f1:16:32 only" $GROUP "${@:3}"
  QV_STREAM=0
  { printf '@@C\n'; cat examples/example.cfg; } >>"$WHOLE/$2"
}
# Ranges: start, length, sector | thread << 3, opcode.
range() { echo "$((H_PR + 4 * $1))=$2 $((H_PR + 4 * $1 + 1))=$3 $((H_PR + 4 * $1 + 2))=$4 $((H_PR + 4 * $1 + 3))=$5"; }
two_lengths two_lengths edge_pr_rows_two_lengths "$H_GROUP_FLAGS=9" "$H_PR_COUNT=2" $(range 0 2 1 0 3) $(range 1 5 2 1 3)
two_lengths two_lengths edge_pr_sparse_two_lengths "$H_GROUP_FLAGS=10" "$H_PR_COUNT=2" $(range 0 3 0 0 3) $(range 1 6 1 1 3)
two_lengths two_lengths edge_pr_eram_two_lengths "$H_GROUP_TYPE=1" "$H_GROUP_FLAGS=9" "$H_PR_COUNT=2" $(range 0 2 1 0 3) \
  $(range 1 1 0 1 3)

# The same with sixteen f1 frames: a range on f1's second mask byte widens
# to whole rows that lie past cl's one-byte mask.
f1_frames two_lengths16 16 8
two_lengths two_lengths16 edge_pr_rows_past_short_mask "$H_GROUP_FLAGS=9" "$H_PR_COUNT=2" $(range 0 2 1 0 3) \
  $(range 1 8 2 1 3)

# 2D prediction over rows that are not all alike: a pseudo-random stream,
# and patterns of 7 and 36 bytes, whose periods divide neither the 6- and
# 12-byte slices nor the 24-byte CRAM row and 160-byte ERAM row; without and
# with a group (an ERAM group of the spare-row sectors), with and without
# row alignment, and the combined-targets flow switched off once.
printf '\x11\x22\x33\x44\x55\x66\x77' >"$EDITED/period7"
head -c 36 examples/data/quelvo/cram_cl.bin >"$EDITED/period36"
QV_STREAM=1
road edge_twod_stream $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
road edge_twod_group_stream "$EDITED/twod" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_TYPE=1" \
  "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))"
QV_STREAM=0
QV_PAYLOAD="$EDITED/period7"
road edge_twod_period7 $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=5" \
  "$H_ROAD=$R_SECTOR_PARAMS"
printf '@@C\nvarno_use_combined_2dpred_flow = off\n' >>"$WHOLE/edge_twod_period7"
QV_PAYLOAD="$EDITED/period36"
road edge_twod_group_period36 "$EDITED/twod" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_TYPE=1" \
  "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))"
QV_PAYLOAD=

# IOCSR chains of unequal lengths: eight chains of 5, 3 and 4 bits (31 bits,
# no whole byte), padded to whole rows of four positions with one leading
# row; and with MCU chains (one position per row), 32 IOCSR chains of 65 bits
# in all and MCU chains of 65 bits.
fixture iocsr $T/early
sed -i 's/^param IOCSR IOCSR_CFF 12\*8$/param IOCSR IOCSR_CFF 5 3 4 4 4 4 4 3\nparam IOCSR IOCSR_LEADING_PADDING_COUNT 1/' \
  "$EDITED/iocsr/early_device.ddb"
road edge_iocsr_padding "$EDITED/iocsr" early_family.ddb early_device.ddb "IOCSR:8:31 only" \
  "$H_ROAD=$R_DUMPS" 16=37
fixture iocsr_mcu $T/early
sed -i 's/^param IOCSR IOCSR_CFF 12\*8$/param IOCSR IOCSR_CFF 3 2*30 2\nparam IOCSR MCU_CFF 3 2*31/' \
  "$EDITED/iocsr_mcu/early_device.ddb"
QV_STREAM=1
road edge_iocsr_mcu "$EDITED/iocsr_mcu" early_family.ddb early_device.ddb "IOCSR:$((12 | 16384)):65 only" \
  "$H_ROAD=$R_DUMPS" 16=37
QV_STREAM=0

# The padding block as the complement of the legacy fixture's CRAM frame of
# 5 words (2 of data, 3 of headers): after an option block of 4 words there
# is no byte of padding left, after one of 3 words one word.
fixture dyn_pad $T/hg
printf 'block OPTION_BITS option words=4\nblock DYN_OB_PAD data frame=DYN_OB_PAD w1=4 w4=1\n' \
  >>"$EDITED/dyn_pad/legacy_family.ddb"
road edge_dyn_pad_exact "$EDITED/dyn_pad" legacy_family.ddb legacy_device.ddb "" "$H_ROAD=$R_DUMPS"
sed -i 's/^block OPTION_BITS option words=4$/block OPTION_BITS option words=3/' "$EDITED/dyn_pad/legacy_family.ddb"
road edge_dyn_pad_word "$EDITED/dyn_pad" legacy_family.ddb legacy_device.ddb "" "$H_ROAD=$R_DUMPS"

# BRAM chunks at their limit: one of 3584 dwords (seven whole frames, the
# most a chunk may have), one of a dword, and one of five dwords cut to the
# two the design data still holds; as a group.
road edge_bram_chunks "$EDITED/regwin" group_family.ddb group_device.ddb "BRAM:33280:14348 only" $GROUP \
  "$H_GROUP_TYPE=4" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))"
{
  printf '@@S\n'
  le32 3584; le32 1; le32 5
} >>"$WHOLE/edge_bram_chunks"

# REGSCAN frames of the core size with a last frame of the remainder (4099
# bytes less 3 bits), and the one 31-bit frame of 11808 bytes less 3 bits.
road edge_regscan_rest $T/regwin quelvo_family.ddb qv_device.ddb "REGSCAN:$((128 | 16384)):32789 only" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
road edge_regscan_rest31 $T/regwin quelvo_family.ddb qv_device.ddb "REGSCAN:$((128 | 16384)):94461 only" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))" "$H_FLAGS_A=8"

# Register-window design data that ends where the last image row ends (or
# with the last register, where that lies further), in every block of every
# tile type; lengths in bytes, as the checks count them.
MMIO_EXACT="HIP_MMIO+qv_sector_cl:33024:1060 EHIP_MMIO+qv_sector_cl:33024:260 MMIO2+qv_sector_cl:33024:1028 CRYPTO_MMIO+qv_sector_cl:33024:1028 HNOC_MMIO+qv_sector_cl:33792:200 HNOC_AXI4LITE+qv_sector_cl:33792:40 CRYPTO_MMIO+qv_sector_f1:33024:164 MMIO2+qv_sector_f1:33024:136 EHIP_MMIO+qv_sector_f1:33024:7204 HNOC_MMIO+qv_sector_fc:33792:200 CRYPTO_MMIO+qv_sector_f6:33024:24 CRYPTO_MMIO+qv_sector_jl:33024:16 only"
road edge_mmio_exact $T/mmio mmio_family.ddb mmio_device.ddb "$MMIO_EXACT" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
printf '@@C\nvarno_whr_mmio2_frame_size = 64\nvarno_rnr_mmio2_frame_size = 64\nvarno_gdr_mmio2_frame_size = 64\n' \
  >>"$WHOLE/edge_mmio_exact"

# CRAM frames in S4 form (no headers) for S4 variants 1, 2 and 3 (the
# record's default 1 XORed with header byte 6 bits 2-3); variant 2 without
# the S4 mask in a CRAM group, the others with it (whose group records
# would need four DRAS values the example has not).
quelvo $GROUP "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))" "$H_FLAGS_A=4" >"$WHOLE/edge_s4"
quelvo $GROUP "$H_FLAGS_A=4" "$H_TEMPLATE=12" >"$WHOLE/edge_s4_variant2"
quelvo $GROUP "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))" "$H_FLAGS_A=6" "$H_TEMPLATE=8" >"$WHOLE/edge_s4_variant3"

# CRAM fault-injection locations of the host at the last frame and bit that
# map into the image, in each of the three forms: image positions,
# bitstream positions, ED-CRC positions.
fault_locations() {
  printf '@@L\n'
  for v in "$@"; do le32 "$v"; done
}
road edge_fault_image $T/pv pv_family.ddb pv_device.ddb "" "$H_ROAD=$R_DUMPS" "$H_CRAM_B=128"
fault_locations 51 59 0 0 51 58 >>"$WHOLE/edge_fault_image"
road edge_fault_bitstream $T/pv pv_family.ddb pv_device.ddb "" "$H_ROAD=$R_DUMPS" "$H_CRAM_B=64"
fault_locations 51 223 0 139 >>"$WHOLE/edge_fault_bitstream"
road edge_fault_edcrc $T/pv pv_family.ddb pv_device.ddb "" "$H_ROAD=$R_DUMPS"
fault_locations 51 123 0 64 >>"$WHOLE/edge_fault_edcrc"

# A host's partial build of a top block up to its last frame: the four CRAM
# frames of the HOLMGRADEN fixture, the three of the legacy one, frames 50
# and 51 of the PASKEVOLT one, both IOCSR frames of the earlier family.
partial() { echo "$H_ROAD=$((R_DUMPS | R_PARTIAL)) $H_PARTIAL=$1 $((H_PARTIAL + 1))=$2 $((H_PARTIAL + 2))=$3"; }
road edge_partial_hg $T/hg hg_family.ddb hg_device.ddb "CRAM+device:1:64:z" $(partial 0 0 3)
road edge_partial_legacy $T/hg legacy_family.ddb legacy_device.ddb "" $(partial 0 0 2)
road edge_partial_pv $T/pv pv_family.ddb pv_device.ddb "" $(partial 1 50 1)
road edge_partial_iocsr $T/early early_family.ddb early_device.ddb "ERAM:2:120 IOCSR:8:96" 16=37 $(partial 1 0 1)

# Programming sequences whose registers reach the last data word: tile type
# 4 (cl) writes all 288 words of its 1152 bytes in one range, tile type 5
# (f1) its first word and then its last, word 63 of 64; 64-byte MMIO2
# frames.
road edge_mmio_registers $T/mmio mmio_family.ddb mmio_device.ddb "$MMIO_DATA" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
{
  printf '@@Q\n'
  printf '\x0a\x17\x0a\x06k3081a\x12\x0d\x0a\x04MMIO\x12\x05\x08\x00\x10\xa0\x02'
  printf '\x0a\x1c\x0a\x06k3092a\x12\x12\x0a\x04MMIO\x12\x04\x08\x00\x10\x01\x12\x04\x08\x3f\x10\x01'
  printf '\n@@C\nvarno_whr_mmio2_frame_size = 64\nvarno_rnr_mmio2_frame_size = 64\nvarno_gdr_mmio2_frame_size = 64\n'
} >>"$WHOLE/edge_mmio_registers"

# The host's buffers at the lengths the library takes besides the one it
# asks for: a shorter S4 setup image, 2D library image, thread read and
# descriptor, longer codebook, setup-record and group-data buffers; long
# setup records, codebooks low byte first, hashed setup records.
road edge_host_buffers "$EDITED/group" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_FLAGS=40" \
  "$H_SETUP=$((S_EXT | S_LOW_FIRST | S_HASHED))" $(delta $D_S4 -1) $(delta $D_CODEBOOK 1) \
  $(delta $D_DECOMP 1) $(delta $D_THREAD -1) $(delta $D_DESCRIPTOR -1) $(delta $D_GROUP 1) $(delta $D_HASH -1)
road edge_host_buffers_twod "$EDITED/twod" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_TYPE=1" \
  "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))" $(delta $D_LIBS -1) $(delta $D_S4 -47) \
  $(delta $D_THREAD -1) "$H_SETUP=$S_HASHED"
# Each host buffer one byte short and one byte long, alone: a refused
# buffer ends the road, so one seed a buffer and side puts every size check
# beside its bound. Codebooks also at the size of a 300-entry codebook,
# beyond the least buffer a host may pass.
for kind in S4 CODEBOOK DECOMP THREAD DESCRIPTOR GROUP HASH LIBS; do
  d=D_$kind
  for side in short:-1 long:1; do
    name="edge_${side%:*}_$(echo $kind | tr 'A-Z' 'a-z')"
    if [ $kind = LIBS ]; then
      road "$name" "$EDITED/twod" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_TYPE=1" "$H_2D=11" \
        "$H_FLAGS_A=7" "$H_ROAD=$((R_GROUP | R_SECTOR_PARAMS))" "$H_SETUP=$S_HASHED" $(delta ${!d} ${side#*:})
    else
      road "$name" "$EDITED/group" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_FLAGS=40" \
        "$H_SETUP=$((S_EXT | S_HASHED))" $(delta ${!d} ${side#*:})
    fi
  done
done
for side in short:-1 long:1; do
  road "edge_${side%:*}_codebook_300" $T/setup codebook_family.ddb codebook_device.ddb "" $GROUP \
    "$H_GROUP_FLAGS=44" "$H_SETUP=$S_NO_S4" $(delta $D_CODEBOOK ${side#*:})
done
# Group data for one thread less: a buffer a whole page short (beyond 64
# either way a delta counts pages).
road edge_short_group_page "$EDITED/group" group_family.ddb group_device.ddb "" $GROUP "$H_GROUP_FLAGS=40" \
  "$H_SETUP=$((S_EXT | S_HASHED))" $(delta $D_GROUP -65)
# The top-level bitstream's shapes (field sizes relative to the block
# size): fields that fill a 1 KiB block exactly (1000 and 24 bytes), fields
# of 4095 and 1 bytes padded to their size in 4 KiB blocks, an odd block size
# of 4100 bytes with fields of 7 and 4093 bytes; option images at the front and inside the merge range, other
# routing codes, SHA-384, and the bitstream written twice.
quelvo $GROUP $(u16 $H_BLOCK 1024) $(u16 $H_FIELD -24) $(u16 $((H_FIELD + 2)) -1000) >"$WHOLE/edge_merge_exact"
quelvo $GROUP "$H_ROAD=$((R_GROUP | R_SHA384))" "$H_HOST=$((B_WHOLE | B_FRONT | B_MERGE_ALL | B_APPEND))" \
  $(u16 $H_FIELD -1) $(u16 $((H_FIELD + 2)) -4095) "$H_ROUTE=6" >"$WHOLE/edge_merge_whole"
quelvo $GROUP "$H_ROAD=$((R_GROUP | R_NO_HASH))" "$H_GROUP_TYPE=1" $(u16 $H_BLOCK 4100) $(u16 $H_FIELD -4093) \
  $(u16 $((H_FIELD + 2)) -7) "$H_MERGE=5" >"$WHOLE/edge_merge_odd"
# Option fields as a host writes and reads them: the 32-bit OPTION_BITS
# field of the example family from bit 24 to its end, into the image and into
# a host buffer; its one option in full on a copy of the block, after a
# shadow mask of the field's 32 bits; the 64-bit compressed-frame header
# field past its end. Stand-alone blocks of the block factory besides.
quelvo $GROUP "$H_OPTION=$((O_WRITE | O_READ | O_OPTION_WRITE | O_OPTION_READ | O_HOST_IMAGE))" \
  $(u16 $((H_OPTION + 4)) 24) $(u16 $((H_OPTION + 6)) 8) >"$WHOLE/edge_option_field_end"
quelvo $GROUP "$H_OPTION=$((O_MASK | O_WRITE | O_OPTION_WRITE | O_OPTION_READ | O_COPY | O_STANDALONE))" \
  $(u16 $((H_OPTION + 6)) 32) >"$WHOLE/edge_option_whole"
quelvo $GROUP "$H_OPTION=$((O_WRITE | O_READ | O_OPTION_WRITE | O_OPTION_READ))" "$((H_OPTION + 1))=4" \
  "$((H_OPTION + 3))=2" $(u16 $((H_OPTION + 4)) 60) $(u16 $((H_OPTION + 6)) 9) >"$WHOLE/edge_option_past_end"
# Frames as a host reads and patches them: the IOCSR block of the earlier
# family cut to one frame, its last core byte and the byte after it, and a
# stand-alone IOCSR block.
road edge_frames "$EDITED/iocsr" early_family.ddb early_device.ddb "IOCSR:8:31 only" "$H_ROAD=$R_DUMPS" 16=37 \
  "$H_FRAME=1" $(u16 $((H_FRAME + 1)) 1) $(u16 $((H_BYTE + 2)) 15) "$H_OPTION=$O_STANDALONE"

# Firmware files: header byte 0 picks the format, byte 1 the header version
# (see fuzz_firmware_file.cpp); one input per file and version.
# fw_small.hex ends at 4200 and is framed as 5000 bytes; fw_boot.hex is a
# boot image (fw_type 12) of 0x81000 bytes.
fw_seed() {
  local f=$1
  shift
  for v in 0 1 2 3; do
    {
      header 16 1=$v "$@"
      cat $T/fw/$f
    } >"$FW/${f%.*}_v$v"
  done
}
fw_seed fw_small.hex 4=0x88 5=0x13
fw_seed fw_words.rom 0=2
fw_seed fw_boot.hex 2=13 5=0x10 6=0x08
# At the limits: fw_small.hex framed as exactly its 4200 bytes in frames of
# 100 (the image ends with the last frame); the boot image with the least
# firmware size that holds its high region (0x80C04); records of 59 bytes,
# the longest line, with start-address records, ending one byte before a
# 256-byte frame; ROM words of an odd count with a long line.
fw_seed fw_small.hex 4=0x68 5=0x10 8=100
for v in 0 1 2 3; do mv "$FW/fw_small_v$v" "$FW/edge_fw_exact_v$v"; done
fw_seed fw_small.hex 4=0x88 5=0x13
fw_seed fw_boot.hex 2=13 4=0x04 5=0x0C 6=0x08
for v in 0 1 2 3; do mv "$FW/fw_boot_v$v" "$FW/edge_fw_boot_least_v$v"; done
fw_seed fw_boot.hex 2=13 5=0x10 6=0x08
hex59() {
  local a=$1 k
  printf ':3B%04X00' "$a"
  for ((k = 0; k < 59; ++k)); do printf '%02X' $(((a + k * 7) & 255)); done
  printf '00\n'
}
{
  header 16 1=1 4=0xFF 8=0x00 9=0x01
  printf ':020000040000FA\n:0400000300001234B3\n'
  for a in 0 59 118 177; do hex59 $a; done
  printf ':04000005000012349B\n:00000001FF\n'
} >"$FW/edge_fw_long_records"
{
  header 16 0=2 4=8
  printf '123\n0AB\nFFF\n%s\n' "$(printf '7%.0s' {1..1100})"
} >"$FW/edge_fw_rom_odd"
# Regression: four bytes at 1 GiB in a file framed as its own 35 bytes.
{
  header 16
  printf ':020000044400B6\n:0400000011223344EE\n'
} >"$FW/regress_image_past_size"

# A binary section must not hold a section start.
for f in "$WHOLE"/*; do
  starts=$(grep -c '^@@' "$f" || true)
  titles=$(grep -c '^@@[FDXCQSL]' "$f" || true)
  [ "$starts" = "$titles" ] || { echo "make_seeds: $f: design data holds a section start" >&2; exit 1; }
done
echo "make_seeds: $(ls "$WHOLE" | wc -l) whole-road seeds, $(ls "$FW" | wc -l) firmware seeds"
