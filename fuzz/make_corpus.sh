#!/usr/bin/env bash
# Writes the hand-made seeds of fuzz/corpus/: golden wire frames, real peer scripts and
# settings files, and small HEVC and H.264 streams from ffmpeg. The reassembler and
# feed parser targets read fuzzer-encoded inputs; their seeds come from a short run
# merged down (scripts/fuzz.sh, then <target>_fuzz -merge=1 fuzz/corpus/<name> <scratch>).
set -euo pipefail
corpus="$(cd "$(dirname "$0")" && pwd)/corpus"

seed() { mkdir -p "$corpus/$1"; printf "$3" >"$corpus/$1/$2"; }

# Control frames and datagrams of the wire format.
seed protocol ping-frame       '\x00\x09\x21\x01\x02\x03\x04\x05\x06\x07\x08'
seed protocol four-byte-body   '\x00\x05\x21\x00\x00\x00\x00'
seed protocol zero-then-frame  '\x00\x00\x00\x01\x20'
seed protocol hello-frame      '\x00\x1e\x01\x00\x00\x00\x03\x04\x9b\x09\xfc\x78\x00123456\nMy phone\n2.0'
seed protocol refusal-frame    '\x00\x15\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00Wrong code'
seed protocol two-frames       '\x00\x04\x10\x00\x04\x01\x00\x09\x12\x3f\x00\x00\x00\x3f\x00\x00\x00'
seed protocol scroll-gesture   '\x00\x0a\x14\x00\x00\x00\x00\x40\x00\x00\x00\x03\x00\x07\x16\x09\x3f\x80\x00\x00\x01'
seed protocol text-frame       '\x00\x0a\x15h\xc3\xa9\xe2\x82\xac\xed\xa0\x80'
seed protocol registration     'PNUP\x01\x02\x03\x04'
seed protocol video-fragment   '\x00\x00\x00\x01\x00\x00\x00\x03\x01\x02\x00\x00\x01\x02\x03\x04\x00\x00\x00\x01\x40'
seed protocol mic-datagram     '\x00\x00\x00\x07\x00\x00\x00\x01\x00\x11\x00\x00\x00\x00\x00\x00\x01\x00\x02\x00'

# Peer scripts as the tests and the latency tools write them.
seed peer_script typing   '# type and click\nkey 0x04 1\nkey 0x04 0\ntext h\\xc3\\xa9llo\\n\\tworld\nbutton 1 1\nbutton 1 0\nsleep 0.25\n'
seed peer_script pointer  'mouseRel 3.5 -2\nmouseAbs 100 200\nscroll 0 -12.5 began\nscroll 0 -3 ended\ngesture magnify 0.25 changed\ngesture 3 1\n'
seed peer_script control  'resize 1170 2532\nuiScale 2.0\nping 0x0102030405060708\nstats 100 3\nrequestKeyframe\nreleaseAll\n'
seed peer_script raw      'raw 00 09 21 01 02 03 04 05 06 07 08\nrawudp 50 4e 55 50 00 00 00 01\r\n'
seed peer_script bad      'key 0x04\n'

# Settings files: a real one, one edited by hand, blank, and broken ones.
seed settings_store app      '{\n  "cameraActivated": true,\n  "pairingCode": "042917",\n  "sessionCommand": "xterm",\n  "uiScale": 2.0,\n  "port": 47800\n}\n'
seed settings_store edited   '{"port": 47800.0, "name": "caf\\u00e9 \\ud83d\\ude00", "nested": {"a": [1, 2, null]}}'
seed settings_store blank    ' \n\t\r\n'
seed settings_store array    '[1, 2, 3]'
seed settings_store torn     '{"port": 478'

# Encoded streams, Annex-B as encoders write them.
if command -v ffmpeg >/dev/null; then
    mkdir -p "$corpus/nal"
    for fmt in hevc h264; do
        if [ "$fmt" = hevc ]; then codec=(-c:v libx265 -x265-params log-level=none); else codec=(-c:v libx264); fi
        ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=30 -frames:v 2 -pix_fmt yuv420p \
            "${codec[@]}" -f "$fmt" "$corpus/nal/$fmt-64x48" </dev/null
    done
fi
seed nal length-prefixed '\x00\x00\x00\x03\x40\x01\x0c\x00\x00\x00\x02\x42\x01\x00\x00\x00\x02\x44\x01\x00\x00\x00\x03\x26\x01\xaf'
