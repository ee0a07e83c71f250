"""The tokenizer: special ids, round trips of characters and subwords, save/load/pickle, and refusal of
bad ids, arguments and foreign files."""

import copy
import pickle

import numpy as np
import pytest
import sentencepiece as spm
import torch
from hypothesis import given, settings
from hypothesis import strategies as st

from velkor.data.tokenizer import DEFAULT_CHARACTERS, BrixTokenizer

UNK = "⁇"
CORPUS = [
    "the quick brown fox jumps over the lazy dog",
    "she sells sea shells by the sea shore",
    "a speech recognizer turns sound into text",
    "language models predict the next token",
] * 25


def expected_char_decode(text, characters=DEFAULT_CHARACTERS, lowercase=True):
    source = text.lower() if lowercase else text
    return "".join(c if c in characters else UNK for c in source)


@pytest.fixture(scope="module")
def subword():
    return BrixTokenizer.train_subword(CORPUS, 60, model_type="bpe")


def test_special_id_layout():
    tok = BrixTokenizer()
    ids = {tok.pad_id, tok.sos_id, tok.eos_id, tok.unk_id}
    assert len(ids) == 4 and max(ids) < tok.num_classes
    assert tok.num_classes == 4 + len(DEFAULT_CHARACTERS)


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_char_round_trip_on_arbitrary_text(text):
    tok = BrixTokenizer()
    ids = tok.encode(text)
    assert type(ids) is list and all(type(i) is int for i in ids)
    assert all(4 <= i < tok.num_classes or i == tok.unk_id for i in ids)
    assert tok.decode(ids) == expected_char_decode(text)
    assert tok.decode(ids, skip_special_tokens=True) == expected_char_decode(text)


@settings(max_examples=100, deadline=None)
@given(st.text(alphabet="aBcé ЖжΣ😀'.", max_size=40), st.booleans())
def test_custom_characters_and_case(text, lowercase):
    characters = "abcé жσ😀'"
    tok = BrixTokenizer(characters=characters, lowercase=lowercase)
    assert tok.decode(tok.encode(text)) == expected_char_decode(text, characters, lowercase)


def test_encode_is_concatenable_without_specials():
    tok = BrixTokenizer()
    ids = [tok.sos_id] + tok.encode("hello world") + [tok.eos_id]
    assert tok.decode(ids) == "<sos>hello world<eos>"
    assert tok.encode("") == []


@pytest.mark.parametrize("wrap", [list, tuple, torch.tensor, np.array, lambda ids: torch.tensor(ids, dtype=torch.int32)])
def test_decode_accepts_lists_and_1d_arrays(wrap):
    tok = BrixTokenizer()
    ids = [tok.sos_id] + tok.encode("it's 9!") + [tok.eos_id, tok.pad_id, tok.pad_id]
    assert tok.decode(wrap(ids), skip_special_tokens=True) == "it's 9!"
    assert tok.decode(wrap(ids)) == "<sos>it's 9!<eos><pad><pad>"


@pytest.mark.parametrize(
    "ids, error, message",
    [
        ([4, 999], ValueError, "Token id 999 is out of range for a vocabulary of"),
        ([-1], ValueError, "Token id -1 is out of range"),
        ([4, 2**64], ValueError, "Token id 18446744073709551616 is out of range"),
        ([-(2**70)], ValueError, "Token id -1180591620717411303424 is out of range"),
        ([np.uint64(2**63)], ValueError, "Token id 9223372036854775808 is out of range"),
        (torch.zeros(2, 3, dtype=torch.long), ValueError, "1-D"),
        (torch.tensor(5), ValueError, "1-D"),
        ([4.0], TypeError, "float"),
        ("abc", TypeError, "Argument 'ids' must be of type list, got str"),
    ],
)
def test_decode_rejects_bad_ids(ids, error, message):
    with pytest.raises(error, match=message):
        BrixTokenizer().decode(ids)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"token_type": "bpe"}, ValueError, "token_type must be 'char' or 'subword'"),
        ({"token_type": "subword"}, ValueError, "needs a model_file"),
        ({"model_file": "x.model"}, ValueError, "model_file is only used with token_type 'subword'"),
        ({"characters": "abca"}, ValueError, "Duplicate character 'a'"),
        ({"characters": ""}, ValueError, "characters must not be empty"),
        ({"characters": ["a"]}, TypeError, "Argument 'characters' must be of type str, got list"),
        ({"token_type": 1}, TypeError, "Argument 'token_type' must be of type str, got int"),
    ],
)
def test_constructor_rejects_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        BrixTokenizer(**kwargs)


