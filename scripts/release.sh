#!/usr/bin/env bash
# Builds the release into dist/: the source archive, the Debian packages for amd64, arm64 and
# armhf, the Windows x64 zip, the portable Linux archives for x86-64 and aarch64 (static PIE
# executables), the Arduino library's zip and their SHA256SUMS. Every timestamp comes from SOURCE_DATE_EPOCH
# (default: the last commit's time), so that the same commit gives the same bytes in any
# folder. Installs the Debian packages it needs when run as root, as the test script does.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ git gzip tar file binutils dpkg-dev groff-base python3
          g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu g++-arm-linux-gnueabihf)
bash scripts/need-packages.sh "${packages[@]}"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
version=$(sed -n 's/^project(hexstamp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=hexstamp-$version
jobs=$(nproc)
rm -rf dist build-release
mkdir -p dist

echo "== $name.tar.gz"
git ls-files -z | tar --null -T - --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 \
  --group=0 --numeric-owner --mode=go-w --format=gnu --transform "s,^,$name/," -cf - |
  gzip -9n >"dist/$name.tar.gz"

build() { # folder, then cmake's own arguments
  cmake -S . -B "build-release/$1" -DCMAKE_BUILD_TYPE=Release "${@:2}" >/dev/null
  cmake --build "build-release/$1" -j "$jobs" >/dev/null
}

# Reproducible tar.gz of a folder's files under a top folder of the same name.
pack() { # folder, archive
  tar -C "$(dirname "$1")" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --mode=go-w --format=gnu -cf - "$(basename "$1")" | gzip -9n >"$2"
}

declare -A toolchains=([amd64]="" [arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf
                       [x86_64]="" [aarch64]=aarch64-linux-gnu)
toolchain() { # architecture
  [[ -z ${toolchains[$1]} ]] || echo "--toolchain=cmake/toolchains/${toolchains[$1]}.cmake"
}

for arch in amd64 arm64 armhf; do
  echo "== Debian package for $arch"
  build "$arch" $(toolchain "$arch")
  (cd "build-release/$arch" && cpack -G DEB -B package >/dev/null)
  mv "build-release/$arch"/package/*.deb dist/
done

for arch in x86_64 aarch64; do
  echo "== $name-linux-$arch.tar.gz"
  build "static-$arch" $(toolchain "$arch") -DHEXSTAMP_STATIC=ON
  root=build-release/static-$arch/$name-linux-$arch
  cmake --install "build-release/static-$arch" --strip \
    --prefix "build-release/static-$arch/usr" >/dev/null
  mkdir -p "$root"
  cp "build-release/static-$arch"/usr/bin/* "build-release/static-$arch"/hexstamp{,-image}.1 \
    LICENSE README.md "$root/"
  pack "$root" "dist/$name-linux-$arch.tar.gz"
done

echo "== $name-win64.zip"
# Stripped by the linker, as the Linux programs are: a fifth of the size. strip(1) would write
# the time of its run into the header.
build win64 --toolchain cmake/toolchains/x86_64-w64-mingw32.cmake -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s
zip_root=build-release/win64/zip
mkdir -p "$zip_root"
cp build-release/win64/hexstamp{,-reproducible,-image}.exe LICENSE README.md "$zip_root/"
# The manuals as plain text, readable in any Windows editor.
for page in hexstamp hexstamp-image; do
  groff -t -man -Tascii -P-cbou "build-release/win64/$page.1" >"$zip_root/$page.txt"
done
# A zip whose bytes depend on nothing but the files and SOURCE_DATE_EPOCH.
zip_folder() { # archive, the folder inside it, the folder to pack
  /usr/bin/python3 - "$@" <<'PYTHON'
import os, sys, time, zipfile
archive, top, folder = sys.argv[1:]
when = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
with zipfile.ZipFile(archive, "w") as zipped:
    for root, folders, names in sorted(os.walk(folder)):
        folders.sort()
        for name in sorted(names):
            path = os.path.join(root, name)
            entry = zipfile.ZipInfo(os.path.join(top, os.path.relpath(path, folder)),
                                    date_time=when)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if name.endswith(".exe") else 0o644) << 16
            with open(path, "rb") as data:
                zipped.writestr(entry, data.read(), compresslevel=9)
PYTHON
}
zip_folder "dist/$name-win64.zip" "$name-win64" "$zip_root"

echo "== hexstamp-arduino-$version.zip"
bash scripts/arduino-library.sh build-release/arduino
zip_folder "dist/hexstamp-arduino-$version.zip" hexstamp build-release/arduino/hexstamp

(cd dist && sha256sum -- *.tar.gz *.deb *.zip >SHA256SUMS)
echo "== dist/"
cat dist/SHA256SUMS
