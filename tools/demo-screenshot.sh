#!/usr/bin/env bash
# Runs ./dev demo in a virtual X server, chooses the sample folder and
# presses the upload button from the keyboard as a person would, then saves
# a picture of the window in the middle of the run to docs/progress.png and
# one with the run's summary to docs/demo.png.
# Needs xvfb, xdotool and imagemagick (installed when missing).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ]; then
    for p in xvfb xauth xdotool imagemagick; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=" $p"
    done
    if [ -n "${missing:-}" ]; then
        sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get install -y -qq $missing
    fi
    exec xvfb-run -a -s "-screen 0 900x700x24" "$0" "$@"
fi

# Enough icons that the run lasts a few seconds.
export VELK_DEMO_ICONS=${VELK_DEMO_ICONS:-40}
log=$(mktemp)
./dev demo > "$log" 2>&1 &
for _ in $(seq 600); do grep -q "^Choose folder" "$log" && break; sleep 0.5; done
sleep 3
folder=$(sed -n 's/^Choose folder: //p' "$log")

window=$(xdotool search --sync --name "^Velk Icon Uploader$" | head -1)
app=$(xdotool getwindowpid "$window")
xdotool windowfocus --sync "$window"
xdotool key Tab Tab Tab space # to "Choose Icons Folder" and press it
dialog=$(xdotool search --sync --name "Choose a folder" | head -1)
xdotool windowfocus --sync "$dialog"
xdotool type --delay 10 "$folder"
xdotool key Return
sleep 1
if xdotool search --name "Choose a folder" > /dev/null; then xdotool key Return; fi
sleep 1
xdotool windowfocus --sync "$window"

snap() {
    local geometry
    geometry=$(xdotool getwindowgeometry --shell "$window")
    eval "$geometry"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip "$1"
    echo "saved $1 (${WIDTH}x${HEIGHT})"
}

xdotool key Tab space # to the upload button and press it
# The stub server logs each request; a third of the icons in, the run is well under way.
for _ in $(seq 200); do
    [ "$(grep -c '^POST /api/v1/icon ' "$log")" -ge $((VELK_DEMO_ICONS / 3)) ] && break
    sleep 0.05
done
snap docs/progress.png
for _ in $(seq 120); do
    [ -f "$(sed -n 's/^Report: *//p' "$log")" ] && break
    sleep 0.5
done
sleep 1
snap docs/demo.png
kill "$app" 2>/dev/null || true
wait || true
