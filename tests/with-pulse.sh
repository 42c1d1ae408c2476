#!/usr/bin/env bash
# Runs a command beside a private PulseAudio server with one null sink (its
# monitor is the default source, so recordings read what is played), in the
# caller's XDG_RUNTIME_DIR so that parallel tests each have their own. Also
# generates the test clips with sox into $TAMBERLIN_TEST_MEDIA.
set -u
: "${XDG_RUNTIME_DIR:?run this under isolate.sh}"
export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
media="$XDG_RUNTIME_DIR/media"
mkdir -p "$media"
sox -n -r 44100 -c 2 "$media/tone-2s.wav" synth 2 sine 440 vol 0.5 || exit 1
printf 'not audio at all\n' > "$media/not-audio.wav"
export TAMBERLIN_TEST_MEDIA="$media"

# Daemonized, pulseaudio returns once the server accepts clients; the pid
# file in our runtime folder names exactly this server for --kill. Should this
# script be killed outright, the server still leaves once idle for longer
# than any test runs.
pulseaudio --daemonize=yes --system=false --exit-idle-time=600 -n --disallow-exit \
    --use-pid-file=yes --log-target=file:"$XDG_RUNTIME_DIR/pulse.log" --log-level=error \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=null" || { cat "$XDG_RUNTIME_DIR/pulse.log" >&2; exit 1; }
trap 'pulseaudio --kill' EXIT
# Programs started with other runtime folders and homes still find it.
export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
"$@"
