"""The speech dataset: transcripts tokenized as the decoder reads them, subsets, float64-exact global
statistics, normalization, collation and SpecAugment on training batches only."""

import collections
import os

import numpy as np
import pytest
import torch
from conftest import PairTokenizer, asr_config, make_asr_partition, random_features, save_transcript

from velkor.data.brenvik import ASRDataset, FrequencyMasking, TimeMasking

TRAIN = "train-clean-100"
TEXTS = ["hello world", "abc", "x", "a longer transcript here", "yo", "the end"]


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def build(tmp_path, rng, count=6, texts=TEXTS, partition=TRAIN, kind="unicode", **config):
    features = random_features(rng, count)
    make_asr_partition(tmp_path, partition, features, None if texts is None else texts[:count], kind=kind)
    return features, asr_config(tmp_path, **config)


def test_attributes_in_order_and_transcripts_tokenized(tmp_path, rng, tokenizer):
    features, config = build(tmp_path, rng, norm="global_mvn")
    ds = ASRDataset(TRAIN, config, tokenizer, 1)
    assert list(vars(ds)) == [
        "config", "partition", "isTrainPartition", "tokenizer", "eos_token", "sos_token", "pad_token",
        "fbank_dir", "fbank_files", "length", "text_dir", "text_files", "feats", "transcripts_shifted",
        "transcripts_golden", "total_chars", "total_tokens", "feat_max_len", "text_max_len",
        "avg_chars_per_token", "global_mean", "global_std", "time_mask", "freq_mask",
    ]  # fmt: skip
    assert ds.config is config and ds.isTrainPartition is True and len(ds) == ds.length == 6
    assert ds.fbank_dir == os.path.join(str(tmp_path), TRAIN, "fbank")
    assert [os.path.basename(f) for f in ds.fbank_files] == [f"utt{i:03d}.npy" for i in range(6)]
    for i, text in enumerate(TEXTS):
        ids = tokenizer.encode(text)
        assert ds.transcripts_shifted[i] == [1] + ids and ds.transcripts_golden[i] == ids + [2]
    tokens = sum(len(tokenizer.encode(t)) for t in TEXTS)
    assert ds.total_chars == sum(map(len, TEXTS)) and ds.total_tokens == tokens
    assert ds.get_avg_chars_per_token() == ds.total_chars / tokens
    assert ds.text_max_len == max(len(tokenizer.encode(t)) for t in TEXTS) + 1
    assert ds.feat_max_len == max(f.shape[1] for f in features)
    assert (ds.time_mask.mask_param, ds.freq_mask.mask_param) == (4, 3)
    assert ds.time_mask.iid_masks and ds.freq_mask.iid_masks


@pytest.mark.parametrize("kind", ["unicode", "object", "words"])
def test_transcript_kinds_give_the_same_text(tmp_path, rng, kind):
    texts = ["a b c", "unicode: é ü ñ 字", "two  spaces"]
    _, config = build(tmp_path, rng, count=3, texts=texts, kind=kind)
    tokenizer = PairTokenizer()
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    expected = [t + " " if kind == "words" else t for t in texts]  # word elements keep their blank
    assert tokenizer.seen == expected
    assert ds.total_chars == sum(map(len, expected))


@pytest.mark.parametrize(
    "settings, kept",
    [
        ({"subset_size": 0.5}, 5), ({"subset_size": 1.0}, 10), ({"subset_size": 3}, 3), ({"subset_size": 2.9}, 2),
        ({"subset_size": 0.05}, 0), ({"subset_size": -1}, 10), ({"subset_size": 0}, 10), ({"subset_size": 50}, 10),
        ({"subset": 4}, 4), ({"subset": 4, "subset_size": 0.2}, 2), ({}, 10),
    ],
)  # fmt: skip
def test_subset_keeps_the_first_sorted_files(tmp_path, rng, settings, kept):
    texts = [f"text {i}" for i in range(10)]
    _, config = build(tmp_path, rng, count=10, texts=texts, **settings)
    ds = ASRDataset(TRAIN, config, PairTokenizer(), True)
    assert len(ds) == len(ds.feats) == len(ds.text_files) == kept
    assert [os.path.basename(f) for f in ds.fbank_files] == [f"utt{i:03d}.npy" for i in range(kept)]
    if kept == 0:
        assert ds.get_avg_chars_per_token() == 0 and ds.feat_max_len == 0


