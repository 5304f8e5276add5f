#!/usr/bin/env bash
# The benchmarks: builds what one needs, prepares the model and the 12 MP photo, then prints the
# figures. Extra arguments go to the benchmark (e.g. --runs 7).
#
#   bash bench/run.sh [engine|quality|edges|monitor|editor|batch|openraster|settings|remote] [ARGS...]   build folder: $KIVO_BUILD_DIR or build/
#
# engine (the default): the network, the 12 MP pipeline step by step, against the reference
# runtime (onnxruntime-node, installed into the cache folder).
# editor: the image editor's core (history, flattening, filters, export, 100 strokes with undo
# and redo through them) and its canvas (a stroke from release to screen, repaints per move).
# quality: Fast's input size, the processing modes, their peak memory; the masks' agreement is
# measured on the 12 MP photo and the test photos, or on --photos A,B,... (photos with one
# clear subject) instead of the test photos.
# edges: the edge colours on composites with a known answer, plain and refined, and the edge
# steps' time; the network's masks are kept in $KIVO_EDGES_CACHE (default: the cache folder),
# --crops DIR writes zoomed crops of the hair and fur edges.
# monitor: the folder monitor with the local engine.
# openraster: saving and reopening a 12 MP session of four layers as an OpenRaster file, then
# the window's thread while that session is edited with auto-save on (--part files|autosave,
# --autosave-seconds N).
# batch: hundreds of generated photos through the real window, --photos N --process N
# (offscreen unless QT_QPA_PLATFORM says otherwise).
# settings: card thumbnails' memory (--part thumbnails stops there) and editor history memory per
# Memory Usage (--part history stops there), the inference
# at normal and background priority beside busy programs, and the
# memory kept after a run with and without the network given back.
# remote: a remote batch through the real window against kivopro-service on 127.0.0.1,
# --photos N --large N --queue N --in-flight N --port N --stop-seconds N --quality Q.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"
work="${KIVO_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kivopro/bench}"
which=engine
case "${1:-}" in engine|quality|edges|monitor|editor|batch|openraster|settings|remote) which=$1; shift ;; esac

bash "$root/tools/model/fetch-onnxruntime.sh" >/dev/null
bash "$root/tools/model/prepare-model.sh"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi

# A bigger source photo scales up better; the test photo is the fallback.
source=/usr/lib/python3/dist-packages/skimage/data/coffee.png
[ -f "$source" ] || source="$root/tests/data/coffee.jpg"

if [ "$which" = editor ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_editor_bench kivo_editor_canvas_bench >/dev/null
  "$build/bench/kivo_editor_bench" --source "$source" --work "$work" "$@" | grep -v '^\[Export\]\|^Image exported'
  exec "$build/bench/kivo_editor_canvas_bench" --source "$source" --work "$work" "$@"
fi

if [ "$which" = openraster ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_openraster_bench >/dev/null
  # The editor's composition logs a few lines per auto-save; they are not figures.
  "$build/bench/kivo_openraster_bench" --source "$source" --work "$work" "$@" | grep -v '^\[Export\]'
  exit "${PIPESTATUS[0]}"
fi

if [ "$which" = quality ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_quality_modes_bench kivopro-remove >/dev/null
  exec "$build/bench/kivo_quality_modes_bench" --source "$source" --work "$work" \
    --remove-tool "$build/tools/kivopro-remove" \
    --photos "$root/tests/data/astronaut.jpg,$root/tests/data/coffee.jpg" "$@"
fi
if [ "$which" = edges ]; then
  # The sample photos of scikit-image (public domain and CC0; see bench/README.md): from the
  # installed package, or unpacked from Debian's package into the cache folder.
  photos=/usr/lib/python3/dist-packages/skimage/data
  if [ ! -f "$photos/chelsea.png" ]; then
    photos="$work/skimage/usr/lib/python3/dist-packages/skimage/data"
    if [ ! -f "$photos/chelsea.png" ]; then
      mkdir -p "$work/skimage"
      (cd "$work/skimage" && apt-get download python3-skimage >/dev/null 2>&1 && dpkg-deb -x python3-skimage_*.deb . && rm -f python3-skimage_*.deb)
    fi
  fi
  cmake --build "$build" -j"$(nproc)" --target kivo_edge_colours_bench >/dev/null
  exec "$build/bench/kivo_edge_colours_bench" --source "$source" --work "$work" --photos "$photos" \
    --cache "${KIVO_EDGES_CACHE:-$work/edge-masks}" "$@"
fi
if [ "$which" = monitor ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_folder_monitor_bench >/dev/null
  exec "$build/bench/kivo_folder_monitor_bench" --source "$source" --work "$work" "$@"
fi

if [ "$which" = settings ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_settings_effects_bench >/dev/null
  exec "$build/bench/kivo_settings_effects_bench" --source "$source" --work "$work" "$@"
fi
if [ "$which" = remote ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_remote_batch_bench kivopro-service >/dev/null
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
  exec "$build/bench/kivo_remote_batch_bench" --source "$source" --work "$work" "$@"
fi

if [ "$which" = batch ]; then
  cmake --build "$build" -j"$(nproc)" --target kivo_batch_bench kivopro-remove >/dev/null
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
  exec "$build/bench/kivo_batch_bench" --source "$source" --work "$work" \
    --remove-tool "$build/tools/kivopro-remove" "$@"
fi

cmake --build "$build" -j"$(nproc)" --target kivo_local_engine_bench kivopro-remove >/dev/null

# The reference runtime is installed into the cache folder, beside a copy of its script, so
# nothing of it lands in the working tree.
reference="$work/reference"
mkdir -p "$reference"
cp "$root/bench/reference/infer.cjs" "$root/bench/reference/package.json" "$reference/"
if [ ! -d "$reference/node_modules/onnxruntime-node" ]; then
  echo "bench: installing onnxruntime-node into $reference/node_modules"
  # Its install script would fetch GPU libraries from outside the registry; the CPU build ships in the package.
  (cd "$reference" && npm install --ignore-scripts --no-audit --no-fund --no-package-lock --silent)
fi

exec "$build/bench/kivo_local_engine_bench" --source "$source" --work "$work" \
  --remove-tool "$build/tools/kivopro-remove" --reference "$reference/infer.cjs" "$@"
