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
file() {
  printf '@@F %s\n' "$1"
  sed -e 's/[[:space:]]*#.*//' -e '/^[[:space:]]*$/d' "$2"
}

# firmware NAME PATH: a firmware file section.
firmware() {
  printf '@@X %s\n' "$1"
  cat "$2"
}

# data TITLE MASK LENGTH [PATH]: design data (a 16-byte pattern without
# PATH, zeros with an empty file); LENGTH counts bits, or bytes when MASK has
# bit 15 (32768) set.
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
# generators that load DEVICE as NAME: exactly their image sizes.
qv_images() {
  local dev=$1 name=$2
  local rows cols
  rows=$(param "$dev" CRAM CRAM_FRAME_COUNT)
  cols=$(param "$dev" CRAM CRAM_BIT_COUNT)
  [ "$rows" -gt 0 ] && [ "$cols" -gt 0 ] && data "CRAM $name" 1 $((rows * cols))
  rows=$(param "$dev" ERAM ERAM_ROW_COUNT)
  cols=$(param "$dev" ERAM ERAM_COL_COUNT)
  [ "$rows" -gt 0 ] && [ "$cols" -gt 0 ] && data "ERAM $name" 2 $((rows * cols))
  return 0
}

# Header bytes of fuzz_whole_road (see its H_ and R_ constants).
H_ROAD=0 H_2D=1 H_GROUP_FLAGS=2 H_FLAGS_A=3 H_GROUP_TYPE=22 H_PR_COUNT=24 H_PR=25 H_MERGE=42
R_GROUP=1 R_DUMPS=2 R_SECTOR_PARAMS=4
WHOLE_HEADER=79
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
road bbus $T/bbus quelvo_family.ddb qv_device.ddb "BBUS:16:152 BBUS:16:40 BBUS:16:48 BBUS:16:48 BBUS:16:48 BBUS:16:48 MORLU_CSR:8:120 AIB_CSR:8:120 IO_CSR:8:120 UIB_CSR:8:48" $GROUP "$H_GROUP_TYPE=7"
# Its CRAM block has no geometry (the tests give it a stand-in manager):
# skipped.
road early $T/early early_family.ddb early_device.ddb "ERAM:2:120 IOCSR:8:96" "$H_ROAD=$R_DUMPS" 16=37
road fw_sectors $T/fw quelvo_family.ddb qv_device.ddb "" $GROUP "$H_GROUP_TYPE=3"
# The SSM parameter blocks read the sectors' CRAM, ERAM, BBUS and REGSCAN
# parameters only: there those blocks make no frames. One seed per firmware
# type with records: LSM, IOSSM, UIBSSM (fw_type 0, 2, 5: header byte 7 is
# added to the default 13, mod 14).
ssm() {
  header $WHOLE_HEADER "$H_ROAD=$R_DUMPS" "$@"
  file family $T/fw/quelvo_family.ddb
  file device $T/fw/qv_device.ddb
  sed -E 's/frame=QV_(CRAM|ERAM|BBUS|REGSCAN)/frame=TK_ESRAM_BBUS/' $T/fw/quelvo_sector_family_vold.ddb >"$WHOLE/.family"
  file quelvo_sector_family_vold "$WHOLE/.family"
  rm "$WHOLE/.family"
  for f in quelvo_io_family_vold quelvo_uib_family_vold qv_io_1 qv_sector_cl qv_sector_f1 qv_uib_1; do
    file $f $T/fw/$f.ddb
  done
}
ssm 7=1 >"$WHOLE/ssm_lsm"
ssm 7=3 >"$WHOLE/ssm_iossm"
ssm 7=6 >"$WHOLE/ssm_uibssm"
road group $T/group group_family.ddb group_device.ddb "" $GROUP
road group_tk $T/group group_family.ddb group_device_tk.ddb "" $GROUP "$H_GROUP_FLAGS=12"
road hg $T/hg hg_family.ddb hg_device.ddb "CRAM+device:1:64:z" "$H_ROAD=$R_DUMPS"
road legacy $T/hg legacy_family.ddb legacy_device.ddb "" "$H_ROAD=$R_DUMPS"
# The register windows of every sector type whose window base fits the
# design data.
MMIO_DATA="HIP_MMIO+qv_sector_cl:256:9216 EHIP_MMIO+qv_sector_cl:256:9216 MMIO2+qv_sector_cl:256:9216 CRYPTO_MMIO+qv_sector_cl:256:9216 HNOC_MMIO+qv_sector_cl:1024:2048 HNOC_AXI4LITE+qv_sector_cl:1024:2048 CRYPTO_MMIO+qv_sector_f1:256:2048 MMIO2+qv_sector_f1:256:2048 EHIP_MMIO+qv_sector_f1:256:57664 HNOC_MMIO+qv_sector_fc:1024:2048 CRYPTO_MMIO+qv_sector_f6:256:1024 CRYPTO_MMIO+qv_sector_jl:256:1024 only"
road mmio $T/mmio mmio_family.ddb mmio_device.ddb "$MMIO_DATA" \
  "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
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
road qv $T/qv quelvo_family.ddb qv_device.ddb "" $GROUP
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
EDITED=$(mktemp -d)
trap 'rm -rf "$EDITED"' EXIT
for d in regwin twod group; do
  mkdir "$EDITED/$d"
  cp $T/$d/*.ddb "$EDITED/$d"
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
mkdir "$EDITED/norow"
cp $T/group/*.ddb "$EDITED/norow"
sed -i 's/^arg SECTOR_ARRAY BROW_SIZE width=1 3$/arg SECTOR_ARRAY BROW_SIZE width=1/' "$EDITED/norow/group_device.ddb"
road regress_brow_without_rows "$EDITED/norow" group_family.ddb group_device.ddb "" $GROUP
road codebook $T/setup codebook_family.ddb codebook_device.ddb "" $GROUP "$H_GROUP_FLAGS=44"
road setup_tk $T/setup tk_family.ddb tk_device.ddb "" $GROUP
road twod $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$((R_DUMPS | R_SECTOR_PARAMS))"
# Built twice, the 2D data cleared at the end.
road twod_twice $T/twod quelvo_family.ddb qv_device.ddb "" "$H_2D=11" "$H_FLAGS_A=7" "$H_ROAD=$R_SECTOR_PARAMS" \
  "$H_MERGE=48"
road vold $T/vold example_family.ddb example_device.ddb "" "$H_ROAD=$R_DUMPS"
{
  header $WHOLE_HEADER "$H_ROAD=$R_DUMPS" 36=0x88 37=0x13
  file family $T/fw/fw_family.ddb
  file device $T/fw/fw_device.ddb
  firmware fw_small.hex $T/fw/fw_small.hex
} >"$WHOLE/fw_blocks"

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
# Regression: four bytes at 1 GiB in a file framed as its own 35 bytes.
{
  header 16
  printf ':020000044400B6\n:0400000011223344EE\n'
} >"$FW/regress_image_past_size"

# A binary section must not hold a section start.
for f in "$WHOLE"/*; do
  starts=$(grep -c '^@@' "$f" || true)
  titles=$(grep -c '^@@[FDXCQS]' "$f" || true)
  [ "$starts" = "$titles" ] || { echo "make_seeds: $f: design data holds a section start" >&2; exit 1; }
done
echo "make_seeds: $(ls "$WHOLE" | wc -l) whole-road seeds, $(ls "$FW" | wc -l) firmware seeds"
