#!/bin/sh
# Fails when a library includes a header of one above it. The libraries,
# highest first: app, run, api, imaging, core.
cd "$1" || exit 2
status=0
forbid() { # folder, then the folders it must not include from
    folder=$1
    shift
    for above in "$@"; do
        grep -rn "#include \"$above/" "$folder" && status=1
    done
}
forbid core app run api imaging
forbid imaging app run api
forbid api app run
forbid run app
exit $status
