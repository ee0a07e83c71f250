"""Conformer encoder: the layer against plain tensor operations (rotary positions written with complex
numbers, the depthwise convolution tap by tap), invariance to padding on either side (padding never
leaks, positions are relative), the encoder option of the assembled model (dropout sharing, fused
attention, bad arguments), a training step through the speech trainer and a model file round trip."""

import math

import numpy as np
import pytest
import torch
import torch.nn.functional as F
import yaml

import tiny
from velkor.model import ConformerEncoderLayer, EncoderDecoderTransformer

pytestmark = pytest.mark.usefixtures("single_thread")


def reference_layer(x, layer, pad):
    """The Conformer layer from its weights: (output, head-averaged attention weights)."""

    def norm(h, m):
        return F.layer_norm(h, m.normalized_shape, m.weight, m.bias, m.eps)

    def half_ffn(h, f):
        first, last = f.ffn[0], f.ffn[3]
        return h + 0.5 * (F.silu(norm(h, f.norm) @ first.weight.T + first.bias) @ last.weight.T + last.bias)

    def attention(h, a):
        batch, t, d = h.shape
        heads = a.num_heads
        hd = d // heads
        q, k, v = (
            z.reshape(batch, t, heads, hd).transpose(1, 2) for z in (norm(h, a.norm) @ a.in_proj.weight.T + a.in_proj.bias).split(d, -1)
        )
        theta = 10000.0 ** (-torch.arange(0, hd, 2, dtype=torch.float64) / hd)
        turn = torch.exp(1j * torch.arange(t, dtype=torch.float64)[:, None] * theta)  # (t, hd / 2)

        def rotary(z):  # dimension pairs (i, i + hd / 2) as complex numbers, turned by position * theta_i
            c = torch.complex(z[..., : hd // 2].double(), z[..., hd // 2 :].double()) * turn
            return torch.cat([c.real, c.imag], -1).float()

        scores = rotary(q) @ rotary(k).transpose(-1, -2) / math.sqrt(hd)
        p = scores.masked_fill(pad[:, None, None, :], float("-inf")).softmax(-1)
        out = (p @ v).transpose(1, 2).reshape(batch, t, d)
        return h + out @ a.out_proj.weight.T + a.out_proj.bias, p.mean(1)

    def convolution(h, c):
        d = h.shape[-1]
        g = norm(h, c.norm) @ c.pointwise_in.weight.T + c.pointwise_in.bias
        g = (g[..., :d] * torch.sigmoid(g[..., d:])).masked_fill(pad[..., None], 0.0)
        kernel = c.depthwise.kernel_size[0]
        padded = F.pad(g, (0, 0, kernel // 2, kernel // 2))
        conv = c.depthwise.bias + sum(padded[:, j : j + h.shape[1]] * c.depthwise.weight[:, 0, j] for j in range(kernel))
        return h + F.silu(norm(conv, c.depthwise_norm)) @ c.pointwise_out.weight.T + c.pointwise_out.bias

    h = half_ffn(x, layer.ffn1)
    h, weights = attention(h, layer.self_attn)
    h = half_ffn(convolution(h, layer.conv), layer.ffn2)
    return norm(h, layer.norm), weights


def test_layer_matches_primitives(ref):
    layer = ref.randomize(ConformerEncoderLayer(16, 2, 24, conv_kernel_size=5))
    x = torch.randn(3, 9, 16)
    pad = torch.zeros(3, 9, dtype=torch.bool)
    pad[1, 6:] = True
    pad[2, 2:] = True
    expected, expected_weights = reference_layer(x, layer, pad)
    with torch.no_grad():
        out, weights = layer(x, pad)
        fused, none = layer(x, pad, need_weights=False)
    torch.testing.assert_close(out, expected, rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(weights, expected_weights, rtol=1e-4, atol=1e-5)
    torch.testing.assert_close(fused, out, rtol=1e-4, atol=1e-4)
    assert none is None


@pytest.mark.parametrize("left, right", [(0, 4), (3, 0), (2, 5)])
@pytest.mark.parametrize("need_weights", [True, False])
def test_padding_on_either_side_changes_no_real_frame(ref, left, right, need_weights):
    """Garbage frames masked before or after an utterance leave its frames as they are alone: padding
    never leaks (attention masks, convolution input zeroed) and positions are relative (rotary)."""
    layer = ref.randomize(ConformerEncoderLayer(16, 4, 32, conv_kernel_size=7))
    x = torch.randn(1, 6, 16)
    garbage = lambda n: 1e3 * torch.randn(1, n, 16)  # noqa: E731
    padded = torch.cat([garbage(left), x, garbage(right)], 1)
    pad = torch.ones(1, padded.shape[1], dtype=torch.bool)
    pad[0, left : left + 6] = False
    with torch.no_grad():
        alone, alone_weights = layer(x, need_weights=need_weights)
        out, weights = layer(padded, pad, need_weights=need_weights)
    torch.testing.assert_close(out[:, left : left + 6], alone, rtol=1e-4, atol=1e-4)
    if need_weights:
        real = weights[:, left : left + 6]
        torch.testing.assert_close(real[..., left : left + 6], alone_weights, rtol=1e-4, atol=1e-6)
        assert torch.all(real[..., :left] == 0) and torch.all(real[..., left + 6 :] == 0)


def conformer_asr(num_classes, **sizes):
    return tiny.asr_model(num_classes=num_classes, encoder="conformer", conv_kernel_size=5, num_encoder_layers=2, **sizes)


def test_model_option_shares_dropout_and_runs_fused(char_tokenizer):
    model = conformer_asr(char_tokenizer.num_classes, dropout=0.2)
    assert model.encoder == "conformer" and all(type(layer) is ConformerEncoderLayer for layer in model.enc_layers)
    assert {id(m) for m in model.modules() if isinstance(m, torch.nn.Dropout)} == {id(model.dropout)}
    assert model.enc_layers[0].conv.depthwise.kernel_size == (5,)
    feats, lengths = torch.randn(2, 20, 8), torch.tensor([20, 13])
    tokens = torch.randint(4, char_tokenizer.num_classes, (2, 5))
    model.eval()
    with torch.no_grad():
        logits, attention, ctc = model(feats, tokens, lengths)
        fused, empty, fused_ctc = model(feats, tokens, lengths, need_weights=False)
    assert sorted(attention) == ["layer1_dec_cross", "layer1_dec_self", "layer1_enc_self", "layer2_enc_self"] and empty == {}
    torch.testing.assert_close(fused, logits, rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(fused_ctc["log_probs"], ctc["log_probs"], rtol=1e-4, atol=1e-4)
    # The transformer encoder is still the default, with the same parameters as before.
    default = tiny.asr_model(num_classes=char_tokenizer.num_classes)
    assert default.encoder == "transformer" and type(default.enc_layers[0]).__name__ == "SelfAttentionEncoderLayer"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(encoder="lstm"), "encoder must be 'transformer' or 'conformer', got 'lstm'"),
        (dict(encoder="conformer", conv_kernel_size=4), "conv_kernel_size must be a positive odd number, got 4"),
        (dict(encoder="conformer", conv_kernel_size=0), "conv_kernel_size must be a positive odd number, got 0"),
        (dict(encoder="conformer", d_model=12, num_encoder_heads=4, num_decoder_heads=4), "d_model / num_heads = 3 is odd"),
    ],
)
def test_bad_encoder_arguments_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        tiny.asr_model(**kwargs)


def test_training_step_through_the_speech_trainer(asr_corpus, char_tokenizer, tmp_path, monkeypatch):
    """One epoch of the ASR trainer moves every encoder parameter (the gradient reaches them all)."""
    from velkor.data import ASRDataset
    from velkor.trainers.ombrel import ASRTrainer

    monkeypatch.chdir(tmp_path)
    config_file = tmp_path / "experiment.yaml"
    config_file.write_text("training:\n  gradient_accumulation_steps: 1\n")
    data = {
        "root": str(asr_corpus),
        "num_feats": 8,
        "norm": "cepstral",
        "specaug": False,
        "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2},
    }
    train = ASRDataset("train-clean-100", data, char_tokenizer, True)
    model = conformer_asr(char_tokenizer.num_classes).train()
    config = {
        "data": {"batch_size": 4, "num_feats": 8, "NUM_WORKERS": 0},
        "training": {"gradient_accumulation_steps": 1, "amp_dtype": "float32"},
        "loss": {"ctc_weight": 0.3},
    }
    trainer = ASRTrainer(model, char_tokenizer, config, "conformer", str(config_file), device="cpu")
    trainer.optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda _: 1.0)
    before = {n: p.detach().clone() for n, p in model.enc_layers.named_parameters()}
    loader = torch.utils.data.DataLoader(train, batch_size=4, collate_fn=train.collate_fn)
    metrics, _ = trainer._train_epoch(loader)
    assert all(np.isfinite(v) for v in metrics.values())
    unchanged = [n for n, p in model.enc_layers.named_parameters() if torch.equal(p, before[n])]
    assert unchanged == []


def test_model_file_round_trip(char_tokenizer, tmp_path):
    """An exported Conformer model rebuilds from its stored configuration and transcribes as its experiment."""
    from velkor import Recognizer, export_model, read_model_file

    sizes = dict(d_model=16, num_encoder_layers=2, num_decoder_layers=1, num_encoder_heads=2, num_decoder_heads=2)
    sizes.update(d_ff_encoder=32, d_ff_decoder=32, dropout=0.0, max_len=64, time_reduction=2, reduction_method="conv")
    sizes.update(encoder="conformer", conv_kernel_size=3)
    config = {
        "name": "tiny-conformer",
        "task": "asr",
        "data": {"root": "data", "batch_size": 1, "num_feats": 8, "norm": "none"},
        "model": sizes,
        "optimizer": {"name": "adamw", "lr": 0.001},
        "scheduler": {"name": "cosine"},
        "training": {"epochs": 1, "amp_dtype": "float32"},
        "recognition": {"beam_width": 2, "max_length": 8},
    }
    torch.manual_seed(3)
    model = EncoderDecoderTransformer(8, char_tokenizer.num_classes, **sizes)
    expt = tmp_path / "expts" / "tiny-conformer"
    (expt / "checkpoints").mkdir(parents=True)
    (expt / "config.yaml").write_text(yaml.safe_dump(config))
    char_tokenizer.save(expt / "tokenizer.json")
    torch.save({"model_state_dict": model.state_dict(), "epoch": 1}, expt / "checkpoints" / "checkpoint-best-metric-model.pth")

    path = export_model(expt, tmp_path / "conformer.vkm")
    content = read_model_file(path)
    assert content["config"]["model"]["encoder"] == "conformer"
    assert all(torch.equal(content["state_dict"][k], v) for k, v in model.state_dict().items())
    rng = np.random.default_rng(0)
    inputs = [rng.normal(size=(8, n)).astype(np.float32) for n in (40, 27)]
    expected = Recognizer.from_experiment(expt).transcribe(inputs, beam_width=2)
    got = Recognizer.from_file(path).transcribe(inputs, beam_width=2)
    assert [(r["text"], r["tokens"]) for r in got] == [(r["text"], r["tokens"]) for r in expected]
