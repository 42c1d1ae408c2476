#!/usr/bin/env bash
# Runs a command beside a private PulseAudio server (one null sink, whose
# monitor is the default source) in the caller's XDG_RUNTIME_DIR, with test
# clips made by sox in $TAMBERLIN_TEST_MEDIA.
set -u
: "${XDG_RUNTIME_DIR:?run this under isolate.sh}"
export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
media="$XDG_RUNTIME_DIR/media"
mkdir -p "$media"
sox -n -r 44100 -c 2 "$media/tone-2s.wav" synth 2 sine 440 vol 0.5 || exit 1
printf 'not audio at all\n' > "$media/not-audio.wav"
export TAMBERLIN_TEST_MEDIA="$media"

# Daemonized, pulseaudio returns once it accepts clients; its pid file here
# names this server for --kill. Killed outright, it still leaves when idle.
pulseaudio --daemonize=yes --system=false --exit-idle-time=600 -n --disallow-exit \
    --use-pid-file=yes --log-target=file:"$XDG_RUNTIME_DIR/pulse.log" --log-level=error \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=null" || { cat "$XDG_RUNTIME_DIR/pulse.log" >&2; exit 1; }
trap 'pulseaudio --kill' EXIT
# Programs started with other runtime folders and homes still find it.
export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
"$@"