def test_features_keep_their_dtype_and_are_cut_to_num_feats(tmp_path, rng, tokenizer):
    wide = rng.normal(size=(12, 7))  # float64, more rows than num_feats
    narrow = rng.integers(0, 9, size=(5, 4)).astype(np.int16)
    fortran = np.asfortranarray(rng.normal(size=(10, 6)).astype(np.float32))
    make_asr_partition(tmp_path, TRAIN, [wide, narrow, fortran], ["a", "b", "c"])
    ds = ASRDataset(TRAIN, asr_config(tmp_path), tokenizer, True)
    assert [f.dtype for f in ds.feats] == [np.float64, np.int16, np.float32]
    assert [f.shape for f in ds.feats] == [(8, 7), (5, 4), (8, 6)]
    np.testing.assert_array_equal(ds.feats[0], wide[:8])
    np.testing.assert_array_equal(ds.feats[2], fortran[:8])
    assert all(f.base is None or f.base.nbytes == f.nbytes for f in ds.feats)  # no hidden full-size copy
    x, _, _ = ds[1]
    assert x.dtype == torch.float32 and torch.equal(x, torch.tensor(narrow, dtype=torch.float32))
    x[:] = 99  # an item is the caller's to change; the stored features stay as loaded
    np.testing.assert_array_equal(ds.feats[1], narrow)
    ds[2][0].zero_()
    np.testing.assert_array_equal(ds.feats[2], fortran[:8])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_global_statistics_match_float64_over_all_frames(tmp_path, rng, dtype):
    features = random_features(rng, 6, frames=(1, 40), dtype=dtype, loc=12.0, scale=4.0)
    features.insert(0, np.zeros((8, 0), dtype=dtype))  # an empty utterance first must not poison the mean
    make_asr_partition(tmp_path, TRAIN, features, ["t"] * 7)
    ds = ASRDataset(TRAIN, asr_config(tmp_path, norm="global_mvn"), PairTokenizer(), True)
    frames = np.concatenate([f.astype(np.float32) for f in features], axis=1).astype(np.float64)
    assert ds.global_mean.dtype == ds.global_std.dtype == torch.float32 and ds.global_mean.shape == (8,)
    np.testing.assert_allclose(ds.global_mean.numpy(), frames.mean(axis=1), rtol=1e-6)
    np.testing.assert_allclose(ds.global_std.numpy(), np.sqrt(frames.var(axis=1, ddof=1) + 1e-8), rtol=1e-6)
    x, _, _ = ds[3]
    expected = (torch.tensor(features[3], dtype=torch.float32) - ds.global_mean[:, None]) / (ds.global_std[:, None] + 1e-8)
    torch.testing.assert_close(x, expected)


def test_validation_partition_needs_or_uses_given_statistics(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, partition="dev-clean", norm="global_mvn")
    with open(os.path.join(tmp_path, "dev-clean", "fbank", "utt000.npy"), "wb") as f:
        f.write(b"broken")  # proves the failure comes before any file is read
    message = "global_stats must be provided for non-training partitions when using global_mvn"
    with pytest.raises(ValueError, match=message):
        ASRDataset("dev-clean", config, tokenizer, False)
    os.remove(os.path.join(tmp_path, "dev-clean", "fbank", "utt000.npy"))
    np.save(os.path.join(tmp_path, "dev-clean", "fbank", "utt000.npy"), np.ones((8, 3), dtype=np.float32))
    mean, std = torch.arange(8.0), torch.full((8,), 2.0)
    ds = ASRDataset("dev-clean", config, tokenizer, False, global_stats=(mean, std))
    assert ds.global_mean is mean and ds.global_std is std
    torch.testing.assert_close(ds[0][0], (torch.ones(8, 3) - mean[:, None]) / (std[:, None] + 1e-8))
    ds.global_std = None
    with pytest.raises(AssertionError, match="Global mean and std must be computed before normalization"):
        ds[0]


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("dev-clean", collections.OrderedDict(), None, True), TypeError, "Argument 'config' must be of type dict, got OrderedDict"),
        ((7, {}, None, True), TypeError, "Argument 'partition' must be of type str, got int"),
        (("dev-clean", {}, None, True, [1, 2]), TypeError, "Argument 'global_stats' must be of type tuple, got list"),
    ],
)
def test_argument_types_are_checked(args, error, message):
    with pytest.raises(error, match=message):
        ASRDataset(*args)


