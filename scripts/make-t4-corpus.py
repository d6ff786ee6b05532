#!/usr/bin/python3
"""Makes the page corpus of the T.4 benchmarks: realistic fax pages as raw PBM files.

    make-t4-corpus.py OUTDIR

Writes, each 1728 pixels wide at 200 dpi (fine resolution, 2200 lines):
  text1.pbm, text2.pbm   pages of 10-12 point text with headings, a rule and a table
  photo.pbm              a photograph-like grey image, error-diffusion dithered
  blank.pbm              an empty page
The pages are generated, not stored, so the repository carries no large binaries. Uses only
the standard library; the output is the same on every run.
"""

import os
import random
import sys

WIDTH, HEIGHT = 1728, 2200

# A 5x7 font for the letters text is made of; every glyph is a list of 7 rows of 5 bits.
FONT = {
    "a": ["00000", "00000", "01110", "00001", "01111", "10001", "01111"],
    "b": ["10000", "10000", "10110", "11001", "10001", "10001", "11110"],
    "c": ["00000", "00000", "01110", "10000", "10000", "10001", "01110"],
    "d": ["00001", "00001", "01101", "10011", "10001", "10001", "01111"],
    "e": ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    "f": ["00110", "01001", "01000", "11100", "01000", "01000", "01000"],
    "g": ["00000", "01111", "10001", "10001", "01111", "00001", "01110"],
    "h": ["10000", "10000", "10110", "11001", "10001", "10001", "10001"],
    "i": ["00100", "00000", "01100", "00100", "00100", "00100", "01110"],
    "k": ["10000", "10000", "10010", "10100", "11000", "10100", "10010"],
    "l": ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
    "m": ["00000", "00000", "11010", "10101", "10101", "10001", "10001"],
    "n": ["00000", "00000", "10110", "11001", "10001", "10001", "10001"],
    "o": ["00000", "00000", "01110", "10001", "10001", "10001", "01110"],
    "p": ["00000", "11110", "10001", "10001", "11110", "10000", "10000"],
    "r": ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    "s": ["00000", "00000", "01110", "10000", "01110", "00001", "11110"],
    "t": ["01000", "01000", "11100", "01000", "01000", "01001", "00110"],
    "u": ["00000", "00000", "10001", "10001", "10001", "10011", "01101"],
    "v": ["00000", "00000", "10001", "10001", "10001", "01010", "00100"],
    "w": ["00000", "00000", "10001", "10001", "10101", "10101", "01010"],
    "y": ["00000", "10001", "10001", "01111", "00001", "10001", "01110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "2": ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    ",": ["00000", "00000", "00000", "00000", "00110", "00100", "01000"],
    ".": ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
}
WORDS = ("the fax page was sent to the office in time, please check the printed copy "
         "of our offer and return it signed. we would like to thank you for the order "
         "and hope to work with you again soon. delivery takes two weeks from today "
         "Tel Fax 2010 1200 Page of Total").split()


class Page:
    def __init__(self):
        self.rows = [bytearray(WIDTH // 8) for _ in range(HEIGHT)]

    def set(self, x, y):
        if 0 <= x < WIDTH and 0 <= y < HEIGHT:
            self.rows[y][x >> 3] |= 0x80 >> (x & 7)

    def box(self, x0, y0, x1, y1):
        for y in range(max(0, y0), min(HEIGHT, y1)):
            row = self.rows[y]
            for x in range(max(0, x0), min(WIDTH, x1)):
                row[x >> 3] |= 0x80 >> (x & 7)

    def glyph(self, ch, x, y, scale):
        rows = FONT.get(ch)
        if rows is None:
            return
        for gy, bits in enumerate(rows):
            for gx, b in enumerate(bits):
                if b == "1":
                    self.box(x + gx * scale, y + gy * scale, x + (gx + 1) * scale,
                             y + (gy + 1) * scale)

    def text(self, words, x0, y, scale, right):
        x = x0
        for word in words:
            w = (len(word) * 6 - 1) * scale
            if x + w > right:
                return x, False
            for ch in word:
                self.glyph(ch, x, y, scale)
                x += 6 * scale
            x += 4 * scale
        return x, True

    def write(self, name):
        with open(name, "wb") as f:
            f.write(b"P4\n%d %d\n" % (WIDTH, HEIGHT))
            for row in self.rows:
                f.write(bytes(row))


def text_page(seed):
    rnd = random.Random(seed)
    p = Page()
    left, right = 150, WIDTH - 150
    y = 150
    p.text(["Fax", "Total", "1", "of", "2"], left, y, 6, right)  # heading
    y += 90
    p.box(left, y, right, y + 4)  # rule
    y += 40
    while y < HEIGHT - 200:
        if rnd.random() < 0.06:  # a small table
            for r in range(6):
                p.box(left, y, right, y + 2)
                for c in range(5):
                    p.text(rnd.sample(WORDS, 2), left + 10 + c * 285, y + 12, 3, left + (c + 1) * 285)
                for c in range(6):
                    p.box(left + c * 285, y, left + c * 285 + 2, y + 48)
                y += 48
            p.box(left, y, right, y + 2)
            y += 40
            continue
        words = [rnd.choice(WORDS) for _ in range(30)]
        p.text(words, left, y, 3, right)
        y += 36 if rnd.random() > 0.15 else 72  # paragraph gaps
    return p


def photo_page(seed):
    rnd = random.Random(seed)
    # A grey picture: soft gradients, a few round shapes, some texture.
    blobs = [(rnd.randrange(WIDTH), rnd.randrange(HEIGHT), rnd.randrange(80, 400),
              rnd.uniform(-120, 120)) for _ in range(14)]
    p = Page()
    err_next = [0.0] * (WIDTH + 2)
    for y in range(HEIGHT):
        err_cur, err_next = err_next, [0.0] * (WIDTH + 2)
        row = p.rows[y]
        base = 60 + 140 * y / HEIGHT
        near = [(bx, by, r * r, d) for bx, by, r, d in blobs if abs(by - y) < r]
        for x in range(WIDTH):
            v = base + 40 * x / WIDTH
            for bx, by, r2, d in near:
                dx = x - bx
                if dx * dx + (y - by) ** 2 < r2:
                    v += d
            v += ((x * 7 + y * 13) % 23) - 11 + err_cur[x + 1]
            if v < 128:  # black
                row[x >> 3] |= 0x80 >> (x & 7)
                e = v
            else:
                e = v - 255
            err_cur[x + 2] += e * 7 / 16
            err_next[x] += e * 3 / 16
            err_next[x + 1] += e * 5 / 16
            err_next[x + 2] += e * 1 / 16
    return p


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-t4-corpus.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    text_page(1).write(os.path.join(out, "text1.pbm"))
    text_page(2).write(os.path.join(out, "text2.pbm"))
    photo_page(3).write(os.path.join(out, "photo.pbm"))
    Page().write(os.path.join(out, "blank.pbm"))


if __name__ == "__main__":
    main()