def test_encode_rejects_non_text():
    with pytest.raises(TypeError, match="Argument 'text' must be of type str, got bytes"):
        BrixTokenizer().encode(b"abc")


def test_subword_round_trip_and_specials(subword):
    assert (subword.pad_id, subword.sos_id, subword.eos_id, subword.unk_id) == (0, 1, 2, 3)
    assert subword.num_classes == 60
    for line in CORPUS[:4]:
        ids = subword.encode(line.upper())  # lower-cased before encoding
        assert ids and all(i not in (0, 1, 2) and 0 <= i < 60 for i in ids)
        assert subword.decode(ids) == line
        wrapped = [1] + ids + [2, 0]
        assert subword.decode(wrapped, skip_special_tokens=True) == line
        assert subword.decode(wrapped) == "<sos>" + line + "<eos><pad>"


def test_subword_from_model_file_and_corpus_file(tmp_path, subword):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(CORPUS) + "\n", encoding="utf-8")
    trained = BrixTokenizer.train_subword(str(corpus), 40, model_type="unigram", lowercase=False)
    assert trained.lowercase is False and trained.num_classes == 40
    model_file = tmp_path / "sub.model"
    model_file.write_bytes(subword.__getstate__()["model_proto"])
    loaded = BrixTokenizer("subword", model_file=model_file)
    assert loaded.encode(CORPUS[1]) == subword.encode(CORPUS[1])


def test_subword_model_without_padding_is_refused(tmp_path):
    prefix = tmp_path / "plain"
    spm.SentencePieceTrainer.train(sentence_iterator=iter(CORPUS), model_prefix=str(prefix), vocab_size=40, minloglevel=2)
    with pytest.raises(ValueError, match="has no padding piece"):
        BrixTokenizer("subword", model_file=f"{prefix}.model")


@pytest.mark.parametrize(
    "make",
    [
        lambda: BrixTokenizer(),
        lambda: BrixTokenizer(characters="xyzé😀 ", lowercase=False),
        lambda: BrixTokenizer.train_subword(CORPUS, 45, model_type="bpe"),
    ],
)
def test_save_load_pickle_copy_round_trips(tmp_path, make):
    tok = make()
    path = tmp_path / "tok.json"
    tok.save(path)
    text = "The lazy dog sells xyz é 😀"
    for other in (BrixTokenizer.load(path), pickle.loads(pickle.dumps(tok)), copy.deepcopy(tok)):
        assert type(other) is BrixTokenizer
        for attr in ("token_type", "lowercase", "characters", "pad_id", "sos_id", "eos_id", "unk_id", "num_classes"):
            assert getattr(other, attr) == getattr(tok, attr)
        assert other.encode(text) == tok.encode(text)
        assert other.decode(tok.encode(text)) == tok.decode(tok.encode(text))


@pytest.mark.parametrize(
    "content, message",
    [("not json", "not JSON"), ('{"format": "other"}', "missing format marker"), ("[1, 2]", "expected a JSON object")],
)
def test_load_refuses_foreign_files(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_text(content)
    with pytest.raises(ValueError, match=f"bad.json is not a saved BrixTokenizer.*{message}"):
        BrixTokenizer.load(path)


class Reinitializing:
    """An id (or a sequence of ids) whose conversion rebuilds the tokenizer decoding it."""

    def __init__(self, tokenizer, how, value):
        self.tokenizer, self.how, self.value = tokenizer, how, value

    def rebuild(self):
        if self.how == "init":
            self.tokenizer.__init__(characters="xyz")
        else:
            self.tokenizer.__setstate__(BrixTokenizer(characters="xyz").__getstate__())

    def __index__(self):
        self.rebuild()
        return self.value

    def tolist(self):
        self.rebuild()
        return self.value


@pytest.mark.parametrize("how", ["init", "setstate"])
def test_decode_keeps_its_vocabulary_while_ids_run_python_code(how):
    tok = BrixTokenizer(characters="abcdefgh")
    assert tok.decode([4, Reinitializing(tok, how, 11)]) == "ah"  # decoded with the vocabulary it started with
    assert tok.characters == "xyz" and tok.decode([4, 6]) == "xz"
    tok = BrixTokenizer(characters="abcdefgh")
    assert tok.decode(Reinitializing(tok, how, [5, 11])) == "bh"
