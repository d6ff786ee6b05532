#!/usr/bin/env bash
# How long our fax engine takes to send a fax, against efax sending the same pages over the same
# simulated line, and against the least time the line itself allows.
#
#   bench/send_vs_efax.sh [BUILD_DIR]        (default: build; needs plxfax and modemsim built)
#   SPEED=2 bench/send_vs_efax.sh /tmp/b     (modemsim's --speed, default 1)
#   KEEP_TRACE=ours.trace KEEP_WORK=1 ...    (keep our engine's trace, the pages and the logs)
#
# Both senders dial a `modemsim --far-receive` Class 1 modem at 14400 bit/s, SpanDSP's fax
# machine answering, one after the other, with a fresh modemsim each time. Each sender is timed
# from its start (modem set-up and dial) to its exit (after DCN and hang-up); the wall time times
# the speed factor is the time on the simulated line. Real time (SPEED=1, about four minutes) is
# the default because both senders pause on wall-clock timers of their own, which a faster line
# would count several times over; SPEED=2 halves the run and overstates those pauses.
# The last line of output is
#   ours_s=<x> efax_s=<y> floor_s=<z>
# Not a test: run it by hand; BENCHMARKS.md has the figures.
set -euo pipefail

BUILD=${1:-build}
SPEED=${SPEED:-1}
NUMBER=5551234
PAGES=3
ROWS=1100  # an A4 page at 98 lines per inch is about 1145 lines
PLXFAX=$BUILD/tools/plxfax/plxfax
MODEMSIM=$BUILD/tools/modemsim/modemsim

for tool in "$PLXFAX" "$MODEMSIM"; do
    [[ -x $tool ]] || { echo "missing $tool (build plxfax and modemsim in $BUILD)" >&2; exit 2; }