def test_global_stats_must_be_a_pair(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, norm="global_mvn")
    with pytest.raises(ValueError, match="too many values to unpack"):
        ASRDataset(TRAIN, config, tokenizer, False, (torch.zeros(8), torch.ones(8), None))


def test_cepstral_normalizes_each_utterance_row(tmp_path, rng, tokenizer):
    features, config = build(tmp_path, rng, norm="cepstral")
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    assert not hasattr(ds, "global_mean")
    for i, _ in enumerate(features):
        x = ds[i][0].double()
        np.testing.assert_allclose(x.mean(1), 0, atol=1e-5)
        np.testing.assert_allclose(x.std(1), 1, rtol=1e-5)


def test_test_clean_has_no_transcripts(tmp_path, rng, tokenizer):
    features, config = build(tmp_path, rng, count=3, texts=None, partition="test-clean")
    ds = ASRDataset("test-clean", config, tokenizer, False)
    assert not hasattr(ds, "text_dir") and ds.text_max_len == 0 and ds.get_avg_chars_per_token() == 0
    assert ds[0][1:] == (None, None)
    feats, shifted, golden, feat_lengths, lengths = ds.collate_fn([ds[i] for i in range(3)])
    assert shifted is None and golden is None and lengths is None
    assert feat_lengths.tolist() == [f.shape[1] for f in features]


def test_mismatched_file_counts_are_refused(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, count=4)
    os.remove(os.path.join(tmp_path, TRAIN, "text", "utt002.npy"))
    with pytest.raises(ValueError, match="Number of feature and transcript files must match"):
        ASRDataset(TRAIN, config, tokenizer, True)


def test_collate_pads_features_and_transcripts(tmp_path, rng):
    features, config = build(tmp_path, rng, count=3, texts=["abcdefgh", "ab", "abcd"])
    tokenizer = PairTokenizer()
    tokenizer.pad_id = 7
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    feats, shifted, golden, feat_lengths, lengths = ds.collate_fn([ds[2], ds[0], ds[1]])
    frames = [features[i].shape[1] for i in (2, 0, 1)]
    assert feats.shape == (3, max(frames), 8) and feats.dtype == torch.float32
    for row, n in enumerate(frames):
        torch.testing.assert_close(feats[row, :n], ds[[2, 0, 1][row]][0].T)
        assert (feats[row, n:] == 0).all()
    assert feat_lengths.dtype == lengths.dtype == torch.int64
    assert feat_lengths.tolist() == frames and lengths.tolist() == [3, 5, 2]
    assert shifted.tolist()[2] == [1, tokenizer.encode("ab")[0], 7, 7, 7]
    assert golden.tolist()[2] == [tokenizer.encode("ab")[0], 2, 7, 7, 7]


def masked_fraction(batch):
    return (batch[0] == 0).float().mean().item()


@pytest.mark.parametrize("specaug, train, masked", [(True, True, True), (True, False, False), (False, True, False)])
def test_specaugment_only_on_training_batches(tmp_path, rng, specaug, train, masked):
    _, config = build(tmp_path, rng, count=6, norm="global_mvn", specaug=specaug)
    stats = (torch.zeros(8), torch.ones(8))
    ds = ASRDataset(TRAIN, config, PairTokenizer(), train, None if train else stats)
    torch.manual_seed(0)
    batches = [ds.collate_fn([ds[i] for i in range(6)]) for _ in range(10)]
    inside = [(b[0] == 0) & (torch.arange(b[0].shape[1])[None, :, None] < b[3][:, None, None]) for b in batches]
    assert any(z.any() for z in inside) == masked


