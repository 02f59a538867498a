#!/usr/bin/env bash
# Regenerates the parameter-set fixtures of sps_parser_test.cpp and the seeds of the SPS fuzz targets:
# encodes one frame per case with ffmpeg (libx264 / libx265), cuts the SPS NAL unit out of the stream and
# prints a table row with the bytes and what ffprobe reports for the stream (width, height, frame rate,
# profile, level). Seeds go to fuzz/corpus/h264_sps (from the NAL header) and fuzz/corpus/h265_sps (after
# the 2-byte NAL header), which is where each parser starts reading.
#   tests/codec/make_sps_fixtures.sh > rows.txt
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name codec size rate pixel-format extra-encoder-options
cases=(
  "h264_1920x1080_30 h264 1920x1080 30 yuv420p"
  "h264_1280x720_25 h264 1280x720 25 yuv420p"
  "h264_3840x2160_60 h264 3840x2160 60 yuv420p"
  "h264_640x360_ntsc h264 640x360 30000/1001 yuv420p"
  "h264_1366x768_30 h264 1366x768 30 yuv420p"
  "h264_176x144_baseline h264 176x144 15 yuv420p -profile:v baseline"
  "h264_1920x1080_interlaced h264 1920x1080 25 yuv420p -flags +ildct+ilme -x264-params interlaced=1"
  "h264_1920x1080_422 h264 1920x1080 30 yuv422p"
  "h264_1920x1080_444 h264 1920x1080 30 yuv444p"
  "h264_1918x1078_444 h264 1918x1078 30 yuv444p"
  "h264_1920x1080_10bit h264 1920x1080 30 yuv420p10le"
  "h265_1920x1080_30 hevc 1920x1080 30 yuv420p"
  "h265_1280x720_25 hevc 1280x720 25 yuv420p"
  "h265_3840x2160_60 hevc 3840x2160 60 yuv420p"
  "h265_854x480_30 hevc 854x480 30 yuv420p"
  "h265_1366x766_30 hevc 1366x766 30 yuv420p"
  "h265_1920x1080_main10 hevc 1920x1080 30 yuv420p10le"
  "h265_1366x766_422_10bit hevc 1366x766 30 yuv422p10le"
  "h265_1277x719_444 hevc 1277x719 30 yuv444p"
  "h265_1280x720_sublayers hevc 1280x720 30 yuv420p -x265-params temporal-layers=1:b-pyramid=0"
)

for entry in "${cases[@]}"; do
  read -r name codec size rate pix extra <<<"$entry"
  encoder=libx264; ext=h264
  [ "$codec" = hevc ] && encoder=libx265 && ext=hevc
  out="$work/$name.$ext"
  # shellcheck disable=SC2086
  ffmpeg -v error -y -f lavfi -i "testsrc=size=$size:rate=$rate" -frames:v 3 -pix_fmt "$pix" -c:v "$encoder" \
    $extra -f "$ext" "$out" 2>/dev/null
  probe=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height,r_frame_rate,profile,level \
    -of csv=p=0 "$out")
  python3 - "$out" "$codec" "$name" "$repo" "$probe" <<'PY'
import sys
path, codec, name, repo, probe = sys.argv[1:]
data = open(path, 'rb').read()
# Split the Annex B stream at its start codes.
units, i, start = [], 0, None
while i + 3 <= len(data):
    if data[i:i + 3] == b'\x00\x00\x01':
        if start is not None:
            units.append(data[start:i].rstrip(b'\x00'))
        start = i + 3
        i += 3
    else:
        i += 1
units.append(data[start:])
if codec == 'h264':
    sps = next(u for u in units if u[0] & 0x1f == 7)
    seed, folder = sps, 'h264_sps'
else:
    sps = next(u for u in units if (u[0] >> 1) & 0x3f == 33)
    seed, folder = sps[2:], 'h265_sps'
open(f'{repo}/fuzz/corpus/{folder}/{name}.bin', 'wb').write(seed)
profile, width, height, level, rate = probe.split(',')[0:5]
print(f'    // {name}: ffprobe {width}x{height} {rate} "{profile}" level {level}')
print('    {"%s", "%s"},' % (name, seed.hex()))
PY
done
