// The assembled models: a speech encoder-decoder (joint attention/CTC) and a decoder-only
// language model, stacked from the Pre-LN blocks.
//
//   EncoderDecoderTransformer: SpeechEmbedding -> positional encoding -> encoder layers ->
//     final norm (-> CTC head); token embedding -> positional encoding -> cross-attention decoder
//     layers (causal) -> final norm -> output projection.
//   DecoderOnlyTransformer: token embedding -> positional encoding -> self-attention decoder
//     layers (causal) -> final norm -> output projection.
//
// Layers are looked up in `enc_layers` / `dec_layers` on every call, so a trainer may replace
// those lists with sub-lists. Every dropout of the model follows the one shared `dropout` module:
// module dropouts are that very module, and the attention-weight dropout inside each attention
// (a plain float in nn.MultiheadAttention) is brought to its `p` at each forward.
//
// The forward passes return attention maps by default; `need_weights=False` runs every attention
// fused (scaled_dot_product_attention, no (B, heads, T, S) weights built or kept) and returns an
// empty attention dictionary, the same outputs otherwise. A trainer asks for the maps only on the
// batch whose maps it draws; scoring never asks.
#include <vk/common.hpp>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

py::handle encoder_layer_class() { return vk::imported<"velkor.model.lunmark", "SelfAttentionEncoderLayer">(); }
py::handle conformer_layer_class() { return vk::imported<"velkor.model.conformer", "ConformerEncoderLayer">(); }
py::handle cross_decoder_layer_class() { return vk::imported<"velkor.model.drumvale", "CrossAttentionDecoderLayer">(); }
py::handle self_decoder_layer_class() { return vk::imported<"velkor.model.drumvale", "SelfAttentionDecoderLayer">(); }
py::handle positional_encoding_class() { return vk::imported<"velkor.model.ambrith", "PositionalEncoding">(); }
py::handle speech_embedding_class() { return vk::imported<"velkor.model.sollund", "SpeechEmbedding">(); }

// ---------------------------------------------------------------------------------------------
// Construction

template <vk::Lit N, class A>
long long positive_int(const A& a) {
    const long long n = a.template integer<N>();
    if (n <= 0) throw py::value_error(vk::text(N.text, " must be positive, got ", n));
    return n;
}

template <class A>
double checked_dropout(const A& a) {
    const double p = a.template real<"dropout">();
    if (!(p >= 0.0 && p < 1.0)) throw py::value_error("Dropout rate must be between 0 and 1");
    return p;
}

void check_heads(long long d_model, long long heads, const char* arg) {
    if (d_model % heads != 0) throw py::value_error(vk::text("d_model (", d_model, ") must be divisible by ", arg, " (", heads, ")"));
}

// Token embedding scaled by sqrt(d_model) on the way in, initialised with std d_model^-0.5, so
// inputs have unit scale (like the positional table) and a tied output projection starts with
// logits of unit scale.
py::object token_embedding(long long num_classes, long long d_model) {
    py::object embedding = vk::call(vk::imported<"torch.nn", "Embedding">(), num_classes, d_model);
    vk::call(vk::imported<"torch.nn.init", "normal_">(), vk::attr<"weight">(embedding), kw<"mean">(0.0),
             kw<"std">(1.0 / std::sqrt(static_cast<double>(d_model))));
    return embedding;
}

// Points every dropout module of a layer (the sub-layers' output dropouts and the one inside each
// feed-forward network; a Conformer layer has two of those and a convolution module) at the
// model's shared dropout module.
void share_dropout(py::handle layer, py::handle shared) {
    for (const char* sub : {"self_attn", "cross_attn", "conv"}) {
        if (!py::hasattr(layer, sub)) continue;
        vk::set_attr<"dropout">(py::getattr(layer, sub), shared);
    }
    for (const char* sub : {"ffn", "ffn1", "ffn2"}) {
        if (!py::hasattr(layer, sub)) continue;
        const py::object ffn = py::getattr(layer, sub);
        vk::set_attr<"dropout">(ffn, shared);
        vk::attr<"ffn">(ffn)[py::int_(2)] = shared;  // Linear, activation, Dropout, Linear
    }
}

// A ModuleList of `count` layers of class `cls`, whose dropouts are the shared module; a kernel
// width (not None) goes to Conformer layers.
py::object layer_stack(py::handle cls, long long count, long long d_model, long long heads, long long d_ff, py::handle shared,
                       py::handle conv_kernel_size = py::none()) {
    const py::object rate = vk::attr<"p">(shared);
    py::list layers;
    for (long long i = 0; i < count; ++i) {
        const py::object layer = conv_kernel_size.is_none() ? vk::call(cls, d_model, heads, d_ff, rate)
                                                            : vk::call(cls, d_model, heads, d_ff, rate, conv_kernel_size);
        share_dropout(layer, shared);
        layers.append(layer);
    }
    return vk::call(vk::imported<"torch.nn", "ModuleList">(), layers);
}

// The model's one dropout module, which every dropout of the model follows.
py::object shared_dropout(py::handle self, double rate) {
    py::object shared = vk::call(vk::imported<"torch.nn", "Dropout">(), rate);
    vk::set_attr<"dropout">(self, shared);
    return shared;
}

// The output projection, tied to the token embedding when asked.
py::object output_projection(py::handle embedding, long long d_model, long long num_classes, bool tie) {
    py::object linear = vk::call(vk::imported<"torch.nn", "Linear">(), d_model, num_classes);
    if (tie) vk::set_attr<"weight">(linear, vk::attr<"weight">(embedding));
    return linear;
}

// "transformer" or "conformer" (any case): which layers the encoder stacks.
bool conformer_encoder(const std::string& encoder) {
    std::string name = encoder;
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (name != "transformer" && name != "conformer")
        throw py::value_error("encoder must be 'transformer' or 'conformer', got '" + encoder + "'");
    return name == "conformer";
}

// Four-fold time reduction keeps enough encoder frames per character for CTC on read speech.
// New arguments go last, so that positional calls and stored configurations keep their meaning.
using EncoderDecoderInitArgs = vk::Args<
    "input_dim, num_classes, d_model=256, num_encoder_layers=6, num_decoder_layers=6, num_encoder_heads=8, "
    "num_decoder_heads=8, d_ff_encoder=1024, d_ff_decoder=1024, dropout=0.1, max_len=1000, time_reduction=4, "
    "reduction_method='lstm', weight_tying=False, encoder='transformer', conv_kernel_size=15">;
