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
echo "== quelvo: 2 x 2 sector grid, two sector types"
"$host" "$ddb/quelvo/quelvo_family.ddb" "$ddb/quelvo/quelvo_device.ddb" "$out/quelvo" \
  --config examples/example.cfg \
  --sector-data "SECTOR_ARRAY:0:0:ESRAM_BBUS:BBUS:$data/quelvo/esram_bbus_cl.bin" \
  --sector-data "SECTOR_ARRAY:1:0:ESRAM_BBUS:BBUS:$data/quelvo/esram_bbus_f1.bin" \
  --sector-data "SECTOR_ARRAY:0:1:ESRAM_BBUS:BBUS:$data/quelvo/esram_bbus_f1.bin" \
  --sector-data "SECTOR_ARRAY:1:1:ESRAM_BBUS:BBUS:$data/quelvo/esram_bbus_cl.bin"

echo
echo "Outputs (text dumps, expected-data directories):"
echo "  $(pwd)/$out/borquent"
echo "  $(pwd)/$out/quelvo"
