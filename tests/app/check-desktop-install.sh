#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the desktop
# integration files: present where desktop environments look for them, and
# valid by the freedesktop validators. A missing validator is a failure. The
# command-line uploader and its manual page are installed beside the app.
set -euo pipefail
build=$1
id=org.example.VelkIconUploader
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

for tool in desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool (run ./dev deps)"; exit 1; }
done

cmake --install "$build" --prefix "$prefix" >/dev/null

expected=(
    "bin/velk-icon-uploader"
    "bin/velk-icon-upload"
    "share/man/man1/velk-icon-upload.1.gz"
    "share/applications/$id.desktop"
    "share/metainfo/$id.metainfo.xml"
    "share/icons/hicolor/scalable/apps/$id.svg"
)
for size in 16 22 24 32 48 64 128 256 512; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
done
status=0
for file in "${expected[@]}"; do
    [ -s "$prefix/$file" ] || { echo "not installed: $file"; status=1; }
done
for program in velk-icon-uploader velk-icon-upload; do
    [ -x "$prefix/bin/$program" ] || { echo "not executable: bin/$program"; status=1; }
done

desktop-file-validate "$prefix/share/applications/$id.desktop" || status=1
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || status=1

# The entry names the installed program and icon.
# It takes a folder, so that a file manager offers it for one.
grep -qx "Exec=velk-icon-uploader %f" "$prefix/share/applications/$id.desktop" || { echo "Exec does not name the program and a folder"; status=1; }
grep -qx "MimeType=inode/directory;" "$prefix/share/applications/$id.desktop" || { echo "no MimeType for folders"; status=1; }
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop" || { echo "Icon does not name the icon"; status=1; }

[ $status -eq 0 ] && echo "desktop integration files: ok"
exit $status
