#!/usr/bin/env bash
# Renders a run report's index.html in headless Chromium at 1280 and at 400
# pixels wide and checks the screenshots. Fails when index.html is missing,
# when a plot it shows is missing or empty, when a page renders blank, or
# when the plots' series colours do not appear (the images did not load).
#
# Usage: scripts/render_report.sh <report-dir> [<png-dir>]
# The PNGs go to <png-dir> (default: a new temporary directory), named
# index-1280.png and index-400.png; the report directory is not touched.
# Needs /usr/bin/chromium (or $CHROMIUM) and python3 (standard library only).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <report-dir> [<png-dir>]" >&2
  exit 2
fi
report_dir="$(cd "$1" && pwd)" || { echo "render_report: no directory '$1'" >&2; exit 1; }
page="$report_dir/index.html"
chromium="${CHROMIUM:-/usr/bin/chromium}"

[ -s "$page" ] || { echo "render_report: $page is missing or empty" >&2; exit 1; }
[ -x "$chromium" ] || { echo "render_report: $chromium not found" >&2; exit 1; }
command -v python3 >/dev/null || { echo "render_report: python3 is needed to check the screenshots" >&2; exit 1; }

if [ $# -eq 2 ]; then
  png_dir="$2"
  mkdir -p "$png_dir"
else
  png_dir="$(mktemp -d "${TMPDIR:-/tmp}/render_report.XXXXXX")"
fi
profile="$(mktemp -d "${TMPDIR:-/tmp}/render_profile.XXXXXX")"
trap 'rm -rf "$profile"' EXIT

# Every plot the page shows must exist and hold something.
plots=0
while IFS= read -r src; do
  [ -n "$src" ] || continue
  file="$(python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1]))' "$src")"
  if [ ! -s "$report_dir/$file" ]; then
    echo "render_report: plot '$file' is missing or empty" >&2
    exit 1
  fi
  plots=$((plots + 1))
done < <(grep -o '<img src="[^"]*"' "$page" | sed 's/^<img src="//; s/"$//')

# URL of the page: percent-encode everything but the safe bytes.
url="file://$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$page")"

status=0
for width in 1280 400; do
  png="$png_dir/index-$width.png"
  rm -f "$png"
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --disable-extensions --hide-scrollbars --user-data-dir="$profile/$width" \
    --screenshot="$png" --window-size="$width,2000" "$url" >"$profile/chromium-$width.log" 2>&1 || true
  if [ ! -s "$png" ]; then
    echo "render_report: Chromium wrote no screenshot at $width px" >&2
    tail -n 20 "$profile/chromium-$width.log" >&2
    status=1
    continue
  fi
  if ! python3 - "$png" "$plots" "$width" <<'PY'
import collections, struct, sys, zlib

path, plots, width = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def decode_png(path):
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError('not a PNG')
    pos, idat, header = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'IDAT':
            idat += body
        elif kind == b'IEND':
            break
    w, h, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError('unsupported PNG layout %r' % (header,))
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = w * bpp
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(h):
        f = raw[i]; line = bytearray(raw[i + 1:i + 1 + stride]); i += 1 + stride
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if f == 1: line[x] = (line[x] + a) & 255
            elif f == 2: line[x] = (line[x] + b) & 255
            elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line)); prev = line
    return w, h, bpp, rows

w, h, bpp, rows = decode_png(path)
# Series colours of the plots (report/svg_plot.h), also found anti-aliased
# against the white plot background.
series = {'master spectrum': (0x1f, 0x77, 0xb4), 'child spectrum': (0xd6, 0x27, 0x28),
          'correction': (0x2c, 0xa0, 0x2c)}
histogram = collections.Counter()
for row in rows:
    histogram.update(zip(row[0::bpp], row[1::bpp], row[2::bpp]))
total = w * h
counts = {name: 0 for name in series}
for px, n in histogram.items():
    for name, colour in series.items():
        # Distance to the segment from the colour to its 55 % mix with white.
        best = min(sum((px[k] - (a * c + (1 - a) * 255)) ** 2 for k, c in enumerate(colour))
                   for a in (1.0, 0.85, 0.7, 0.55))
        if best < 24 ** 2:
            counts[name] += n
background, most = max(histogram.items(), key=lambda kv: kv[1])
drawn = total - most
print('%d px wide: %dx%d, %.1f %% not background, series pixels %s' %
      (width, w, h, 100.0 * drawn / total, ', '.join('%s %d' % kv for kv in counts.items())))
if len(histogram) < 8 or drawn < total * 0.01:
    sys.exit('page looks blank (%d colours, %d non-background pixels)' % (len(histogram), drawn))
if plots:
    # The page's own failure text is red too, so only blue and green prove
    # that a plot was drawn.
    needed = 60 if width < 800 else 200
    if counts['master spectrum'] < needed and counts['correction'] < needed:
        sys.exit('the plots did not render: series pixels %r' % counts)
PY
  then
    echo "render_report: check failed at $width px ($png)" >&2
    status=1
  fi
done

echo "render_report: screenshots in $png_dir"
exit $status
