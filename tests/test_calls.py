"""How every C++ function and method binds its arguments: the errors users get from bad calls."""

import json

import numpy as np
import pytest
import torch

from tessom.nn.linear import Linear
from velkor.data import BrixTokenizer
from velkor.data.brenvik import FrequencyMasking, TimeMasking
from velkor.model.lunmark import SelfAttentionEncoderLayer
from velkor.model.pellith import FeedForwardLayer
from velkor.model.sollund import Conv2DSubsampling, SpeechEmbedding, StackedBLSTMEmbedding
from velkor.utils.tamblor import _epochs_to_steps

SURROGATE = json.loads('"\\udc80"')  # what json.loads makes of a broken escape in a config file

# (callable, valid keyword arguments) over a method, an initializer, a static method and a function.
CALLS = [
    (BrixTokenizer().encode, {"text": "a"}),
    (FeedForwardLayer, {"d_model": 4, "d_ff": 8}),
    (BrixTokenizer.load, {"path": "/nonexistent"}),
    (_epochs_to_steps, {"epochs": 1, "train_loader": [1]}),
    (Linear, {"in_features": 2, "out_features": 3}),
]


@pytest.mark.parametrize("fn, kwargs", CALLS)
def test_keyword_names_that_are_not_utf8_are_unexpected_keywords(fn, kwargs):
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument '\\udc80'"):
        fn(**kwargs, **{SURROGATE: 1})


def test_a_method_shared_by_two_classes_names_the_class_it_is_called_through():
    FrequencyMasking(3)  # installed first, so a per-description binding would carry its name
    with pytest.raises(TypeError, match=r"^TimeMasking\.forward\(\) got an unexpected keyword argument 'bad'"):
        TimeMasking(3)(torch.zeros(1, 2, 3), bad=1)
    for cls, args in [(Conv2DSubsampling, (10, 4)), (StackedBLSTMEmbedding, (4, 4, 4)), (SpeechEmbedding, (4, 4))]:
        with pytest.raises(TypeError, match=rf"^{cls.__name__}\.closest_factors\(\) missing 1 required argument: 'n'"):
            cls(*args).closest_factors()
    with pytest.raises(TypeError, match=r"^BrixTokenizer\.load\(\) missing 1 required argument: 'path'"):
        BrixTokenizer.load()


def test_method_descriptors_bind_by_hand():
    # descr.__get__(obj) with no owner is how functools and some decorators bind; it must not
    # reach the interpreter's METH_METHOD path, which crashes on 3.11.
    from velkor.data import BrixTokenizer

    tokenizer = BrixTokenizer()
    assert BrixTokenizer.encode.__get__(tokenizer)("ab") == tokenizer.encode("ab")
    assert BrixTokenizer.encode.__get__(tokenizer, None)("ab") == tokenizer.encode("ab")


@pytest.mark.parametrize(
    "make, name",
    [
        (lambda v: FeedForwardLayer(v, 8), "d_model"),
        (lambda v: SelfAttentionEncoderLayer(4, 2, v), "d_ff"),
        (lambda v: _epochs_to_steps(1, [1], v), "gradient_accumulation_steps"),
        (lambda v: BrixTokenizer.train_subword(["a"], v), "vocab_size"),
    ],
)
@pytest.mark.parametrize("value", [2**64, -(2**63) - 1, 10**400])
def test_integers_beyond_64_bits_name_their_argument(make, name, value):
    with pytest.raises(OverflowError, match=f"Argument '{name}' is out of range"):
        make(value)


@pytest.mark.parametrize(
    "make",
    [
        lambda v: FeedForwardLayer(4, 8, dropout=v),
        lambda v: SelfAttentionEncoderLayer(4, 2, 8, dropout=v),
        lambda v: TimeMasking(3, p=v),
        lambda v: SpeechEmbedding(4, 4, dropout=v),
    ],
)
@pytest.mark.parametrize("value", ["0.25", "nan", b"1", None, [0.5]])
def test_float_parameters_refuse_what_is_not_a_real_number(make, value):
    with pytest.raises(TypeError, match=r"Argument '(dropout|p)' must be of type float"):
        make(value)


@pytest.mark.parametrize("value", [np.float32(0.25), np.float64(0.25), 0, 1, torch.tensor(0.5)])
def test_float_parameters_take_real_numbers(value):
    layer = FeedForwardLayer(4, 8, dropout=value)
    assert layer.dropout.p == float(value)


def test_huge_floats_name_their_argument():
    with pytest.raises(OverflowError, match="Argument 'dropout' is out of range"):
        FeedForwardLayer(4, 8, dropout=10**400)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda s: BrixTokenizer(token_type=s), "token_type"),
        (lambda s: BrixTokenizer(characters="ab" + s), "characters"),
        (lambda s: SpeechEmbedding(4, 4, reduction_method=s), "reduction_method"),
    ],
)
def test_text_arguments_with_lone_surrogates_name_the_argument(call, name):
    with pytest.raises(ValueError, match=f"Argument '{name}' is not valid text"):
        call(SURROGATE)