def test_only_time_masks_when_frequency_masks_are_off(tmp_path, rng):
    _, config = build(tmp_path, rng, count=6, specaug=True)
    config["specaug_conf"]["apply_freq_mask"] = False
    ds = ASRDataset(TRAIN, config, PairTokenizer(), True)
    torch.manual_seed(1)
    feats = ds.collate_fn([ds[i] for i in range(6)])[0]
    zero = feats == 0
    # Every zero lies in a fully zeroed frame: no frequency band was masked on its own.
    assert zero.any() and torch.equal(zero, zero.all(dim=2, keepdim=True).expand_as(zero))


def test_in_place_masking_equals_applying_the_transforms(tmp_path, rng):
    _, config = build(tmp_path, rng, count=6, specaug=True)
    ds = ASRDataset(TRAIN, config, PairTokenizer(), True)
    items = [ds[i] for i in range(6)]
    torch.manual_seed(7)
    ours = ds.collate_fn(items)[0]
    torch.manual_seed(7)
    x = torch.nn.utils.rnn.pad_sequence([i[0].T for i in items], batch_first=True).permute(0, 2, 1)
    for _ in range(2):
        x = ds.freq_mask(x)
    for _ in range(2):
        x = ds.time_mask(x)
    torch.testing.assert_close(ours, x.permute(0, 2, 1), rtol=0, atol=0)


@pytest.mark.parametrize("masker, axis", [(FrequencyMasking(6, iid_masks=True), 1), (TimeMasking(6, iid_masks=True), 2)])
def test_mask_widths_are_uniform_below_the_parameter(masker, axis):
    torch.manual_seed(3)
    masked = masker(torch.ones(20000, 10, 10)) == 0
    widths = masked.any(dim=3 - axis).sum(dim=1)
    counts = torch.bincount(widths, minlength=7).float() / widths.numel()
    assert counts[6] == 0  # a width never reaches the parameter
    torch.testing.assert_close(counts[:6], torch.full((6,), 1 / 6), atol=0.02, rtol=0)
    spans = masked.any(dim=3 - axis)  # contiguous: as many masked entries as from first to last
    index = torch.arange(10)
    first = torch.where(spans, index, 10).min(1).values
    last = torch.where(spans, index, -1).max(1).values
    assert torch.equal(widths, torch.where(widths > 0, last - first + 1, 0))


def test_builtin_masker_agrees_with_torchaudio():
    try:
        import torchaudio.transforms as transforms
    except Exception as error:  # absent, or built for another torch (OSError from its libraries)
        pytest.skip(f"torchaudio cannot be loaded: {type(error).__name__}: {error}")
    theirs, ours = transforms.TimeMasking(5, iid_masks=True), TimeMasking(5, iid_masks=True)
    torch.manual_seed(0)
    a = (theirs(torch.ones(5000, 4, 30)) == 0).any(1).sum(1)
    torch.manual_seed(0)
    b = (ours(torch.ones(5000, 4, 30)) == 0).any(1).sum(1)
    torch.testing.assert_close(torch.bincount(a, minlength=5) / 5000.0, torch.bincount(b, minlength=5) / 5000.0, atol=0.03, rtol=0)


