#!/usr/bin/env bash
# A whole kxrun run against the machine: the threshold of a 4096 x 4096 8-bit image, file to file,
# by kxrun (TIFF and .npy), by vips (TIFF, and its own raw .v format, as vips reads no .npy) and a
# plain copy of the TIFF, all timed in one hyperfine run on the same files.
#   bench/whole_run.sh [BUILD_DIR]      (default: build)
# Environment: RUNS (default 30); BASELINE=path/to/another/kxrun adds its rows, to compare builds.
# Needs hyperfine, libvips-tools and python3-numpy (scripts/setup installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
kxrun=$build/app/kxrun
runs=${RUNS:-30}
for tool in hyperfine vips; do
  command -v $tool >/dev/null || {
    echo "whole_run: $tool is missing (scripts/setup installs it)" >&2
    exit 2
  }
done
[[ -x $kxrun ]] || {
  echo "whole_run: no $kxrun; build it first (ninja -C $build kxrun)" >&2
  exit 2
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The same random bytes in every file; the TIFF is written by vips (128-row strips), so that
# neither tool reads a layout of its own making.
/usr/bin/python3 -c "import numpy as np; np.save('big.npy', np.random.default_rng(1).integers(0, 256, (4096, 4096), dtype=np.uint8))"
vips rawload big.npy big.v 4096 4096 1 --offset 128
vips copy big.v big.tif

echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
commands=(
  -n "kxrun tif" "$kxrun run _BinImage --in 0=big.tif --out 0=mask.tif"
  -n "kxrun npy" "$kxrun run _BinImage --in 0=big.npy --out 0=mask.npy"
)
if [[ -n ${BASELINE:-} ]]; then
  commands+=(
    -n "baseline tif" "$BASELINE run _BinImage --in 0=big.tif --out 0=mask.tif"
    -n "baseline npy" "$BASELINE run _BinImage --in 0=big.npy --out 0=mask.npy"
  )
fi
commands+=(
  -n "vips tif" "vips relational_const big.tif vmask.tif moreeq 128"
  -n "vips v" "vips relational_const big.v vmask.v moreeq 128"
  -n "copy tif" "cp big.tif copy.tif"
)
hyperfine -N --style none --warmup 3 --runs "$runs" --export-json times.json "${commands[@]}" >/dev/null

# The machine is shared: the minimum is the figure that load disturbs least; CPU is user + system.
/usr/bin/python3 - times.json <<'EOF'
import json, sys
rows = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ms = lambda s: 1000 * s
print(f"{'':14}{'min ms':>8}{'median':>8}{'cpu ms':>8}{'min / vips':>12}")
for name, r in rows.items():
    vips = rows["vips tif" if "tif" in name else "vips v"]
    ratio = f"{r['min'] / vips['min']:.2f}" if not name.startswith(("vips", "copy")) else ""
    print(f"{name:14}{ms(r['min']):8.1f}{ms(r['median']):8.1f}{ms(r['user'] + r['system']):8.1f}{ratio:>12}")
EOF