py::object encoder_decoder_init(py::handle self, const EncoderDecoderInitArgs& a) {
    const long long input_dim = positive_int<"input_dim">(a);
    const long long num_classes = positive_int<"num_classes">(a);
    const long long d_model = positive_int<"d_model">(a);
    const long long num_encoder_layers = positive_int<"num_encoder_layers">(a);
    const long long num_decoder_layers = positive_int<"num_decoder_layers">(a);
    const long long encoder_heads = positive_int<"num_encoder_heads">(a);
    const long long decoder_heads = positive_int<"num_decoder_heads">(a);
    const long long d_ff_encoder = positive_int<"d_ff_encoder">(a);
    const long long d_ff_decoder = positive_int<"d_ff_decoder">(a);
    const double dropout = checked_dropout(a);
    const long long max_len = positive_int<"max_len">(a);
    const long long time_reduction = positive_int<"time_reduction">(a);
    const std::string reduction_method = a.text<"reduction_method">();
    const bool weight_tying = a.flag<"weight_tying">();
    const bool conformer = conformer_encoder(a.text<"encoder">());
    const long long conv_kernel_size = a.integer<"conv_kernel_size">();
    check_heads(d_model, encoder_heads, "num_encoder_heads");
    check_heads(d_model, decoder_heads, "num_decoder_heads");
    if (conformer && (conv_kernel_size < 1 || conv_kernel_size % 2 == 0))
        throw py::value_error(vk::text("conv_kernel_size must be a positive odd number, got ", conv_kernel_size));

    vk::init_module(self);
    vk::set_attr<"input_dim">(self, py::int_(input_dim));
    vk::set_attr<"num_classes">(self, py::int_(num_classes));
    vk::set_attr<"d_model">(self, py::int_(d_model));
    vk::set_attr<"max_len">(self, py::int_(max_len));
    vk::set_attr<"num_lunmark">(self, py::int_(num_encoder_layers));
    vk::set_attr<"num_drumvale">(self, py::int_(num_decoder_layers));
    vk::set_attr<"weight_tying">(self, py::bool_(weight_tying));
    vk::set_attr<"encoder">(self, py::str(conformer ? "conformer" : "transformer"));

    const py::object shared = shared_dropout(self, dropout);
    const py::object speech = vk::call(speech_embedding_class(), input_dim, d_model, kw<"time_reduction">(time_reduction),
                                       kw<"reduction_method">(reduction_method), kw<"dropout">(dropout));
    for (const char* stage : {"cnn", "blstm", "subsampling"}) {
        const py::object part = py::getattr(speech, stage);
        if (!part.is_none()) vk::set_attr<"dropout">(part, shared);
    }
    vk::set_attr<"source_embedding">(self, speech);
    vk::set_attr<"positional_encoding">(self, vk::call(positional_encoding_class(), d_model, max_len));
    vk::set_attr<"enc_layers">(
        self, conformer ? layer_stack(conformer_layer_class(), num_encoder_layers, d_model, encoder_heads, d_ff_encoder, shared,
                                      py::int_(conv_kernel_size))
                        : layer_stack(encoder_layer_class(), num_encoder_layers, d_model, encoder_heads, d_ff_encoder, shared));
    vk::set_attr<"encoder_norm">(self, vk::call(vk::imported<"torch.nn", "LayerNorm">(), d_model));
    vk::set_attr<"ctc_head">(self, vk::call(vk::imported<"torch.nn", "Linear">(), d_model, num_classes));
    const py::object embedding = token_embedding(num_classes, d_model);
    vk::set_attr<"target_embedding">(self, embedding);
    vk::set_attr<"dec_layers">(self,
                               layer_stack(cross_decoder_layer_class(), num_decoder_layers, d_model, decoder_heads, d_ff_decoder, shared));
    vk::set_attr<"decoder_norm">(self, vk::call(vk::imported<"torch.nn", "LayerNorm">(), d_model));
    vk::set_attr<"final_linear">(self, output_projection(embedding, d_model, num_classes, weight_tying));
    return py::none();
}

using DecoderOnlyInitArgs =
    vk::Args<"num_classes, d_model=256, num_layers=6, num_heads=8, d_ff=1024, dropout=0.1, max_len=1000, weight_tying=False">;
