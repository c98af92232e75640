#!/usr/bin/env bash
# Draws a spectrogram of a WAV file as a PNG, with sox: time across, frequency
# up, both channels mixed to one. For looking at what the board emulator's
# session WAV holds (notes, their harmonics, the noise of the SSG, clicks).
#
#   tools/sonogram.sh build/session.wav                 writes build/session.png
#   tools/sonogram.sh IN.wav OUT.png [TITLE]
#
# Needs sox (Debian: apt-get install sox).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  echo "usage: tools/sonogram.sh IN.wav [OUT.png [TITLE]]" >&2
  exit 2
fi
in=$1
out=${2:-${in%.*}.png}
title=${3:-$(basename "$in")}
if ! command -v sox >/dev/null 2>&1; then
  echo "sonogram.sh: sox is not installed (Debian: apt-get install sox)" >&2
  exit 1
fi
if [ ! -r "$in" ]; then
  echo "sonogram.sh: cannot read $in" >&2
  exit 1
fi
# 1000 pixels across whatever the length; frequencies up to half the rate,
# 80 dB of range.
sox "$in" -n remix - spectrogram -x 1000 -y 257 -z 80 -t "$title" -o "$out"
echo "$out"
