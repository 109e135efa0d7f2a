#!/usr/bin/env bash
# quorvel-play end to end: every format a tower has plays to the capture
# output and is heard at its level; files it cannot play exit non-zero with
# the error's text.
set -euo pipefail
play=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

encodings=("-b 8 -e unsigned" "-b 16 -e signed" "-b 24 -e signed" "-b 32 -e signed"
           "-b 32 -e floating-point" "-e a-law" "-e mu-law" "-e ima-adpcm" "-e ms-adpcm")
for rate in 22050 48000; do
  for channels in 1 2; do
    for encoding in "${encodings[@]}"; do
      case="$encoding, $rate Hz, $channels channel(s)"
      # shellcheck disable=SC2086
      sox -n -r "$rate" -c "$channels" $encoding "$dir/in.wav" synth 0.2 sine 440 vol 0.5
      rm -f "$dir/out.wav"
      out=$("$play" "$dir/in.wav" --output "capture:$dir/out.wav" 2>&1) || fail "$case: $out"
      peak=$(sox "$dir/out.wav" -n stat 2>&1 | awk '/Maximum amplitude/{print $3}')
      # A 0.5 sine must come out at 0.5; a lost or garbled sound would not.
      awk -v p="$peak" 'BEGIN { exit !(p > 0.45 && p < 0.56) }' || fail "$case: peak $peak"
    done
  done
done

expect_refusal() {  # file, text the message must contain
  local out
  if out=$("$play" "$1" --output null 2>&1); then fail "$1 played"; fi
  grep -qF -- "$2" <<<"$out" || fail "$1: unexpected message: $out"
}
printf 'not a wave file' >"$dir/text.wav"
: >"$dir/empty.wav"
sox -n -r 8000 -c 1 -e gsm-full-rate "$dir/gsm.wav" synth 0.2 sine 440
expect_refusal "$dir/text.wav" "Invalid wave file..."
expect_refusal "$dir/empty.wav" "Invalid wave file..."
expect_refusal "$dir/missing.wav" "quorvel-play:"
expect_refusal "$dir/gsm.wav" "can't play this format"
echo "quorvel-play: all cases passed"