py::object decoder_only_init(py::handle self, const DecoderOnlyInitArgs& a) {
    const long long num_classes = positive_int<"num_classes">(a);
    const long long d_model = positive_int<"d_model">(a);
    const long long num_layers = positive_int<"num_layers">(a);
    const long long heads = positive_int<"num_heads">(a);
    const long long d_ff = positive_int<"d_ff">(a);
    const double dropout = checked_dropout(a);
    const long long max_len = positive_int<"max_len">(a);
    const bool weight_tying = a.flag<"weight_tying">();
    check_heads(d_model, heads, "num_heads");

    vk::init_module(self);
    vk::set_attr<"num_classes">(self, py::int_(num_classes));
    vk::set_attr<"d_model">(self, py::int_(d_model));
    vk::set_attr<"max_len">(self, py::int_(max_len));
    vk::set_attr<"num_drumvale">(self, py::int_(num_layers));
    vk::set_attr<"weight_tying">(self, py::bool_(weight_tying));

    const py::object shared = shared_dropout(self, dropout);
    const py::object embedding = token_embedding(num_classes, d_model);
    vk::set_attr<"target_embedding">(self, embedding);
    vk::set_attr<"positional_encoding">(self, vk::call(positional_encoding_class(), d_model, max_len));
    vk::set_attr<"dec_layers">(self, layer_stack(self_decoder_layer_class(), num_layers, d_model, heads, d_ff, shared));
    vk::set_attr<"decoder_norm">(self, vk::call(vk::imported<"torch.nn", "LayerNorm">(), d_model));
    vk::set_attr<"final_linear">(self, output_projection(embedding, d_model, num_classes, weight_tying));
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Shared forward pieces

// nn.MultiheadAttention keeps its attention-weight dropout as a float: bring it to the shared rate.
// (A Conformer layer's attention reads the rate of its dropout module at each call.)
void sync_attention_dropout(py::handle self, py::handle layers) {
    const py::object p = vk::attr<"p">(vk::attr<"dropout">(self));
    for (const py::handle layer : layers) {
        for (const char* sub : {"self_attn", "cross_attn"}) {
            PyObject* sublayer = PyObject_GetAttrString(layer.ptr(), sub);
            if (sublayer == nullptr) {
                PyErr_Clear();
                continue;
            }
            const py::object sub_module = py::reinterpret_steal<py::object>(sublayer);
            if (!vk::has_attr<"mha">(sub_module)) continue;
            const py::object mha = vk::attr<"mha">(sub_module);
            if (!vk::attr<"dropout">(mha).equal(p)) vk::set_attr<"dropout">(mha, p);
        }
    }
}

// True at positions >= length: (B, T). A length below 1 still leaves position 0 visible, so no
// attention row is ever fully masked (which would turn that row into NaN and poison the gradients).
py::object padding_mask(py::handle lengths, py::handle size, py::handle device) {
    const py::object visible = vk::call_method<"clamp">(vk::call_method<"to">(lengths, device), kw<"min">(1));
    const py::object positions = vk::call(vk::imported<"torch", "arange">(), size, kw<"device">(device));
    return vk::call_method<"ge">(vk::call_method<"unsqueeze">(positions, 0), vk::call_method<"unsqueeze">(visible, 1));
}

// True above the diagonal: (L, L).
py::object causal_mask(py::handle size, py::handle device) {
    const py::object ones =
        vk::call(vk::imported<"torch", "ones">(), size, size, kw<"dtype">(vk::imported<"torch", "bool">()), kw<"device">(device));
    return vk::call(vk::imported<"torch", "triu">(), ones, kw<"diagonal">(1));
}

// dropout(positional_encoding(embedding(tokens) * sqrt(d_model)))
py::object embed_targets(py::handle self, py::handle tokens) {
    const double scale = std::sqrt(py::cast<double>(vk::attr<"d_model">(self)));
    const py::object embedded = vk::call_method<"mul">(vk::call_attr<"target_embedding">(self, tokens), scale);
    return vk::call_attr<"dropout">(self, vk::call_attr<"positional_encoding">(self, embedded));
}

std::string attention_name(std::size_t index, const char* kind) { return "layer" + std::to_string(index + 1) + "_" + kind; }

py::object detached(py::handle t) { return vk::call_method<"detach">(t); }

// ---------------------------------------------------------------------------------------------
// EncoderDecoderTransformer

// A layer called with its arguments; need_weights is handed on only when false, so a layer of
// another class without it still serves the default.
template <class... A>
py::object call_layer(py::handle layer, bool need_weights, A&&... args) {
    if (need_weights) return vk::call(layer, std::forward<A>(args)...);
    return vk::call(layer, std::forward<A>(args)..., kw<"need_weights">(false));
}

// The absolute positional table on the encoder input; Conformer layers rotate their queries and
// keys instead, and only the table's length limit applies.
py::object encoder_positions(py::handle self, py::handle embedded) {
    if (!vk::has_attr<"encoder">(self) || py::str(vk::attr<"encoder">(self)).cast<std::string>() != "conformer")
        return vk::call_attr<"positional_encoding">(self, embedded);
    const long long frames = py::cast<long long>(vk::call_method<"size">(embedded, 1));
    const long long max_len = py::cast<long long>(vk::attr<"max_len">(self));
    if (frames > max_len) throw py::value_error(vk::text("Sequence length ", frames, " exceeds the maximum length ", max_len));
    return py::reinterpret_borrow<py::object>(embedded);
}

// (encoder output, source pad mask, encoder attention, CTC inputs); the attention dictionary
// stays empty without need_weights.
py::tuple run_encoder(py::handle self, py::handle sources, py::handle source_lengths, bool need_weights) {
    sync_attention_dropout(self, vk::attr<"enc_layers">(self));
    const auto [embedded, lengths_raw] = vk::unpack<2>(vk::call_attr<"source_embedding">(self, sources, source_lengths));
    const py::object device = vk::attr<"device">(embedded);
    const py::object lengths = vk::call_method<"to">(lengths_raw, device);
    py::object x = vk::call_attr<"dropout">(self, encoder_positions(self, embedded));
    const py::object mask = padding_mask(lengths, vk::call_method<"size">(x, 1), device);
    py::dict attention;
    std::size_t i = 0;
    for (const py::handle layer : vk::attr<"enc_layers">(self)) {
        const auto [out, weights] = vk::unpack<2>(call_layer(layer, need_weights, x, kw<"key_padding_mask">(mask)));
        x = out;
        if (need_weights) attention[py::str(attention_name(i, "enc_self"))] = detached(weights);
        ++i;
    }
    x = vk::call_attr<"encoder_norm">(self, x);
    // Time-major log-probabilities, as the CTC loss takes them.
    const py::object ctc_logits = vk::call_attr<"ctc_head">(self, x);
    const py::object log_probs = vk::call_method<"transpose">(vk::call_method<"log_softmax">(ctc_logits, kw<"dim">(-1)), 0, 1);
    py::dict ctc;
    ctc["log_probs"] = log_probs;
    ctc["lengths"] = lengths;
    return py::make_tuple(x, mask, attention, ctc);
}

// Decoder states after the final norm; attention maps go to `attention` when given, and are not
// computed otherwise.
py::object run_cross_decoder(py::handle self, py::handle tokens, py::handle enc_output, py::handle enc_mask, py::handle target_lengths,
                             py::dict* attention) {
    sync_attention_dropout(self, vk::attr<"dec_layers">(self));
    const py::object device = vk::attr<"device">(tokens);
    const py::object length = vk::call_method<"size">(tokens, 1);
    const py::object causal = causal_mask(length, device);
    const py::object target_mask = target_lengths.is_none() ? py::none() : padding_mask(target_lengths, length, device);
    py::object y = embed_targets(self, tokens);
    std::size_t i = 0;
    for (const py::handle layer : vk::attr<"dec_layers">(self)) {
        const auto [out, self_weights, cross_weights] =
            vk::unpack<3>(call_layer(layer, attention != nullptr, y, enc_output, kw<"dec_key_padding_mask">(target_mask),
                                     kw<"enc_key_padding_mask">(enc_mask), kw<"attn_mask">(causal)));
        y = out;
        if (attention != nullptr) {
            (*attention)[py::str(attention_name(i, "dec_self"))] = detached(self_weights);
            (*attention)[py::str(attention_name(i, "dec_cross"))] = detached(cross_weights);
        }
        ++i;
    }
    return vk::call_attr<"decoder_norm">(self, y);
}

using EncodeArgs = vk::Args<"padded_sources, source_lengths, need_weights=True">;
py::object encoder_decoder_encode(py::handle self, const EncodeArgs& a) {
    return run_encoder(self, a.get<"padded_sources">(), a.get<"source_lengths">(), a.flag<"need_weights">());
}

using EncoderDecoderForwardArgs = vk::Args<"padded_sources, padded_targets, source_lengths, target_lengths=None, need_weights=True">;
py::object encoder_decoder_forward(py::handle self, const EncoderDecoderForwardArgs& a) {
    const bool need_weights = a.flag<"need_weights">();
    const auto [enc_output, enc_mask, enc_attention, ctc] =
        vk::unpack<4>(run_encoder(self, a.get<"padded_sources">(), a.get<"source_lengths">(), need_weights));
    py::dict attention = py::reinterpret_borrow<py::dict>(enc_attention);
    const py::object states = run_cross_decoder(self, a.get<"padded_targets">(), enc_output, enc_mask, a.get<"target_lengths">(),
                                                need_weights ? &attention : nullptr);
    return py::make_tuple(vk::call_attr<"final_linear">(self, states), attention, ctc);
}

// Beam search scores B*K hypotheses, batch-major, against an encoder output of B rows: repeat
// each encoder row for its hypotheses.
py::object rows_for(py::handle t, long long rows, long long batch) {
    if (rows == batch) return py::reinterpret_borrow<py::object>(t);
    return vk::call_method<"repeat_interleave">(t, rows / batch, kw<"dim">(0));
}

using EncoderDecoderScoreArgs = vk::Args<"x, enc_output, src_pad_mask">;
py::object encoder_decoder_score(py::handle self, const EncoderDecoderScoreArgs& a) {
    const long long rows = py::cast<long long>(vk::call_method<"size">(a.get<"x">(), 0));
    const long long batch = py::cast<long long>(vk::call_method<"size">(a.get<"enc_output">(), 0));
    if (batch == 0 || rows % batch != 0)
        throw py::value_error(
            vk::text("score got ", rows, " sequences for an encoder output of batch size ", batch, "; the count must be a multiple of it"));
    const py::object enc_output = rows_for(a.get<"enc_output">(), rows, batch);
    const py::object enc_mask = a.is_none<"src_pad_mask">() ? py::none() : rows_for(a.get<"src_pad_mask">(), rows, batch);
    const py::object states = run_cross_decoder(self, a.get<"x">(), enc_output, enc_mask, py::none(), nullptr);
    // Only the last position is projected.
    const py::object last = py::object(states[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)]);
    return vk::call_attr<"final_linear">(self, last);
}

