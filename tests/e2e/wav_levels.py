# wav_levels.py WAV: per 100 ms window and per channel, the level (RMS x sqrt 2, in dBFS) and the
# frequency (from rising zero crossings), one line per window: "t c0level:c0freq c1level:c1freq ...".
# Reads 32-bit float WAV, including a recorder's that was stopped before it wrote its sizes.
import math, struct, sys

raw = open(sys.argv[1], "rb").read()
pos, channels, rate, data = 12, 0, 0, b""
while pos + 8 <= len(raw):
    tag, size = raw[pos:pos + 4], struct.unpack("<I", raw[pos + 4:pos + 8])[0]
    if tag == b"fmt ":
        channels, rate = struct.unpack("<HI", raw[pos + 10:pos + 16])
    elif tag == b"data":
        data = raw[pos + 8:] if size in (0, 0xFFFFFFFF) else raw[pos + 8:pos + 8 + size]
        break
    pos += 8 + size + (size & 1)
n = len(data) // (4 * channels)
samples = struct.unpack("<%df" % (n * channels), data[:n * channels * 4])
window = rate // 10
for w in range(n // window):
    parts = []
    for c in range(channels):
        x = samples[w * window * channels + c:(w + 1) * window * channels:channels]
        power = sum(v * v for v in x) / len(x)
        level = 20 * math.log10(math.sqrt(power) * math.sqrt(2)) if power > 0 else -200
        ups = [i for i in range(1, len(x)) if x[i - 1] < 0 <= x[i]]
        freq = (len(ups) - 1) * rate / (ups[-1] - ups[0]) if len(ups) > 2 else 0
        parts.append("%.2f:%.1f" % (level, freq))
    print("%.1f %s" % (w / 10, " ".join(parts)))
