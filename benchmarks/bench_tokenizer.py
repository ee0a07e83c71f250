"""Tokenizer throughput: BrixTokenizer (character level) against a plain-Python character tokenizer
doing the same mapping (lower-casing, unknown id, special-token handling), on 100k sentences.

Run: PYTHONPATH=src .venv/bin/python benchmarks/bench_tokenizer.py
Prints the speed-up (Python time / ours) of each operation, the decisive (worst) one last.
"""

import gc
import random
import time

from velkor.data.tokenizer import DEFAULT_CHARACTERS, BrixTokenizer

SENTENCES = 100_000
REPEATS = 3


class PythonCharTokenizer:
    """The same vocabulary and id layout, written the obvious way in Python."""

    def __init__(self, characters=DEFAULT_CHARACTERS):
        self.char_to_id = {c: i + 4 for i, c in enumerate(characters)}
        self.id_to_text = ["<pad>", "<sos>", "<eos>", "⁇"] + list(characters)
        self.num_classes = len(self.id_to_text)

    def encode(self, text):
        get = self.char_to_id.get
        return [get(c, 3) for c in text.lower()]

    def decode(self, ids, skip_special_tokens=False):
        table, n = self.id_to_text, self.num_classes
        out = []
        for i in ids:
            if not 0 <= i < n:
                raise ValueError(f"Token id {i} is out of range")
            if skip_special_tokens and i < 3:
                continue
            out.append(table[i])
        return "".join(out)


def make_sentences(count, seed=0):
    rng = random.Random(seed)
    words = [
        "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz'") for _ in range(rng.randint(1, 10))) for _ in range(5000)
    ]
    words += ["42", "1999", "don't", "well,", "yes!", "why?", "naïve", "café"]
    return [" ".join(rng.choice(words) for _ in range(rng.randint(5, 35))) for _ in range(count)]


def best_time(fn):
    # As timeit does, the cyclic collector is off while timing: otherwise the 100k result lists
    # trigger repeated collections that traverse every list kept so far, a cost of the caller
    # keeping results, equal for both tokenizers, that would drown the tokenizers' own work.
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best


def main():
    sentences = make_sentences(SENTENCES)
    ours, python = BrixTokenizer(), PythonCharTokenizer()
    encoded = [ours.encode(s) for s in sentences]
    assert encoded == [python.encode(s) for s in sentences]
    wrapped = [[1] + ids + [2, 0, 0] for ids in encoded]
    for skip in (False, True):
        assert [ours.decode(w, skip_special_tokens=skip) for w in wrapped[:1000]] == [
            python.decode(w, skip_special_tokens=skip) for w in wrapped[:1000]
        ]
    chars = sum(map(len, sentences))
    print(f"{SENTENCES} sentences, {chars} characters, best of {REPEATS}")

    cases = [
        ("encode", lambda t: [t.encode(s) for s in sentences]),
        ("decode", lambda t: [t.decode(w) for w in wrapped]),
        ("decode(skip_special_tokens=True)", lambda t: [t.decode(w, skip_special_tokens=True) for w in wrapped]),
    ]
    ratios = []
    total_ours = total_python = 0.0
    for name, run in cases:
        t_python, t_ours = best_time(lambda: run(python)), best_time(lambda: run(ours))
        total_ours += t_ours
        total_python += t_python
        ratios.append((t_python / t_ours, name))
        print(f"{name:34s} python {t_python * 1e3:8.1f} ms   ours {t_ours * 1e3:8.1f} ms   speed-up {t_python / t_ours:5.2f}x")
    print(
        f"{'encode + decode (all above)':34s} python {total_python * 1e3:8.1f} ms   ours {total_ours * 1e3:8.1f} ms   "
        f"speed-up {total_python / total_ours:5.2f}x"
    )
    worst, name = min(ratios)
    print(f"worst speed-up (ours vs plain Python): {worst:.2f}x ({name}); bar: at least 3x")


if __name__ == "__main__":
    main()