// ---------------------------------------------------------------------------------------------
// DecoderOnlyTransformer

py::object run_self_decoder(py::handle self, py::handle tokens, py::handle target_lengths, py::dict* attention) {
    sync_attention_dropout(self, vk::attr<"dec_layers">(self));
    const py::object device = vk::attr<"device">(tokens);
    const py::object length = vk::call_method<"size">(tokens, 1);
    const py::object causal = causal_mask(length, device);
    const py::object target_mask = target_lengths.is_none() ? py::none() : padding_mask(target_lengths, length, device);
    py::object y = embed_targets(self, tokens);
    std::size_t i = 0;
    for (const py::handle layer : vk::attr<"dec_layers">(self)) {
        const auto [out, weights] =
            vk::unpack<2>(call_layer(layer, attention != nullptr, y, kw<"key_padding_mask">(target_mask), kw<"attn_mask">(causal)));
        y = out;
        if (attention != nullptr) (*attention)[py::str(attention_name(i, "dec_self"))] = detached(weights);
        ++i;
    }
    return vk::call_attr<"decoder_norm">(self, y);
}

using DecoderOnlyForwardArgs = vk::Args<"padded_targets, target_lengths=None, need_weights=True">;
py::object decoder_only_forward(py::handle self, const DecoderOnlyForwardArgs& a) {
    py::dict attention;
    const py::object states =
        run_self_decoder(self, a.get<"padded_targets">(), a.get<"target_lengths">(), a.flag<"need_weights">() ? &attention : nullptr);
    return py::make_tuple(vk::call_attr<"final_linear">(self, states), attention);
}

py::object decoder_only_score(py::handle self, const vk::Args<"x">& a) {
    const py::object states = run_self_decoder(self, a.get<"x">(), py::none(), nullptr);
    const py::object last = py::object(states[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)]);
    return vk::call_attr<"final_linear">(self, last);
}

// ---------------------------------------------------------------------------------------------
// Incremental scoring: one new position per step against cached keys and values
//
// The decoder layers' math, one position at a time: Pre-LN self-attention whose keys and values
// of earlier positions are kept per layer, cross-attention against the encoder output projected
// once per start, and the position-wise feed-forward sub-layer called as it is. The attention
// weights are those of each layer's nn.MultiheadAttention (packed in_proj, out_proj); the
// sub-layers' norms, dropouts and feed-forward networks are the modules themselves.

py::object sdpa(py::handle q, py::handle k, py::handle v, py::handle mask, bool causal, double dropout) {
    return vk::call(vk::imported<"torch.nn.functional", "scaled_dot_product_attention">(), q, k, v, kw<"attn_mask">(mask),
                    kw<"dropout_p">(dropout), kw<"is_causal">(causal));
}

py::object linear(py::handle x, py::handle weight, py::handle bias) {
    return vk::call(vk::imported<"torch.nn.functional", "linear">(), x, weight, bias);
}

// (N, L, d) -> (N, heads, L, d / heads), a view.
py::object split_heads(py::handle x, long long rows, long long length, long long heads, long long head_dim) {
    return vk::call_method<"transpose">(vk::call_method<"view">(x, rows, length, heads, head_dim), 1, 2);
}

// (N, heads, L, head_dim) -> (N, L, d)
py::object merge_heads(py::handle x, long long rows, long long length, long long d_model) {
    return vk::call_method<"reshape">(vk::call_method<"transpose">(x, 1, 2), rows, length, d_model);
}

py::object narrow(py::handle t, long long dim, long long start, long long length) {
    return vk::call_method<"narrow">(t, dim, start, length);
}

// One attention sub-layer's weights, checked to be the packed form the full forward pass uses.
struct Attention {
    py::object sublayer;  // SelfAttentionLayer / CrossAttentionLayer: norm, dropout
    py::object in_weight, in_bias, out_weight, out_bias;
    double dropout = 0.0;  // attention-weight dropout (training only)

