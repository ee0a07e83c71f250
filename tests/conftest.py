"""Fixtures shared by the whole suite: the tiny models, tokenizer and corpora of tests/tiny.py, and
one torch thread for modules of tiny models (opt in with
`pytestmark = pytest.mark.usefixtures("single_thread")`).

Directories keep their own conftest.py for what only they use; a fixture of the same name there
takes precedence over the one here."""

import pytest
import torch

import tiny


@pytest.fixture(scope="module")
def single_thread():
    """One intra-op thread for a module's tests: tiny models are only slowed down by more threads on
    a shared machine."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


@pytest.fixture
def char_tokenizer():
    """The default character-level BrixTokenizer."""
    from velkor.data import BrixTokenizer

    return BrixTokenizer()


@pytest.fixture
def tiny_asr(char_tokenizer):
    """tiny.asr_model over 8 features and the character vocabulary."""
    return tiny.asr_model(input_dim=8, num_classes=char_tokenizer.num_classes)


@pytest.fixture
def tiny_lm(char_tokenizer):
    """tiny.lm_model over the character vocabulary."""
    return tiny.lm_model(num_classes=char_tokenizer.num_classes)


@pytest.fixture
def lm_corpus(tmp_path):
    """A language-model root: "train" (the 12 tiny.TEXTS) and "val" (the first 6)."""
    root = tmp_path / "lm"
    tiny.write_lm_partition(root, "train", tiny.TEXTS)
    tiny.write_lm_partition(root, "val", tiny.TEXTS[:6])
    return root


@pytest.fixture
def asr_corpus(tmp_path):
    """A speech root of 8-dimensional features: "train-clean-100" (12 utterances), "dev-clean" (6) and
    "test-clean" (5, without transcripts)."""
    root = tmp_path / "speech"
    tiny.write_asr_partition(root, "train-clean-100", 12, seed=0)
    tiny.write_asr_partition(root, "dev-clean", 6, seed=1)
    tiny.write_asr_partition(root, "test-clean", 5, seed=2, transcripts=False)
    return root
