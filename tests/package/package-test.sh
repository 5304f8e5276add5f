#!/usr/bin/env bash
# Makes the Debian package from an existing build folder, unpacks it into a scratch root with
# dpkg -x and runs the unpacked kivopro-remove on a photo as a user with an empty home: no
# model, no ONNX Runtime and no settings of the building user's are within its reach.
#
#   package-test.sh CPACK BUILD_DIR PHOTO
set -euo pipefail
cpack=$1 build=$2 photo=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# CPack installs the build folder's programs as they are; it builds nothing that is up to date.
(cd "$build" && "$cpack" -G DEB -B "$scratch/out" >"$scratch/cpack.log") || { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(ls "$scratch"/out/kivopro_*_amd64.deb)
echo "package: $(basename "$deb") ($(du -m "$deb" | cut -f1) MB)"

# The dependencies are computed, not a fixed list: the Qt and OpenCV libraries the programs
# link are there, and the private ONNX Runtime is not asked of the system.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libc6 libqt6core6 libqt6widgets6 libqt6sql6 libopencv-imgproc406 libheif1 qt6-image-formats-plugins; do
  grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package"
done
grep -q onnxruntime <<<"$depends" && fail "Depends names onnxruntime"

root="$scratch/root"
dpkg -x "$deb" "$root"
for file in usr/bin/kivopro usr/bin/kivopro-remove usr/bin/kivopro-service \
            usr/lib/kivopro/libonnxruntime.so.1 \
            usr/share/kivopro/models/isnet-general-use-fp32-anysize.onnx \
            usr/share/applications/kivopro.desktop usr/share/icons/hicolor/scalable/apps/kivopro.svg \
            usr/share/man/man1/kivopro.1.gz usr/share/man/man1/kivopro-remove.1.gz usr/share/man/man1/kivopro-service.1.gz \
            usr/lib/systemd/system/kivopro-service.service usr/share/doc/kivopro/copyright; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
# Each program looks for ONNX Runtime beside itself only, and finds the package's copy.
for program in kivopro kivopro-remove kivopro-service; do
  runpath=$(readelf -d "$root/usr/bin/$program" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  [ "$runpath" = '$ORIGIN/../lib/kivopro' ] || fail "$program has the library path '$runpath'"
  loaded=$(ldd "$root/usr/bin/$program" | sed -n 's/^\s*libonnxruntime\.so\.1 => \(\S*\) .*/\1/p')
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$root/usr/lib/kivopro/libonnxruntime.so.1")" ] \
    || fail "$program loads ONNX Runtime from '$loaded', not from the package"
done

# An ordinary user's session: a fresh home, the generic data folders of the scratch root only.
home="$scratch/home"
mkdir -p "$home" "$scratch/results"
cp "$photo" "$scratch/photo.jpg"
env -i HOME="$home" PATH=/usr/bin:/bin XDG_DATA_DIRS="$root/usr/share" \
  "$root/usr/bin/kivopro-remove" -o "$scratch/results" "$scratch/photo.jpg" || fail "kivopro-remove failed"
result="$scratch/results/photo_no_bg.png"
[ -f "$result" ] || fail "no cut-out was written"
[ -z "$(ls -A "$home")" ] || { ls -AR "$home"; fail "kivopro-remove wrote into the home folder"; }

# A cut-out: the same size as the photo, partly transparent (the background) and partly opaque.
read -r width height <<<"$(identify -format '%w %h' "$photo")"
read -r cutWidth cutHeight transparent opaque <<<"$(convert "$result" -alpha extract \
  -format '%w %h %[fx:mean<0.97] %[fx:mean>0.03]' info:)"
[ "$cutWidth x $cutHeight" = "$width x $height" ] || fail "the cut-out is $cutWidth x $cutHeight, the photo $width x $height"
[ "$transparent" = 1 ] && [ "$opaque" = 1 ] || fail "the cut-out's alpha is not a subject on a removed background"
# The photo's top right corner is the studio wall, its centre the subject's suit.
read -r cornerAlpha centreAlpha <<<"$(convert "$result" -alpha extract \
  -format "%[fx:p{$((width - 3)),2}] %[fx:p{$((width / 2)),$((height / 2))}]" info:)"
echo "cut-out $cutWidth x $cutHeight: alpha $cornerAlpha at the top right corner, $centreAlpha at the centre"
awk -v corner="$cornerAlpha" -v centre="$centreAlpha" 'BEGIN { exit !(corner < 0.1 && centre > 0.9) }' \
  || fail "the wall is not removed or the subject not kept"
echo "PASS"
