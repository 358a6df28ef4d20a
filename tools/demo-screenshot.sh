#!/usr/bin/env bash
# Runs ./dev demo in a virtual X server and drives the window from the
# keyboard as a person would, saving pictures of the window: ready with the
# sample folder chosen (docs/screenshot.png), in the middle of the run with
# its Stop button (docs/progress.png), with the run's summary
# (docs/demo.png), and with the error of a run against a server address
# where nothing listens (docs/error.png).
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
export VELK_DEMO_ICONS=${VELK_DEMO_ICONS:-200}
log=$(mktemp)
./dev demo > "$log" 2>&1 &
for _ in $(seq 600); do grep -q "^Report:" "$log" && break; sleep 0.5; done

window=$(xdotool search --sync --name "^Velk Icon Uploader$" | head -1)
app=$(xdotool getwindowpid "$window")
xdotool windowfocus --sync "$window"
sleep 1

snap() {
    local geometry
    geometry=$(xdotool getwindowgeometry --shell "$window")
    eval "$geometry"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip "$1"
    echo "saved $1 (${WIDTH}x${HEIGHT})"
}

snap docs/screenshot.png
xdotool key alt+u # Upload Icons
# The stub server logs each request; a third of the icons in, the run is well under way.
for _ in $(seq 400); do
    [ "$(grep -c '^POST /api/v1/icon ' "$log")" -ge $((VELK_DEMO_ICONS / 3)) ] && break
    sleep 0.02
done
snap docs/progress.png
report=$(sed -n 's/^Report: *//p' "$log")
for _ in $(seq 120); do [ -f "$report" ] && break; sleep 0.5; done
sleep 1
snap docs/demo.png

# The server address field has the focus from the start: a port where no server listens.
xdotool key ctrl+a
xdotool type --delay 10 "http://127.0.0.1:9"
xdotool key alt+u
sleep 2
snap docs/error.png
kill "$app" 2>/dev/null || true
wait || true
