"""Corpus, vocabulary and held-out segmentation of the trained demo model.

Shared by tools/train_model.py (which also needs JAX) and the tests and measurement
scripts (which need only the standard library and numpy). Nothing here downloads
anything: the corpus is the Python standard library that ships with the interpreter.

    corpus_files(stdlib_dir)       -> (training files, held-out files), sorted paths
    pretokenize(text)              -> the engine's pre-tokenization pieces
    train_bpe(texts, n_merges)     -> merges learned from the pieces, [(left, right)]
    build_vocab(merges)            -> token strings: 256 bytes, merge results, specials
    heldout_segments(text)         -> the held-out text cut into scored segments
"""

from __future__ import annotations

import glob
import heapq
import os
import unicodedata
from collections import Counter, defaultdict

# Held-out modules: never trained on; their text is models/heldout.txt.
HELDOUT_FILES = ("bisect.py", "graphlib.py", "shlex.py", "textwrap.py")
SPECIALS = ("<|endoftext|>", "<|im_start|>", "<|im_end|>")
SEGMENT_BYTES = 512   # held-out segments: whole lines, at most this many bytes each


def corpus_files(stdlib_dir: str):
    """The top-level modules of a standard library folder (no packages, no tests), sorted,
    split into training and held-out files."""
    files = sorted(glob.glob(os.path.join(stdlib_dir, "*.py")))
    if not files:
        raise SystemExit(f"no *.py files in {stdlib_dir}")
    held = [f for f in files if os.path.basename(f) in HELDOUT_FILES]
    if len(held) != len(HELDOUT_FILES):
        raise SystemExit(f"held-out modules {HELDOUT_FILES} not all in {stdlib_dir}")
    train = [f for f in files if os.path.basename(f) not in HELDOUT_FILES]
    return train, held


def read_text(path: str) -> str:
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


# -- pre-tokenization: the rules of the engine's tokenizer --------------------------

def _letter(c):
    return unicodedata.category(c)[0] in "LM"


def _number(c):
    return unicodedata.category(c)[0] == "N"


_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)}


def _space(c):
    return c in _SPACE


def _newline(c):
    return c in "\r\n"


