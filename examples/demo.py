"""Builds the speech front-end and the encoder/decoder layers, prints their summaries and shapes.

    .venv/bin/python examples/demo.py

A quick end-to-end check of the model blocks on random filter-bank features: front-end ->
positional encoding -> encoder layer, then a decoder layer attending to the encoder output
under a causal mask, and the decoder-only layer of the language model.
"""

import torch
from torchinfo import summary

from velkor.model.ambrith import PositionalEncoding
from velkor.model.drumvale import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer
from velkor.model.lunmark import SelfAttentionEncoderLayer
from velkor.model.sollund import SpeechEmbedding

FEATURES, D_MODEL, HEADS, D_FF = 80, 256, 4, 1024
BATCH, FRAMES, TOKENS = 4, 300, 24


def section(title):
    print(f"\n=== {title} ===")


def main():
    torch.manual_seed(0)
    features = torch.randn(BATCH, FRAMES, FEATURES)
    feature_lengths = torch.tensor([FRAMES, 280, 251, 199])
    tokens = torch.randn(BATCH, TOKENS, D_MODEL)
    causal = torch.triu(torch.ones(TOKENS, TOKENS, dtype=torch.bool), diagonal=1)

    section("Speech front-end (SpeechEmbedding, reduction 'lstm' x6)")
    front_end = SpeechEmbedding(FEATURES, D_MODEL, time_reduction=6, reduction_method="lstm", dropout=0.1).eval()
    summary(front_end, input_data=[features, feature_lengths], depth=2)
    with torch.no_grad():
        embeddings, lengths = front_end(features, feature_lengths)
    print(f"embeddings {tuple(embeddings.shape)}, lengths {lengths.tolist()} "
          f"(predicted {front_end.calculate_downsampled_length(feature_lengths).tolist()})")

    section("Encoder layer (SelfAttentionEncoderLayer)")
    positions = PositionalEncoding(D_MODEL, 1024)
    encoder = SelfAttentionEncoderLayer(D_MODEL, HEADS, D_FF).eval()
    enc_padding = torch.arange(embeddings.size(1))[None, :] >= lengths[:, None]
    enc_input = positions(embeddings)
    summary(encoder, input_data=[enc_input, enc_padding], depth=3)
    with torch.no_grad():
        enc_output, enc_weights = encoder(enc_input, enc_padding)
    print(f"encoder output {tuple(enc_output.shape)}, attention {tuple(enc_weights.shape)}")

    section("Decoder layer with cross-attention (CrossAttentionDecoderLayer)")
    decoder = CrossAttentionDecoderLayer(D_MODEL, HEADS, D_FF).eval()
    dec_input = positions(tokens)
    summary(decoder, input_data=[dec_input, enc_output], depth=3, enc_key_padding_mask=enc_padding, attn_mask=causal)
    with torch.no_grad():
        dec_output, self_weights, cross_weights = decoder(dec_input, enc_output, None, enc_padding, causal)
    print(f"decoder output {tuple(dec_output.shape)}, self-attention {tuple(self_weights.shape)}, "
          f"cross-attention {tuple(cross_weights.shape)}")

    section("Decoder-only layer (SelfAttentionDecoderLayer)")
    lm_layer = SelfAttentionDecoderLayer(D_MODEL, HEADS, D_FF).eval()
    summary(lm_layer, input_data=[dec_input], depth=3, attn_mask=causal)
    with torch.no_grad():
        lm_output, lm_weights = lm_layer(dec_input, attn_mask=causal)
    print(f"language-model layer output {tuple(lm_output.shape)}, attention {tuple(lm_weights.shape)}")


if __name__ == "__main__":
    main()