    static Attention of(py::handle layer, const char* which, long long d_model) {
        Attention a;
        a.sublayer = py::getattr(layer, which);
        const py::object mha = vk::attr<"mha">(a.sublayer);
        a.in_weight = vk::attr<"in_proj_weight">(mha);
        const bool packed = !a.in_weight.is_none() && vk::attr<"bias_k">(mha).is_none() && !vk::truthy(vk::attr<"add_zero_attn">(mha)) &&
                            vk::truthy(vk::attr<"batch_first">(mha)) && py::cast<long long>(vk::attr<"embed_dim">(mha)) == d_model;
        if (!packed)
            throw py::value_error(vk::text("incremental decoding needs each decoder layer's ", which,
                                           ".mha to be a batch-first nn.MultiheadAttention of width d_model with a packed input "
                                           "projection and no extra key/value biases"));
        a.in_bias = vk::attr<"in_proj_bias">(mha);
        const py::object out = vk::attr<"out_proj">(mha);
        a.out_weight = vk::attr<"weight">(out);
        a.out_bias = vk::attr<"bias">(out);
        a.dropout = vk::truthy(vk::attr<"training">(mha)) ? py::cast<double>(vk::attr<"dropout">(mha)) : 0.0;
        return a;
    }
    // Rows [first, first + count) of the packed projection: queries 0, keys d, values 2d.
    py::object weight_rows(long long first, long long count) const { return narrow(in_weight, 0, first, count); }
    py::object bias_rows(long long first, long long count) const {
        return in_bias.is_none() ? py::none() : narrow(in_bias, 0, first, count);
    }
};

struct LayerState {
    Attention self_attn;
    std::optional<Attention> cross_attn;
    py::object ffn;
    py::object query_weight, query_bias;  // cross-attention query rows of the projection
    py::object keys, values;              // cross: encoder keys/values (B, heads, S, head_dim)
    py::object row_keys, row_values;      // the same gathered per row when rows left batch-major order
    py::object cache, spare;              // self: (N, capacity, 2 d) keys | values, and a buffer to select into
};

struct ScorerState {
    bool training = false;
    long long d_model = 0, heads = 0, head_dim = 0;
    long long rows = 0, length = 0, capacity = 0, max_len = 0;
    double scale = 1.0;
    py::object model, pe, device;
    std::vector<LayerState> layers;
    // Cross-attention only: the encoder row of each row; batch-major when row i belongs to encoder
    // row i / (rows / batch), so the queries group onto the encoder output without copying it.
    long long batch = 0;
    std::vector<long long> source;
    bool grouped = true;
    py::object mask, row_mask;  // scaled_dot_product_attention masks (B or N, 1, 1, S), or None
};

constexpr const char* kStateName = "velkor.model.transformers.ScorerState";

// The state lives in a capsule on the scorer; callers hold the capsule object for the whole call,
// so a start() re-entered from Python code cannot free the state in use.
py::object state_capsule(py::handle self) {
    const py::object capsule = vk::attr<"_state">(self);
    if (capsule.is_none()) throw py::value_error("the scorer has not been started: call start(x) first");
    return capsule;
}

ScorerState& state_of(const py::object& capsule) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), kStateName);
    if (p == nullptr) throw py::error_already_set();
    return *static_cast<ScorerState*>(p);
}

// Scores never need autograd history, and the in-place cache writes must not record any.
class NoGrad {
public:
    NoGrad() : was_enabled_(vk::truthy(vk::call(vk::imported<"torch", "is_grad_enabled">()))) {
        if (was_enabled_) vk::call(vk::imported<"torch._C", "_set_grad_enabled">(), false);
    }
    ~NoGrad() {
        if (!was_enabled_) return;
        // Restored even while an error is on its way out, without disturbing it.
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyObject* r = PyObject_CallFunctionObjArgs(vk::imported<"torch._C", "_set_grad_enabled">().ptr(), Py_True, nullptr);
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
        PyErr_Restore(type, value, trace);
    }
    NoGrad(const NoGrad&) = delete;
    NoGrad& operator=(const NoGrad&) = delete;

private:
    bool was_enabled_;
};