def test_malicious_transcript_is_refused_without_running(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, count=2)
    marker = tmp_path / "pwned"

    class Exploit:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    evil = os.path.join(tmp_path, TRAIN, "text", "utt001.npy")
    np.save(evil, np.array([Exploit()], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match=f"Refusing to load '{evil}'"):
        ASRDataset(TRAIN, config, tokenizer, True)
    assert not marker.exists()


@pytest.mark.parametrize(
    "array",
    [np.array([1, 2, 3]), np.array([b"ab", b"c"]), np.array([["a", "b"]]), np.array(["a", 3], dtype=object)],
)
def test_transcripts_that_are_not_string_arrays_are_refused(tmp_path, rng, tokenizer, array):
    _, config = build(tmp_path, rng, count=2)
    bad = os.path.join(tmp_path, TRAIN, "text", "utt000.npy")
    np.save(bad, array, allow_pickle=True)
    with pytest.raises(ValueError, match=f"Refusing to load '{bad}': expected a 1-D array of strings"):
        ASRDataset(TRAIN, config, tokenizer, True)


def test_read_errors_keep_their_type_and_name_the_file(tmp_path, rng, tokenizer):
    with pytest.raises(FileNotFoundError) as missing:
        ASRDataset(TRAIN, asr_config(tmp_path), tokenizer, True)
    assert os.path.join(str(tmp_path), TRAIN, "fbank") in missing.value.__notes__[0]

    _, config = build(tmp_path, rng, count=3)
    truncated = os.path.join(tmp_path, TRAIN, "fbank", "utt001.npy")
    data = open(truncated, "rb").read()
    with open(truncated, "wb") as f:
        f.write(data[:-10])
    with pytest.raises(ValueError) as broken:
        ASRDataset(TRAIN, config, tokenizer, True)
    assert truncated in broken.value.__notes__[0]


def test_statistics_need_num_feats_rows(tmp_path, tokenizer):
    make_asr_partition(tmp_path, TRAIN, [np.ones((8, 3), np.float32), np.ones((5, 3), np.float32)], ["a", "b"])
    with pytest.raises(ValueError, match="utt001.npy' has 5 feature rows, but global statistics need num_feats = 8"):
        ASRDataset(TRAIN, asr_config(tmp_path, norm="global_mvn"), tokenizer, True)


def test_missing_configuration_key_raises_key_error(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, count=2)
    del config["specaug_conf"]
    with pytest.raises(KeyError, match="specaug_conf"):
        ASRDataset(TRAIN, config, tokenizer, True)


def test_works_with_a_data_loader(tmp_path, rng, tokenizer):
    _, config = build(tmp_path, rng, count=6, texts=TEXTS)
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    loader = torch.utils.data.DataLoader(ds, batch_size=4, collate_fn=ds.collate_fn)
    assert [b[0].shape[0] for b in loader] == [4, 2]


class RawObjectArray:
    """Pickles as numpy.ndarray((1,), object, buffer): an object array over arbitrary memory."""

    def __reduce__(self):
        return (np.ndarray, ((1,), np.dtype(object), b"\x41" * 8))


@pytest.mark.parametrize("payload", [np.array([RawObjectArray()], dtype=object), "truncated"])
def test_crafted_object_arrays_are_refused(tmp_path, rng, tokenizer, payload):
    _, config = build(tmp_path, rng, count=2)
    bad = os.path.join(tmp_path, TRAIN, "text", "utt000.npy")
    if isinstance(payload, str):
        save_transcript(bad, "abc", "object")
        data = open(bad, "rb").read()
        open(bad, "wb").write(data[:-5])
    else:
        np.save(bad, payload, allow_pickle=True)
    with pytest.raises(ValueError, match=f"Refusing to load '{bad}': expected a 1-D array of strings, but"):
        ASRDataset(TRAIN, config, tokenizer, True)


@pytest.mark.parametrize(
    "attribute, value, error",
    [
        ("axis", 3, "axis must be 1 \\(frequency\\) or 2 \\(time\\), got 3"),
        ("axis", -1, "axis must be 1"),
        ("axis", "2", "Argument 'axis' must be of type int"),
        ("mask_param", 2**70, "Argument 'mask_param' is out of range"),
        ("p", float("nan"), "p must be between 0.0 and 1.0"),
    ],
)
def test_masker_attributes_are_checked_when_used(attribute, value, error):
    masker = TimeMasking(3, iid_masks=True)
    setattr(masker, attribute, value)
    with pytest.raises((ValueError, TypeError, OverflowError), match=error):
        masker(torch.zeros(1, 2, 3))


def test_huge_mask_parameters_mask_within_bounds():
    masked = TimeMasking(2**62, iid_masks=True)(torch.ones(50, 3, 7)) == 0
    assert masked.shape == (50, 3, 7)  # spans wider than the axis are cut to it


def test_a_masker_moved_to_another_axis_is_applied_as_it_is(tmp_path, rng):
    _, config = build(tmp_path, rng, count=4, specaug=True)
    config["specaug_conf"]["apply_time_mask"] = False
    ds = ASRDataset(TRAIN, config, PairTokenizer(), True)
    ds.freq_mask.axis = 2  # now masks time frames: the in-place path must not treat it as frequency masking
    torch.manual_seed(2)
    zero = ds.collate_fn([ds[i] for i in range(4)])[0] == 0
    assert torch.equal(zero, zero.all(dim=2, keepdim=True).expand_as(zero))


@pytest.mark.parametrize("key, value", [("num_freq_mask", 1.5), ("num_time_mask", "2"), ("num_time_mask", True)])
def test_mask_counts_must_be_integers(tmp_path, rng, key, value):
    _, config = build(tmp_path, rng, count=2, specaug=True)
    config["specaug_conf"][key] = value
    ds = ASRDataset(TRAIN, config, PairTokenizer(), True)
    with pytest.raises(TypeError, match=f"Configuration key '{key}' must be of type int"):
        ds.collate_fn([ds[0], ds[1]])


@pytest.mark.parametrize("norm", ["global_mvn", "none"])
@pytest.mark.parametrize("array", [np.array([["a", "b"]] * 8), np.zeros((8, 3), dtype=[("x", "<f4")]), np.zeros((8, 3), dtype=complex)])
def test_feature_files_that_do_not_hold_numbers_are_refused(tmp_path, rng, norm, array):
    _, config = build(tmp_path, rng, count=2, norm=norm)
    bad = os.path.join(tmp_path, TRAIN, "fbank", "utt001.npy")
    np.save(bad, array)
    with pytest.raises(ValueError) as error:
        ASRDataset(TRAIN, config, PairTokenizer(), True)
    assert repr(bad) in str(error.value) + str(getattr(error.value, "__notes__", ""))


@pytest.mark.parametrize("norm", ["global_mvn", "cepstral", "none"])
def test_big_endian_feature_files_read_as_their_values(tmp_path, rng, norm):
    features, config = build(tmp_path / "native", rng, count=3, norm=norm)
    native = ASRDataset(TRAIN, config, PairTokenizer(), True)
    make_asr_partition(tmp_path / "big", TRAIN, [x.astype(">f4") for x in features], TEXTS[:3])
    ds = ASRDataset(TRAIN, asr_config(tmp_path / "big", norm=norm), PairTokenizer(), True)
    for i, x in enumerate(features):
        assert ds.feats[i].dtype == np.float32 and ds.feats[i].dtype.isnative
        np.testing.assert_array_equal(ds.feats[i], x)
        torch.testing.assert_close(ds[i][0], native[i][0], rtol=0, atol=0)


@pytest.mark.parametrize("broken", [True, False])
def test_a_broken_torchaudio_is_reported_once_and_replaced(tmp_path, rng, broken):
    import subprocess
    import sys

    fake = tmp_path / "site" / "torchaudio"
    fake.mkdir(parents=True)
    error = "raise OSError('libc10_cuda.so: cannot open shared object file')" if broken else "raise ModuleNotFoundError(name='torchaudio')"
    (fake / "__init__.py").write_text(error + "\n")
    make_asr_partition(tmp_path, "train-clean-100", random_features(rng, 2), ["ab", "cd"])
    code = (
        "import warnings, velkor.data.brenvik as b\n"
        "warnings.simplefilter('always')\n"
        "from velkor.data.tokenizer import BrixTokenizer\n"
        f"config = {asr_config(tmp_path)!r}\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    for _ in range(2):\n"
        "        d = b.ASRDataset('train-clean-100', config, BrixTokenizer(), True)\n"
        "assert type(d.time_mask) is b.TimeMasking\n"
        "print(len(caught), *[str(w.message) for w in caught])\n"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path / "site"), *sys.path])}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    out = out.splitlines()[-1]
    if broken:
        assert out.startswith("1 torchaudio is installed but could not be loaded (OSError: libc10_cuda.so")
    else:
        assert out.strip() == "0"
