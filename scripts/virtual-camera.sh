#!/usr/bin/env bash
# A camera without hardware: a private PipeWire (with its session bus and
# session manager) publishes a GStreamer test pattern as a video source, which
# Qt Multimedia lists as an ordinary camera "Orvalla-test-camera" (640x480,
# 15 fps, colour bars). Needs no root and no kernel module; the packages are in
# ORVALLA_CAMERA_PACKAGES of deps.sh.
#
#   virtual-camera.sh start DIR [PID]  start everything in the folder DIR; with PID,
#                                      everything stops by itself once PID has ended
#   virtual-camera.sh publish DIR      (re)start the publisher alone: after a
#                                      consumer crashes it serves no more frames
#   virtual-camera.sh stop DIR         stop everything started in DIR
#   virtual-camera.sh env DIR          print the variables a camera user needs
#
# A program sees the camera with XDG_RUNTIME_DIR=DIR/xdg and
# DBUS_SESSION_BUS_ADDRESS=unix:path=DIR/xdg/bus (what "env" prints).
set -euo pipefail

camera_name=Orvalla-test-camera
# The order they start in; they stop in the reverse order.
processes=(dbus pipewire wireplumber publisher)

usage() {
    echo "usage: $0 start DIR [PID] | publish DIR | stop DIR | env DIR" >&2
    exit 2
}

[ $# -ge 2 ] || usage
command=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
export XDG_RUNTIME_DIR="$dir/xdg"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/xdg/bus"

pid_of() {
    local file="$dir/$1.pid"
    [ -f "$file" ] && cat "$file"
}

alive() {
    local pid
    pid=$(pid_of "$1") && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

# Waits up to 10 s for the check to pass while the named process lives.
wait_for() {
    local name=$1
    shift
    local i
    for i in $(seq 100); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        if ! alive "$name"; then
            echo "virtual camera: $name ended; see $dir/$name.log" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "virtual camera: $name did not come up in 10 s; see $dir/$name.log" >&2
    return 1
}

launch() {
    local name=$1
    shift
    # A session of its own: a Ctrl-C meant for the caller does not reach it.
    setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
    echo $! >"$dir/$name.pid"
}

stop_one() {
    local name=$1 pid i
    pid=$(pid_of "$name") || return 0
    rm -f "$dir/$name.pid"
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

client_listed() { pw-cli ls Client | grep -qi wireplumber; }
node_listed() { pw-cli ls Node | grep -q "$camera_name"; }

publish() {
    stop_one publisher
    launch publisher gst-launch-1.0 -q videotestsrc is-live=true pattern=smpte \
        ! video/x-raw,format=BGRx,width=640,height=480,framerate=15/1 \
        ! pipewiresink mode=provide \
        "stream-properties=props,media.class=Video/Source,node.description=$camera_name"
    wait_for publisher node_listed
}

stop_all() {
    local i
    for ((i = ${#processes[@]} - 1; i >= 0; i--)); do
        stop_one "${processes[i]}"
    done
}

case "$command" in
start)
    owner=${3:-}
    stop_all
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    # Stop what came up if a later step fails.
    trap 'stop_all' ERR
    launch dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
    wait_for dbus test -S "$XDG_RUNTIME_DIR/bus"
    launch pipewire pipewire
    wait_for pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
    # Without the session manager the camera is listed but never delivers a frame.
    launch wireplumber wireplumber
    wait_for wireplumber client_listed
    publish
    trap - ERR
    if [ -n "$owner" ]; then
        # A watcher that outlives a crashed owner and then stops everything.
        setsid bash "$0" watch "$dir" "$owner" </dev/null >/dev/null 2>&1 &
    fi
    ;;
watch)
    owner=${3:?}
    echo "$BASHPID" >"$dir/watcher.pid"
    # Kept here too: the owner's clean-up may remove the folder with its pid files.
    started=()
    for ((i = ${#processes[@]} - 1; i >= 0; i--)); do
        started+=("$(pid_of "${processes[i]}" || true)")
    done
    while kill -0 "$owner" 2>/dev/null && [ -f "$dir/watcher.pid" ]; do
        sleep 0.5
    done
    # Stopped by "stop": nothing left to do.
    [ -f "$dir/watcher.pid" ] || [ ! -d "$dir" ] || exit 0
    rm -f "$dir/watcher.pid"
    stop_all
    for pid in "${started[@]}"; do
        if [ -n "$pid" ]; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done
    ;;
publish)
    alive pipewire || { echo "virtual camera: not started in $dir" >&2; exit 1; }
    publish
    ;;
stop)
    stop_one watcher
    stop_all
    ;;
env)
    echo "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"
    echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
    ;;
*)
    usage
    ;;
esac