bool is_integer_tensor(py::handle t) {
    const int r = PyObject_IsInstance(t.ptr(), vk::imported<"torch", "Tensor">().ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1 && !vk::truthy(vk::attr<"is_floating_point">(t)()) && !vk::truthy(vk::attr<"is_complex">(t)()) &&
           !vk::attr<"dtype">(t).is(vk::imported<"torch", "bool">());
}

void check_length(long long length, long long max_len) {
    if (length > max_len) throw py::value_error(vk::text("Sequence length ", length, " exceeds the maximum length ", max_len));
}

// dropout(embedding(tokens) * sqrt(d_model) + pe[position : position + L]), tokens (N, L).
py::object embed_at(const ScorerState& st, py::handle tokens, long long position, long long length) {
    const py::object embedded = vk::call_method<"mul">(vk::call_attr<"target_embedding">(st.model, tokens), st.scale);
    py::object x = vk::add(embedded, narrow(st.pe, 1, position, length));
    if (st.training) x = vk::call_attr<"dropout">(st.model, x);
    return x;
}

// Makes room for `needed` positions in every layer's cache, growing by doubling up to max_len.
void reserve(ScorerState& st, long long needed) {
    if (needed <= st.capacity) return;
    const long long capacity = std::min(st.max_len, std::max(needed, 2 * st.capacity));
    for (LayerState& layer : st.layers) {
        const py::object grown = vk::call(vk::imported<"torch", "empty">(), st.rows, capacity, 2 * st.d_model,
                                          kw<"dtype">(vk::attr<"dtype">(layer.cache)), kw<"device">(st.device));
        if (st.length > 0) vk::call_method<"copy_">(narrow(grown, 1, 0, st.length), narrow(layer.cache, 1, 0, st.length));
        layer.cache = grown;
        layer.spare = py::none();
    }
    st.capacity = capacity;
}

py::object add_sublayer_output(const ScorerState& st, const Attention& a, py::handle residual, const py::object& out) {
    return vk::add(residual, st.training ? vk::call_attr<"dropout">(a.sublayer, out) : out);
}

// Runs `x` (N, L, d), the embeddings of positions length .. length + L - 1, through the layers;
// L > 1 only from start (length 0), where the self-attention is causal over the prompt.
py::object run_layers(ScorerState& st, py::object x, long long count) {
    const long long n = st.rows, d = st.d_model, h = st.heads, hd = st.head_dim;
    const long long total = st.length + count;
    for (LayerState& layer : st.layers) {
        // Self-attention: project once, append this step's keys and values, attend over all.
        const Attention& sa = layer.self_attn;
        const py::object qkv = linear(vk::call_attr<"norm">(sa.sublayer, x), sa.in_weight, sa.in_bias);
        if (layer.cache.is_none()) {
            layer.cache = vk::call(vk::imported<"torch", "empty">(), n, st.capacity, 2 * d, kw<"dtype">(vk::attr<"dtype">(qkv)),
                                   kw<"device">(st.device));
        }
        vk::call_method<"copy_">(narrow(layer.cache, 1, st.length, count), narrow(qkv, 2, d, 2 * d));
        const py::object past = narrow(layer.cache, 1, 0, total);
        const py::object q = split_heads(narrow(qkv, 2, 0, d), n, count, h, hd);
        const py::object k = split_heads(narrow(past, 2, 0, d), n, total, h, hd);
        const py::object v = split_heads(narrow(past, 2, d, d), n, total, h, hd);
        py::object out = merge_heads(sdpa(q, k, v, py::none(), count > 1, sa.dropout), n, count, d);
        x = add_sublayer_output(st, sa, x, linear(out, sa.out_weight, sa.out_bias));

        if (layer.cross_attn) {
            const Attention& ca = *layer.cross_attn;
            const py::object query = linear(vk::call_attr<"norm">(ca.sublayer, x), layer.query_weight, layer.query_bias);
            if (st.grouped) {
                // Rows are batch-major: the G = N / B rows of encoder row b are one group of G * L queries.
                const long long per_row = (n / st.batch) * count;
                const py::object grouped = split_heads(query, st.batch, per_row, h, hd);
                out = merge_heads(sdpa(grouped, layer.keys, layer.values, st.mask, false, ca.dropout), n, count, d);
            } else {
                out =
                    merge_heads(sdpa(split_heads(query, n, count, h, hd), layer.row_keys, layer.row_values, st.row_mask, false, ca.dropout),
                                n, count, d);
            }
            x = add_sublayer_output(st, ca, x, linear(out, ca.out_weight, ca.out_bias));
        }
        x = vk::call(layer.ffn, x);
    }
    st.length = total;
    // Only the last position is scored.
    const py::object last = vk::call_method<"select">(x, 1, count - 1);
    return vk::call_attr<"final_linear">(st.model, vk::call_attr<"decoder_norm">(st.model, last));
}

// Gathers the encoder keys, values and mask per row, for rows no longer in batch-major order.
void regroup(ScorerState& st) {
    const long long n = static_cast<long long>(st.source.size());
    st.grouped = st.batch > 0 && n % st.batch == 0;
    const long long per_row = st.grouped ? n / st.batch : 0;
    for (long long i = 0; i < n && st.grouped; ++i) st.grouped = st.source[static_cast<std::size_t>(i)] == i / per_row;
    for (LayerState& layer : st.layers) layer.row_keys = layer.row_values = py::none();
    st.row_mask = py::none();
    if (st.grouped) return;
    py::list items(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < st.source.size(); ++i) items[i] = py::int_(st.source[i]);
    const py::object index =
        vk::call(vk::imported<"torch", "tensor">(), items, kw<"dtype">(vk::imported<"torch", "int64">()), kw<"device">(st.device));
    for (LayerState& layer : st.layers) {
        layer.row_keys = vk::call_method<"index_select">(layer.keys, 0, index);
        layer.row_values = vk::call_method<"index_select">(layer.values, 0, index);
    }
    if (!st.mask.is_none()) st.row_mask = vk::call_method<"index_select">(st.mask, 0, index);
}

using ScorerInitArgs = vk::Args<"model, enc_output=None, src_pad_mask=None">;
py::object scorer_init(py::handle self, const ScorerInitArgs& a) {
    const py::handle model = a.get<"model">();
    for (const char* part : {"target_embedding", "positional_encoding", "dec_layers", "decoder_norm", "final_linear", "d_model"})
        if (!py::hasattr(model, part))
            throw py::type_error(
                vk::text("Argument 'model' must be an assembled decoder model with '", part, "', got ", vk::type_name(model)));
    if (!a.is_none<"enc_output">()) {
        const py::handle enc = a.get<"enc_output">();
        const int tensor = PyObject_IsInstance(enc.ptr(), vk::imported<"torch", "Tensor">().ptr());
        if (tensor < 0) throw py::error_already_set();
        if (tensor == 0) vk::raise_arg_type("enc_output", "Tensor", enc);
        const py::tuple shape = vk::attr<"shape">(enc);
        if (shape.size() != 3 || py::cast<long long>(shape[2]) != py::cast<long long>(vk::attr<"d_model">(model)) ||
            py::cast<long long>(shape[0]) < 1)
            throw py::value_error(vk::text("enc_output must be (batch, frames, d_model) with d_model ",
                                           vk::attr<"d_model">(model).cast<long long>(), ", got shape ",
                                           py::str(shape).cast<std::string>()));
        if (!a.is_none<"src_pad_mask">()) {
            const py::object mask_shape = vk::attr<"shape">(a.get<"src_pad_mask">());
            if (!mask_shape.equal(py::make_tuple(shape[0], shape[1])))
                throw py::value_error(vk::text("src_pad_mask must be (batch, frames) = (", shape[0].cast<long long>(), ", ",
                                               shape[1].cast<long long>(), "), got ", py::str(mask_shape).cast<std::string>()));
        }
    } else if (!a.is_none<"src_pad_mask">()) {
        throw py::value_error("src_pad_mask needs an enc_output");
    }
    vk::set_attr<"model">(self, model);
    vk::set_attr<"enc_output">(self, a.get<"enc_output">());
    vk::set_attr<"src_pad_mask">(self, a.get<"src_pad_mask">());
    vk::set_attr<"max_len">(self, vk::call_method<"size">(vk::attr<"pe">(vk::attr<"positional_encoding">(model)), 1));
    vk::set_attr<"log_probs">(self, py::bool_(false));
    vk::set_attr<"_state">(self, py::none());
    return py::none();
}

py::object scorer_start(py::handle self, const vk::Args<"x">& a) {
    const NoGrad no_grad;
    const py::handle x = a.get<"x">();
    if (!is_integer_tensor(x)) vk::raise_arg_type("x", "integer Tensor", x);
    const py::tuple shape = vk::attr<"shape">(x);
    if (shape.size() != 2 || shape[1].cast<long long>() < 1)
        throw py::value_error(vk::text("x must be (rows, length) with length >= 1, got shape ", py::str(shape).cast<std::string>()));
    const py::object model = vk::attr<"model">(self);
    const py::object enc = vk::attr<"enc_output">(self);
    auto st = std::make_unique<ScorerState>();
    st->model = model;
    st->rows = shape[0].cast<long long>();
    st->training = vk::truthy(vk::attr<"training">(model));
    st->d_model = py::cast<long long>(vk::attr<"d_model">(model));
    st->scale = std::sqrt(static_cast<double>(st->d_model));
    st->pe = vk::attr<"pe">(vk::attr<"positional_encoding">(model));
    st->max_len = py::cast<long long>(vk::call_method<"size">(st->pe, 1));
    st->device = vk::attr<"device">(st->pe);
    const long long prompt = shape[1].cast<long long>();
    check_length(prompt, st->max_len);
    const py::object layers = vk::attr<"dec_layers">(model);
    sync_attention_dropout(model, layers);

    if (!enc.is_none()) {
        st->batch = py::cast<long long>(vk::call_method<"size">(enc, 0));
        if (st->rows % st->batch != 0)
            throw py::value_error(vk::text("start got ", st->rows, " sequences for an encoder output of batch size ", st->batch,
                                           "; the count must be a multiple of it"));
        for (long long i = 0; i < st->rows; ++i) st->source.push_back(i / (st->rows / st->batch));
        const py::object pad = vk::attr<"src_pad_mask">(self);
        if (!pad.is_none()) {
            const py::object on_device = vk::call_method<"to">(pad, st->device);
            // Padding masks mark frames to ignore; the attention takes frames to attend (or additive scores).
            const py::object attend = vk::attr<"dtype">(on_device).is(vk::imported<"torch", "bool">())
                                          ? vk::call_method<"logical_not">(on_device)
                                          : vk::call_method<"to">(on_device, vk::attr<"dtype">(enc));
            st->mask = vk::call_method<"view">(attend, st->batch, 1, 1, -1);
        } else {
            st->mask = py::none();
        }
    }
    st->row_mask = py::none();
    const long long frames = enc.is_none() ? 0 : py::cast<long long>(vk::call_method<"size">(enc, 1));
    for (const py::handle layer : layers) {
        LayerState ls;
        ls.self_attn = Attention::of(layer, "self_attn", st->d_model);
        const bool has_cross = py::hasattr(layer, "cross_attn");
        if (has_cross != !enc.is_none())
            throw py::value_error(has_cross ? "this model's decoder layers attend to an encoder output: pass enc_output"
                                            : "this model's decoder layers have no cross-attention: enc_output must be None");
        if (has_cross) {
            ls.cross_attn = Attention::of(layer, "cross_attn", st->d_model);
            ls.query_weight = ls.cross_attn->weight_rows(0, st->d_model);
            ls.query_bias = ls.cross_attn->bias_rows(0, st->d_model);
            const py::object kv = linear(enc, ls.cross_attn->weight_rows(st->d_model, 2 * st->d_model),
                                         ls.cross_attn->bias_rows(st->d_model, 2 * st->d_model));
            st->heads = py::cast<long long>(vk::attr<"num_heads">(vk::attr<"mha">(ls.cross_attn->sublayer)));
            ls.keys = split_heads(narrow(kv, 2, 0, st->d_model), st->batch, frames, st->heads, st->d_model / st->heads);
            ls.values = split_heads(narrow(kv, 2, st->d_model, st->d_model), st->batch, frames, st->heads, st->d_model / st->heads);
        }
        const long long heads = py::cast<long long>(vk::attr<"num_heads">(vk::attr<"mha">(ls.self_attn.sublayer)));
        if (has_cross && heads != st->heads)
            throw py::value_error("incremental decoding needs the same number of heads in a layer's self- and cross-attention");
        st->heads = heads;
        ls.ffn = vk::attr<"ffn">(layer);
        ls.cache = ls.spare = ls.row_keys = ls.row_values = py::none();
        st->layers.push_back(std::move(ls));
    }
    st->head_dim = st->d_model / st->heads;
    st->capacity = std::min(st->max_len, prompt + 64);
    st->length = 0;

    ScorerState& state = *st;
    const py::object capsule =
        py::capsule(st.release(), kStateName, [](PyObject* o) { delete static_cast<ScorerState*>(PyCapsule_GetPointer(o, kStateName)); });
    const py::object embedded = embed_at(state, x, 0, prompt);
    py::object scores = run_layers(state, embedded, prompt);
    // Installed once complete: a failed start leaves no half-built state behind.
    vk::set_attr<"_state">(self, capsule);
    return scores;
}

py::object scorer_step(py::handle self, const vk::Args<"tokens">& a) {
    const NoGrad no_grad;
    const py::object capsule = state_capsule(self);
    ScorerState& st = state_of(capsule);
    const py::handle tokens = a.get<"tokens">();
    if (!is_integer_tensor(tokens)) vk::raise_arg_type("tokens", "integer Tensor", tokens);
    const py::tuple shape = vk::attr<"shape">(tokens);
    const bool fits =
        (shape.size() == 1 || (shape.size() == 2 && shape[1].cast<long long>() == 1)) && shape[0].cast<long long>() == st.rows;
    if (!fits)
        throw py::value_error(vk::text("tokens must be (", st.rows, ",), one per row, got shape ", py::str(shape).cast<std::string>()));
    check_length(st.length + 1, st.max_len);
    reserve(st, st.length + 1);
    const py::object column = vk::call_method<"view">(vk::call_method<"to">(tokens, st.device), st.rows, 1);
    return run_layers(st, embed_at(st, column, st.length, 1), 1);
}

py::object scorer_select(py::handle self, const vk::Args<"rows">& a) {
    const NoGrad no_grad;
    const py::object capsule = state_capsule(self);
    ScorerState& st = state_of(capsule);
    const py::handle rows = a.get<"rows">();
    if (!is_integer_tensor(rows) || vk::attr<"shape">(rows).cast<py::tuple>().size() != 1)
        throw py::type_error(vk::text("Argument 'rows' must be a 1-D integer Tensor, got ", vk::type_name(rows)));
    const vk::HostValues host(rows);
    const std::size_t count = host.size();
    std::vector<long long> picked(count);
    bool identity = static_cast<long long>(count) == st.rows;
    for (std::size_t i = 0; i < count; ++i) {
        picked[i] = host.integer(i);
        if (picked[i] < 0 || picked[i] >= st.rows)
            throw py::value_error(vk::text("rows holds ", picked[i], ", outside the scorer's ", st.rows, " rows"));
        identity = identity && picked[i] == static_cast<long long>(i);
    }
    if (identity) return py::none();
    const long long n = static_cast<long long>(count);
    const py::object index = vk::call_method<"to">(rows, st.device, kw<"dtype">(vk::imported<"torch", "int64">()));
    for (LayerState& layer : st.layers) {
        // Into the spare buffer when the row count stays, so that a beam step allocates nothing.
        if (layer.spare.is_none() || n != st.rows)
            layer.spare = vk::call(vk::imported<"torch", "empty">(), n, st.capacity, 2 * st.d_model,
                                   kw<"dtype">(vk::attr<"dtype">(layer.cache)), kw<"device">(st.device));
        vk::call(vk::imported<"torch", "index_select">(), narrow(layer.cache, 1, 0, st.length), 0, index,
                 kw<"out">(narrow(layer.spare, 1, 0, st.length)));
        std::swap(layer.cache, layer.spare);
        if (n != st.rows) layer.spare = py::none();
    }
    st.rows = n;
    if (!st.source.empty() || st.batch > 0) {
        std::vector<long long> source(count);
        for (std::size_t i = 0; i < count; ++i) source[i] = st.source[static_cast<std::size_t>(picked[i])];
        st.source = std::move(source);
        regroup(st);
    }
    return py::none();
}

using IncrementalScorerArgs = vk::Args<"enc_output, src_pad_mask=None">;
py::object encoder_decoder_incremental_scorer(py::handle self, const IncrementalScorerArgs& a) {
    return vk::call(vk::imported<"velkor.model.transformers", "IncrementalScorer">(), self, a.get<"enc_output">(), a.get<"src_pad_mask">());
}

py::object decoder_only_incremental_scorer(py::handle self, const vk::Args<"">&) {
    return vk::call(vk::imported<"velkor.model.transformers", "IncrementalScorer">(), self);
}

constexpr vk::Def kEncoderDecoderInit{"__init__", encoder_decoder_init};
constexpr vk::Def kEncoderDecoderForward{
    "forward", encoder_decoder_forward,
    "Returns (logits (B, L, V), attention dictionary, {'log_probs': (T', B, V), 'lengths': (B,)}). With need_weights\n"
    "false every attention runs fused and the attention dictionary is empty: callers that draw no maps pass it."};
constexpr vk::Def kEncoderDecoderEncode{
    "encode", encoder_decoder_encode,
    "Returns (encoder output (B, T', d_model), source pad mask (B, T'), encoder attention dictionary, CTC inputs); the\n"
    "dictionary is empty, its attention run fused, with need_weights false."};
constexpr vk::Def kEncoderDecoderScore{
    "score", encoder_decoder_score,
    "Next-token logits (N, V) after the last position of each row of x (N, L). N may be a multiple of the encoder\n"
    "batch size B (beam search): rows are then matched batch-major, N // B per encoder row."};
constexpr vk::Def kEncoderDecoderIncremental{
    "incremental_scorer", encoder_decoder_incremental_scorer,
    "An IncrementalScorer over this model's decoder against enc_output (B, S, d_model) and its pad mask (B, S):\n"
    "the same scores as score(), one new position per step."};

constexpr vk::Def kDecoderOnlyInit{"__init__", decoder_only_init};
constexpr vk::Def kDecoderOnlyForward{"forward", decoder_only_forward,
                                      "Returns (logits (B, T, V), attention dictionary). With need_weights false every attention runs\n"
                                      "fused and the attention dictionary is empty: callers that draw no maps pass it."};
constexpr vk::Def kDecoderOnlyScore{"score", decoder_only_score,
                                    "Next-token logits (N, V) after the last position of each row of x (N, T)."};
constexpr vk::Def kDecoderOnlyIncremental{"incremental_scorer", decoder_only_incremental_scorer,
                                          "An IncrementalScorer over this model: the same scores as score(), one new position per step."};

constexpr vk::Def kScorerInit{"__init__", scorer_init,
                              "Incremental scorer over model's decoder layers (those present at each start); enc_output (B, S, d_model) "
                              "and src_pad_mask (B, S) for a speech model, None for a language model."};
constexpr vk::Def kScorerStart{
    "start", scorer_start,
    "Runs the prompt rows x (N, T0) through the decoder, caching each layer's keys and values (and the encoder's, "
    "N a multiple of its batch size, batch-major); returns the next-token logits (N, V)."};
constexpr vk::Def kScorerStep{"step", scorer_step, "Appends tokens (N,) at the next position; returns the next-token logits (N, V)."};
constexpr vk::Def kScorerSelect{"select", scorer_select, "Reorders, repeats or drops rows of the cache: new row i = old row rows[i]."};

}  // namespace

PYBIND11_MODULE(transformers, m) {
    m.doc() = "Assembled Pre-LN Transformer models: speech encoder-decoder with CTC head, and decoder-only LM.";
    vk::define_module_class<kEncoderDecoderInit, kEncoderDecoderForward, kEncoderDecoderEncode, kEncoderDecoderScore,
                            kEncoderDecoderIncremental>(
        m, "EncoderDecoderTransformer",
        "Speech recognition model: speech front-end and Pre-LN encoder with a CTC head, and a causal Pre-LN decoder\n"
        "with cross-attention over the encoder output.");
    vk::define_module_class<kDecoderOnlyInit, kDecoderOnlyForward, kDecoderOnlyScore, kDecoderOnlyIncremental>(
        m, "DecoderOnlyTransformer", "Language model: a causal Pre-LN decoder over token embeddings.");
    vk::define_class<kScorerInit, kScorerStart, kScorerStep, kScorerSelect>(
        m, "IncrementalScorer", vk::imported<"builtins", "object">(),
        "Incremental next-token scorer over an assembled model's decoder (the generator's scorer protocol): cached\n"
        "self-attention keys and values per layer, encoder keys and values computed once per start.");
}
