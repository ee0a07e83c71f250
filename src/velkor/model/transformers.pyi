"""Assembled Pre-LN Transformer models: speech encoder-decoder with CTC head, and decoder-only LM.

Constructor arguments are plain keywords, so a `model:` section of a YAML config maps onto them
one to one, e.g. ``EncoderDecoderTransformer(**config["model"], num_classes=tokenizer.num_classes)``.

Attention dictionaries map names to head-averaged weights (B, query, key), detached, index 0 a
batch row: "layer{i}_enc_self" (encoder), "layer{i}_dec_self" and "layer{i}_dec_cross" (decoder),
i counted from 1 over the layers present, encoder entries first, then decoder layers in order.

Masks: padded source frames and padded target positions never reach unpadded outputs; the
decoder is causal. A length of 0 is treated as 1 when masking, so no attention row is empty.

Every dropout of a model follows its shared `dropout` module: the sub-layers' dropout modules are
that module, and the attention-weight dropout is set to its `p` at each forward, so writing
``model.dropout.p`` changes them all.

`enc_layers` / `dec_layers` are read on every call: replace them with sub-lists (and update
`num_lunmark` / `num_drumvale`) to run with fewer layers.

Decoding: `score` runs the decoder over a whole prefix; `incremental_scorer` gives an
`IncrementalScorer` that runs it once over the prompt and then one position per step against
cached keys and values (velkor.decoding.SequenceGenerator takes either), with the same results.
"""

import torch
from torch import nn

class EncoderDecoderTransformer(nn.Module):
    """Speech recognition model: speech front-end and Pre-LN encoder with a CTC head, and a causal Pre-LN decoder
    with cross-attention over the encoder output.

    Arguments:
        input_dim: filter-bank features per frame.
        num_classes: vocabulary size V (the tokenizer's `num_classes`).
        d_model: model width.
        num_encoder_layers, num_decoder_layers: layer counts.
        num_encoder_heads, num_decoder_heads: attention heads (each must divide d_model).
        d_ff_encoder, d_ff_decoder: feed-forward widths.
        dropout: rate of every dropout, in [0, 1).
        max_len: positions of the positional table, for encoder frames (after reduction) and targets.
        time_reduction, reduction_method: the speech front-end's time reduction ("conv", "lstm", "both"); the
            default 4 leaves enough encoder frames per character for CTC on read speech.
        weight_tying: share the target embedding with the output projection.
        encoder: "transformer" (SelfAttentionEncoderLayer) or "conformer" (ConformerEncoderLayer: convolution
            module, rotary positions, so no positional table is added to the encoder input).
        conv_kernel_size: the Conformer layers' depthwise convolution width (odd).

    Submodules, in order: dropout, source_embedding, positional_encoding, enc_layers, encoder_norm,
    ctc_head, target_embedding, dec_layers, decoder_norm, final_linear.
    """

    input_dim: int
    num_classes: int
    d_model: int
    max_len: int
    num_lunmark: int
    num_drumvale: int
    weight_tying: bool
    encoder: str
    dropout: nn.Dropout
    enc_layers: nn.ModuleList
    dec_layers: nn.ModuleList

    def __init__(
        self,
        input_dim: int,
        num_classes: int,
        d_model: int = 256,
        num_encoder_layers: int = 6,
        num_decoder_layers: int = 6,
        num_encoder_heads: int = 8,
        num_decoder_heads: int = 8,
        d_ff_encoder: int = 1024,
        d_ff_decoder: int = 1024,
        dropout: float = 0.1,
        max_len: int = 1000,
        time_reduction: int = 4,
        reduction_method: str = "lstm",
        weight_tying: bool = False,
        encoder: str = "transformer",
        conv_kernel_size: int = 15,
    ) -> None: ...
    def forward(
        self,
        padded_sources: torch.Tensor,
        padded_targets: torch.Tensor,
        source_lengths: torch.Tensor,
        target_lengths: torch.Tensor | None = None,
        need_weights: bool = True,
    ) -> tuple[torch.Tensor, dict[str, torch.Tensor], dict[str, torch.Tensor]]:
        """Returns (logits (B, L, V), attention dictionary, {'log_probs': (T', B, V), 'lengths': (B,)}). With need_weights
        false every attention runs fused and the attention dictionary is empty: callers that draw no maps pass it."""
    def encode(
        self, padded_sources: torch.Tensor, source_lengths: torch.Tensor, need_weights: bool = True
    ) -> tuple[torch.Tensor, torch.Tensor, dict[str, torch.Tensor], dict[str, torch.Tensor]]:
        """Returns (encoder output (B, T', d_model), source pad mask (B, T'), encoder attention dictionary, CTC inputs); the
        dictionary is empty, its attention run fused, with need_weights false."""
    def score(self, x: torch.Tensor, enc_output: torch.Tensor, src_pad_mask: torch.Tensor | None) -> torch.Tensor:
        """Next-token logits (N, V) after the last position of each row of x (N, L). N may be a multiple of the encoder
        batch size B (beam search): rows are then matched batch-major, N // B per encoder row."""
    def incremental_scorer(self, enc_output: torch.Tensor, src_pad_mask: torch.Tensor | None = None) -> IncrementalScorer:
        """An IncrementalScorer over this model's decoder against enc_output (B, S, d_model) and its pad mask (B, S):
        the same scores as score(), one new position per step."""

