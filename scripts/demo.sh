#!/usr/bin/env bash
# The main job: builds the project and drives the simulated camera end to end
# with the command-line tool. Output files go to ./out (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vuzezod_dal_Pyxon Pyxon pyxon

tool=build/release/bin/pyxon
mkdir -p "$out"
echo "== Devices offered by the module"
"$tool" devices
echo
echo "== Snap one image from the colour camera"
"$tool" snap --camera PX-678C --set Exposure=8 -o "$out/snap.tif" --preview "$out/snap.png"
echo
echo "== Record 50 frames from the cooled camera"
"$tool" record --camera PX-2600M-COOL --set "Binning=2" -n 50 -o "$out/stack.ome.tif" \
  --metadata "$out/stack.json"
echo
echo "Files written:"
ls -l "$out"/snap.tif "$out"/snap.png "$out"/stack.ome.tif "$out"/stack.json