done
for tool in efax efix pbmtext pamcut pnmpad pnmtotiff tiffinfo python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/pellora-send-bench-XXXXXX)
SIM_PID=
cleanup() {
    if [[ -n $SIM_PID ]]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
    if [[ -n ${KEEP_WORK:-} ]]; then echo "pages and logs kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# --- The pages -------------------------------------------------------------------------------
# Text set by netpbm's built-in font, 1728 x ROWS at 204 x 98 dpi. One uncompressed TIFF per page
# is the common source: our converter reads it into PLF, efix codes it as the G3 TIFF efax sends.
# Neither side scales anything, so both send the same pixels.
python3 - "$WORK" "$PAGES" <<'EOF'
import random, sys
work, pages = sys.argv[1], int(sys.argv[2])
words = ("fax modem page line text invoice order delivery number account customer payment "
         "the of and to in for with on at by from reference total amount due date please").split()
for p in range(1, pages + 1):
    rnd = random.Random(p)
    with open(f"{work}/page{p}.txt", "w") as f:
        for _ in range(88):
            line = " ".join(rnd.choice(words) for _ in range(rnd.randint(6, 13)))
            f.write(line[:118] + "\n")
EOF
PLF_FILES=() TIFF_FILES=()
for p in $(seq 1 "$PAGES"); do
    pbmtext -builtin fixed -nomargins <"$WORK/page$p.txt" 2>/dev/null |
        pnmpad -white -left 100 -top 40 2>/dev/null |
        pnmpad -white -width 1728 -height "$ROWS" -halign 0 -valign 0 2>/dev/null |
        pamcut -width 1728 -height "$ROWS" 2>/dev/null >"$WORK/page$p.pbm"
    pnmtotiff -none -rowsperstrip "$ROWS" -xresolution 204 -yresolution 98 "$WORK/page$p.pbm" \
        >"$WORK/page$p-raw.tif" 2>/dev/null
    "$PLXFAX" convert "$WORK/page$p-raw.tif" --type tiff -o "$WORK/page$p.PLF" >/dev/null
    efix -itiffraw -otiffg3 -n "$WORK/page$p.tif" "$WORK/page$p-raw.tif" 2>/dev/null
    PLF_FILES+=("$WORK/page$p.PLF")
    TIFF_FILES+=("$WORK/page$p.tif")
done

# Coded page bits as our engine sends them: a PLF page with line records holds, per coded line
# and for the end-of-page record, a 2-byte length word before the bytes that go on the line.
PAGE_BYTES=0
for f in "${PLF_FILES[@]}"; do
    read -r length lines < <("$PLXFAX" info "$f" | sed -n 's/^page 1: .*length \([0-9]*\), lines \([0-9]*\).*/\1 \2/p')
    PAGE_BYTES=$((PAGE_BYTES + length - 2 * (lines + 1)))
done
EFAX_BYTES=0
for f in "${TIFF_FILES[@]}"; do
    n=$(tiffinfo -s "$f" 2>/dev/null | sed -n 's/^ *0: \[ *[0-9]*, *\([0-9]*\)\]/\1/p')
    EFAX_BYTES=$((EFAX_BYTES + n))
done

# --- One sender through a fresh simulated line -------------------------------------------------
# Leaves the sender's wall time in seconds in NAME.wall; the far machine must have taken all pages.
send_once() {
    local name=$1; shift
    local pty=$WORK/$name.modem
    "$MODEMSIM" --pty "$pty" --far-receive "$WORK/$name-received.tif" --speed "$SPEED" \
        --timeout 600 >"$WORK/$name-modemsim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 200); do [[ -e $pty ]] && break; sleep 0.02; done
    local args=("$@")
    args=("${args[@]//@PTY@/$pty}")
    local start end rc=0
    start=$(date +%s.%N)
    "${args[@]}" >"$WORK/$name.log" 2>&1 || rc=$?
    end=$(date +%s.%N)
    local simrc=0
    wait "$SIM_PID" || simrc=$?
    SIM_PID=
    if [[ $rc -ne 0 || $simrc -ne 0 ]] || ! grep -q "fax went through ($PAGES page(s)" "$WORK/$name-modemsim.log"; then
        echo "$name: the fax did not go through (sender $rc, modemsim $simrc)" >&2
        tail -n 20 "$WORK/$name.log" "$WORK/$name-modemsim.log" >&2
        exit 1
    fi
    python3 -c "print(f'{$end - $start:.3f}')" >"$WORK/$name.wall"
}

echo "pages: $PAGES text pages 1728 x $ROWS, normal resolution, 1-D coding"
echo "coded page data: ours $PAGE_BYTES bytes, efix's TIFFs $EFAX_BYTES bytes"
echo "line: modemsim --far-receive (SpanDSP), Class 1, 14400 bit/s, --speed $SPEED"

# KEEP_TRACE=FILE keeps our engine's trace of the run (every command, response, frame and state
# change with its time), for finding where the time goes.
send_once ours env ${KEEP_TRACE:+PELLORA_FAX_TRACE=1} "$PLXFAX" send --device @PTY@ --class 1 --bps 14400 \
    "$NUMBER" "${PLF_FILES[@]}"
OURS_WALL=$(cat "$WORK/ours.wall")
# efax: Class 1 (-o1), capabilities 14400 bit/s, normal resolution, 1-D (-c 1,5,0,2,0,0,0,0),
# no header band text (-h "") so that it sends the page as given.
send_once efax efax -d @PTY@ -o1 -c 1,5,0,2,0,0,0,0 -h "" -t "$NUMBER" "${TIFF_FILES[@]}"
EFAX_WALL=$(cat "$WORK/efax.wall")

# --- The floor -----------------------------------------------------------------------------------
# The least line time a 14400 bit/s Class 1 sender can take for these pages, from the T.30
# timings with every optional wait at its minimum (V.21 at 300 bit/s, 1 s of flags before each
# frame group, 75 ms between one station's signal and the other's):
#   call set-up     3.0 s  dialling is in the simulation's hands; the answering side then sends
#                          CED, at least 2.6 s, and 75 ms of silence
#   CSI + DIS       1.9 s  1 s preamble + 25 + 15 bytes of frames
#   TSI + DCS       1.9 s  75 ms + 1 s preamble + 25 + 6 bytes
#   TCF             3.0 s  75 ms + V.17 long training (1.4 s) + 1.5 s of zeros
#   CFR             1.2 s  75 ms + 1 s preamble + 5 bytes
#   per page        2.6 s  75 ms + V.17 short training (0.14 s) + data + RTC, then
#                          MPS/EOP (75 ms + 1 s + 5 bytes) and MCF (the same)
#   DCN             1.2 s  75 ms + 1 s preamble + 3 bytes
# plus the page data at 14400 bit/s.
FIXED_S=$(python3 -c "print(3.0 + 1.9 + 1.9 + 3.0 + 1.2 + $PAGES * 2.6 + 1.2)")
FLOOR=$(python3 -c "print(f'{$FIXED_S + $PAGE_BYTES * 8 / 14400:.1f}')")
OURS=$(python3 -c "print(f'{$OURS_WALL * $SPEED:.1f}')")
EFAX=$(python3 -c "print(f'{$EFAX_WALL * $SPEED:.1f}')")

echo "ours: ${OURS_WALL} s wall = ${OURS} s line"
echo "efax: ${EFAX_WALL} s wall = ${EFAX} s line ($(grep -o 'sent [0-9+]* lines, [0-9+]* bytes' "$WORK/efax.log" | tr '\n' ';'))"
echo "floor: ${FIXED_S} s of T.30 phases + $(python3 -c "print(f'{$PAGE_BYTES * 8 / 14400:.1f}')") s of page data = ${FLOOR} s" \
    "(with efix's coding: $(python3 -c "print(f'{$FIXED_S + $EFAX_BYTES * 8 / 14400:.1f}')") s)"
if [[ -n ${KEEP_TRACE:-} ]]; then cp "$WORK/ours.log" "$KEEP_TRACE"; echo "trace of our run: $KEEP_TRACE"; fi
echo "ours_s=$OURS efax_s=$EFAX floor_s=$FLOOR"