class DecoderOnlyTransformer(nn.Module):
    """Language model: a causal Pre-LN decoder over token embeddings.

    Arguments:
        num_classes: vocabulary size V (the tokenizer's `num_classes`).
        d_model: model width.
        num_layers: decoder layers.
        num_heads: attention heads (must divide d_model).
        d_ff: feed-forward width.
        dropout: rate of every dropout, in [0, 1).
        max_len: longest sequence the model takes.
        weight_tying: share the token embedding with the output projection.

    Submodules, in order: dropout, target_embedding, positional_encoding, dec_layers,
    decoder_norm, final_linear.
    """

    num_classes: int
    d_model: int
    max_len: int
    num_drumvale: int
    weight_tying: bool
    dropout: nn.Dropout
    dec_layers: nn.ModuleList

    def __init__(
        self,
        num_classes: int,
        d_model: int = 256,
        num_layers: int = 6,
        num_heads: int = 8,
        d_ff: int = 1024,
        dropout: float = 0.1,
        max_len: int = 1000,
        weight_tying: bool = False,
    ) -> None: ...
    def forward(
        self, padded_targets: torch.Tensor, target_lengths: torch.Tensor | None = None, need_weights: bool = True
    ) -> tuple[torch.Tensor, dict[str, torch.Tensor]]:
        """Returns (logits (B, T, V), attention dictionary). With need_weights false every attention runs
        fused and the attention dictionary is empty: callers that draw no maps pass it."""
    def score(self, x: torch.Tensor) -> torch.Tensor:
        """Next-token logits (N, V) after the last position of each row of x (N, T)."""
    def incremental_scorer(self) -> IncrementalScorer:
        """An IncrementalScorer over this model: the same scores as score(), one new position per step."""

class IncrementalScorer:
    """Incremental next-token scorer over an assembled model's decoder (the generator's scorer protocol): cached
    self-attention keys and values per layer, encoder keys and values computed once per start.

    `start` reads the model's current `dec_layers` (sub-lists included), the same weights, norms and
    feed-forward networks as the full forward pass, with the causal mask over the prompt and the
    source padding mask over the encoder output; dropout follows the model's train/eval mode.
    Scores carry no autograd history; the cache lives on the model's device in the dtype of its
    computations, so the scorer works under torch.inference_mode() on any device.

    Rows: `start` takes N prompt rows, N a multiple of the encoder batch size B, batch-major (N // B
    rows per encoder row, as score() matches them); `select(rows)` may then reorder, repeat or drop
    rows freely (beam search keeps each row within its encoder row's block, which costs no copies of
    the encoder keys and values). `max_len` is the positional table's length: `step` past it raises
    the positional encoding's "Sequence length ... exceeds the maximum length ..." error, and the
    generator stops there. `log_probs` is False (scores are raw logits).
    """

    model: nn.Module
    enc_output: torch.Tensor | None
    src_pad_mask: torch.Tensor | None
    max_len: int
    log_probs: bool

    def __init__(self, model: nn.Module, enc_output: torch.Tensor | None = None, src_pad_mask: torch.Tensor | None = None) -> None:
        """Incremental scorer over model's decoder layers (those present at each start); enc_output (B, S, d_model) and
        src_pad_mask (B, S) for a speech model, None for a language model."""
    def start(self, x: torch.Tensor) -> torch.Tensor:
        """Runs the prompt rows x (N, T0) through the decoder, caching each layer's keys and values (and the encoder's,
        N a multiple of its batch size, batch-major); returns the next-token logits (N, V)."""
    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends tokens (N,) at the next position; returns the next-token logits (N, V)."""
    def select(self, rows: torch.Tensor) -> None:
        """Reorders, repeats or drops rows of the cache: new row i = old row rows[i]."""
