#!/usr/bin/env bash
# Builds the example host (Release, tests off) and runs it on the two example
# device databases: the flat BORQUENT example and the sector-based QUELVO
# example. Outputs go to out/example/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_EXAMPLES=ON >/dev/null
cmake --build build/example --target varno_example_host

host=build/example/examples/varno_example_host
ddb=examples/ddb
data=examples/data
out=out/example

echo
echo "== borquent: flat family, option blocks and one data block"
"$host" "$ddb/borquent/borquent_family.ddb" "$ddb/borquent/borquent_device.ddb" "$out/borquent" \
  --data "ESRAM_BBUS:BBUS:$data/borquent/esram_bbus.bin"

echo
echo "== quelvo: 2 x 2 sector grid, two sector types; CRAM, ERAM and bus data per sector;"
echo "   a CRAM block group over the four sectors and the top-level bitstream"
# Sector (x, y) has type cl at (0, 0) and (1, 1), f1 at (1, 0) and (0, 1).
sector_data=()
for cell in 0:0:cl 1:0:f1 0:1:f1 1:1:cl; do
  xy=${cell%:*}
  type=${cell##*:}
  sector_data+=(--sector-data "SECTOR_ARRAY:$xy:CRAM:CRAM:$data/quelvo/cram_$type.bin"
                --sector-data "SECTOR_ARRAY:$xy:ERAM:ERAM:$data/quelvo/eram_$type.bin"
                --sector-data "SECTOR_ARRAY:$xy:ESRAM_BBUS:BBUS:$data/quelvo/esram_bbus_$type.bin")
done
"$host" "$ddb/quelvo/quelvo_family.ddb" "$ddb/quelvo/quelvo_device.ddb" "$out/quelvo" \
  --config examples/example.cfg "${sector_data[@]}" --group CRAM

echo
echo "Outputs (text dumps, expected-data directories):"
echo "  $(pwd)/$out/borquent"
echo "  $(pwd)/$out/quelvo"
echo "Block group and top-level bitstream of the QUELVO run:"
echo "  $(pwd)/$out/quelvo/group_descriptor.bin"
echo "  $(pwd)/$out/quelvo/group_data.bin"
echo "  $(pwd)/$out/quelvo/bitstream.bin (raw binary)"