def pretokenize(text: str) -> list:
    """Pieces of `text` by the engine's five rules (contractions, letters, single
    digits, punctuation runs, space runs). The character classes come from this
    interpreter's unicodedata, which can differ from the engine's Unicode 16.0 tables
    on rare characters; that only changes which merges are learned, never how the
    engine encodes (every token id the model sees comes from the engine itself)."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        nxt = text[i + 1] if i + 1 < n else None
        sec = text[i + 2] if i + 2 < n else None
        if c == "'" and nxt is not None:
            lo = nxt.lower() if nxt.isascii() else nxt
            if lo in "stmd" and len(lo) == 1:
                out.append(text[i:i + 2]); i += 2; continue
            lo2 = sec.lower() if sec is not None and sec.isascii() else sec
            if (lo == "l" and lo2 == "l") or (lo in ("r", "v") and lo2 == "e"):
                out.append(text[i:i + 3]); i += 3; continue
        if _letter(c):
            j = i + 1
            while j < n and _letter(text[j]):
                j += 1
            out.append(text[i:j]); i = j; continue
        if not _letter(c) and not _number(c) and not _newline(c) and nxt is not None \
                and _letter(nxt):
            j = i + 2
            while j < n and _letter(text[j]):
                j += 1
            out.append(text[i:j]); i = j; continue
        if _number(c):
            out.append(c); i += 1; continue
        s = i + 1 if (c == " " and nxt is not None) else i
        if s < n and not (_space(text[s]) or _letter(text[s]) or _number(text[s])):
            j = s + 1
            while j < n and not (_space(text[j]) or _letter(text[j]) or _number(text[j])):
                j += 1
            while j < n and _newline(text[j]):
                j += 1
            out.append(text[i:j]); i = j; continue
        if _space(c):
            j = i
            while j < n and _space(text[j]):
                j += 1
            last_nl = max((k for k in range(i, j) if _newline(text[k])), default=-1)
            if last_nl >= 0:
                end = last_nl + 1
            elif j < n and j - i > 1:
                end = j - 1
            else:
                end = j
            out.append(text[i:end]); i = end; continue
        out.append(c); i += 1   # not reached by the rules; kept for safety
    return out


# -- byte-level BPE -------------------------------------------------------------------

def bytes_to_unicode() -> dict:
    """The GPT-2 byte -> printable character map, in its canonical order."""
    bs = list(range(0x21, 0x7F)) + list(range(0xA1, 0xAD)) + list(range(0xAE, 0x100))
    cs = list(bs)
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {b: chr(c) for b, c in zip(bs, cs)}


def train_bpe(texts, n_merges: int, progress=None) -> list:
    """Byte-level BPE: repeatedly merge the most frequent adjacent pair within
    pre-tokenization pieces; ties go to the smallest pair (as strings), so the result
    depends only on the texts. Incremental pair counts with a lazy max-heap."""
    b2u = bytes_to_unicode()
    pieces = Counter()
    for t in texts:
        pieces.update(pretokenize(t))
    words = [[b2u[b] for b in p.encode("utf-8")] for p in sorted(pieces)]
    counts = [pieces[p] for p in sorted(pieces)]
    pair_count = Counter()
    where = defaultdict(set)
    for wi, w in enumerate(words):
        for a, b in zip(w, w[1:]):
            pair_count[(a, b)] += counts[wi]
            where[(a, b)].add(wi)
    heap = [(-c, p) for p, c in pair_count.items()]
    heapq.heapify(heap)
    merges = []
    while len(merges) < n_merges and heap:
        negc, pair = heapq.heappop(heap)
        if pair_count.get(pair, 0) != -negc or negc == 0:
            continue   # stale entry
        merges.append(pair)
        a, b = pair
        joined = a + b
        touched = set()
        for wi in sorted(where.pop(pair, ())):
            w = words[wi]
            c = counts[wi]
            for x, y in zip(w, w[1:]):
                pair_count[(x, y)] -= c
                touched.add((x, y))
            out, i = [], 0
            while i < len(w):
                if i + 1 < len(w) and w[i] == a and w[i + 1] == b:
                    out.append(joined)
                    i += 2
                else:
                    out.append(w[i])
                    i += 1
            words[wi] = out
            for x, y in zip(out, out[1:]):
                pair_count[(x, y)] += c
                where[(x, y)].add(wi)
                touched.add((x, y))
        pair_count.pop(pair, None)
        for p in touched:
            if p == pair:
                continue
            c = pair_count.get(p, 0)
            if c > 0:
                heapq.heappush(heap, (-c, p))
            else:
                pair_count.pop(p, None)
        if progress and len(merges) % 500 == 0:
            progress(len(merges))
    return merges


def build_vocab(merges) -> list:
    """Token strings by id: the 256 byte characters, each new merge result once, in
    merge order, then the special tokens."""
    tokens = list(bytes_to_unicode().values())
    seen = set(tokens)
    for a, b in merges:
        if a + b not in seen:
            seen.add(a + b)
            tokens.append(a + b)
    return tokens + list(SPECIALS)


# -- held-out segments ------------------------------------------------------------------

def heldout_segments(text: str, limit: int = SEGMENT_BYTES) -> list:
    """Consecutive runs of whole lines of at most `limit` UTF-8 bytes (a longer single
    line is a segment of its own); each segment is scored as a fresh sequence."""
    segs, cur, size = [], [], 0
    for line in text.splitlines(keepends=True):
        n = len(line.encode("utf-8"))
        if cur and size + n > limit:
            segs.append("".join(cur))
            cur, size = [], 0
        cur.append(line)
        size += n
    if cur:
        segs.append("".join(cur))
    return segs
