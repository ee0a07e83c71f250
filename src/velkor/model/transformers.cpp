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
#include <vk/common.hpp>

#include <cmath>
#include <string>

namespace {

namespace py = pybind11;
using vk::kw;

py::handle encoder_layer_class() { return vk::imported<"velkor.model.lunmark", "SelfAttentionEncoderLayer">(); }
py::handle cross_decoder_layer_class() { return vk::imported<"velkor.model.drumvale", "CrossAttentionDecoderLayer">(); }
py::handle self_decoder_layer_class() { return vk::imported<"velkor.model.drumvale", "SelfAttentionDecoderLayer">(); }
py::handle positional_encoding_class() { return vk::imported<"velkor.model.ambrith", "PositionalEncoding">(); }
py::handle speech_embedding_class() { return vk::imported<"velkor.model.sollund", "SpeechEmbedding">(); }

// ---------------------------------------------------------------------------------------------
// Construction

long long positive_int(py::handle v, const char* arg) {
    const long long n = vk::exact_int(v, arg);
    if (n <= 0) throw py::value_error(vk::text(arg, " must be positive, got ", n));
    return n;
}

double checked_dropout(py::handle v) {
    const double p = vk::to_float(v);
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

// Points every dropout module of a layer (the sub-layers' output dropouts and the one inside the
// feed-forward network) at the model's shared dropout module.
void share_dropout(py::handle layer, py::handle shared) {
    for (const char* sub : {"self_attn", "cross_attn"}) {
        if (!py::hasattr(layer, sub)) continue;
        vk::set_attr<"dropout">(py::getattr(layer, sub), shared);
    }
    const py::object ffn = vk::attr<"ffn">(layer);
    vk::set_attr<"dropout">(ffn, shared);
    vk::attr<"ffn">(ffn)[py::int_(2)] = shared;  // Linear, GELU, Dropout, Linear
}

// A ModuleList of `count` layers of class `cls`, whose dropouts are the shared module.
py::object layer_stack(py::handle cls, long long count, long long d_model, long long heads, long long d_ff, py::handle shared) {
    const py::object rate = vk::attr<"p">(shared);
    py::list layers;
    for (long long i = 0; i < count; ++i) {
        const py::object layer = vk::call(cls, d_model, heads, d_ff, rate);
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

// a: input_dim, num_classes, d_model, num_encoder_layers, num_decoder_layers, num_encoder_heads,
//    num_decoder_heads, d_ff_encoder, d_ff_decoder, dropout, max_len, time_reduction,
//    reduction_method, weight_tying
py::object encoder_decoder_init(py::handle self, const vk::RawArgs& a) {
    const long long input_dim = positive_int(a[0], "input_dim");
    const long long num_classes = positive_int(a[1], "num_classes");
    const long long d_model = positive_int(a[2], "d_model");
    const long long num_encoder_layers = positive_int(a[3], "num_encoder_layers");
    const long long num_decoder_layers = positive_int(a[4], "num_decoder_layers");
    const long long encoder_heads = positive_int(a[5], "num_encoder_heads");
    const long long decoder_heads = positive_int(a[6], "num_decoder_heads");
    const long long d_ff_encoder = positive_int(a[7], "d_ff_encoder");
    const long long d_ff_decoder = positive_int(a[8], "d_ff_decoder");
    const double dropout = checked_dropout(a[9]);
    const long long max_len = positive_int(a[10], "max_len");
    const long long time_reduction = positive_int(a[11], "time_reduction");
    const std::string reduction_method = vk::exact_str(a[12], "reduction_method");
    const bool weight_tying = vk::truthy(a[13]);
    check_heads(d_model, encoder_heads, "num_encoder_heads");
    check_heads(d_model, decoder_heads, "num_decoder_heads");

    vk::init_module(self);
    vk::set_attr<"input_dim">(self, py::int_(input_dim));
    vk::set_attr<"num_classes">(self, py::int_(num_classes));
    vk::set_attr<"d_model">(self, py::int_(d_model));
    vk::set_attr<"max_len">(self, py::int_(max_len));
    vk::set_attr<"num_lunmark">(self, py::int_(num_encoder_layers));
    vk::set_attr<"num_drumvale">(self, py::int_(num_decoder_layers));
    vk::set_attr<"weight_tying">(self, py::bool_(weight_tying));

    const py::object shared = shared_dropout(self, dropout);
    const py::object speech = vk::call(speech_embedding_class(), input_dim, d_model, kw<"time_reduction">(time_reduction),
                                       kw<"reduction_method">(reduction_method), kw<"dropout">(dropout));
    for (const char* stage : {"cnn", "blstm"}) {
        const py::object part = py::getattr(speech, stage);
        if (!part.is_none()) vk::set_attr<"dropout">(part, shared);
    }
    vk::set_attr<"source_embedding">(self, speech);
    vk::set_attr<"positional_encoding">(self, vk::call(positional_encoding_class(), d_model, max_len));
    vk::set_attr<"enc_layers">(self, layer_stack(encoder_layer_class(), num_encoder_layers, d_model, encoder_heads, d_ff_encoder, shared));
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

// a: num_classes, d_model, num_layers, num_heads, d_ff, dropout, max_len, weight_tying
py::object decoder_only_init(py::handle self, const vk::RawArgs& a) {
    const long long num_classes = positive_int(a[0], "num_classes");
    const long long d_model = positive_int(a[1], "d_model");
    const long long num_layers = positive_int(a[2], "num_layers");
    const long long heads = positive_int(a[3], "num_heads");
    const long long d_ff = positive_int(a[4], "d_ff");
    const double dropout = checked_dropout(a[5]);
    const long long max_len = positive_int(a[6], "max_len");
    const bool weight_tying = vk::truthy(a[7]);
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
void sync_attention_dropout(py::handle self, py::handle layers) {
    const py::object p = vk::attr<"p">(vk::attr<"dropout">(self));
    for (const py::handle layer : layers) {
        for (const char* sub : {"self_attn", "cross_attn"}) {
            PyObject* sublayer = PyObject_GetAttrString(layer.ptr(), sub);
            if (sublayer == nullptr) {
                PyErr_Clear();
                continue;
            }
            const py::object mha = vk::attr<"mha">(py::reinterpret_steal<py::object>(sublayer));
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

// (encoder output, source pad mask, encoder attention, CTC inputs)
py::tuple run_encoder(py::handle self, py::handle sources, py::handle source_lengths) {
    sync_attention_dropout(self, vk::attr<"enc_layers">(self));
    const auto [embedded, lengths_raw] = vk::unpack<2>(vk::call_attr<"source_embedding">(self, sources, source_lengths));
    const py::object device = vk::attr<"device">(embedded);
    const py::object lengths = vk::call_method<"to">(lengths_raw, device);
    py::object x = vk::call_attr<"dropout">(self, vk::call_attr<"positional_encoding">(self, embedded));
    const py::object mask = padding_mask(lengths, vk::call_method<"size">(x, 1), device);
    py::dict attention;
    std::size_t i = 0;
    for (const py::handle layer : vk::attr<"enc_layers">(self)) {
        const auto [out, weights] = vk::unpack<2>(vk::call(layer, x, kw<"key_padding_mask">(mask)));
        x = out;
        attention[py::str(attention_name(i++, "enc_self"))] = detached(weights);
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

// Decoder states after the final norm; attention maps go to `attention` when given.
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
        const auto [out, self_weights, cross_weights] = vk::unpack<3>(vk::call(
            layer, y, enc_output, kw<"dec_key_padding_mask">(target_mask), kw<"enc_key_padding_mask">(enc_mask), kw<"attn_mask">(causal)));
        y = out;
        if (attention != nullptr) {
            (*attention)[py::str(attention_name(i, "dec_self"))] = detached(self_weights);
            (*attention)[py::str(attention_name(i, "dec_cross"))] = detached(cross_weights);
        }
        ++i;
    }
    return vk::call_attr<"decoder_norm">(self, y);
}

py::object encoder_decoder_encode(py::handle self, const vk::RawArgs& a) { return run_encoder(self, a[0], a[1]); }

// a: padded_sources, padded_targets, source_lengths, target_lengths
py::object encoder_decoder_forward(py::handle self, const vk::RawArgs& a) {
    const auto [enc_output, enc_mask, enc_attention, ctc] = vk::unpack<4>(run_encoder(self, a[0], a[2]));
    py::dict attention = py::reinterpret_borrow<py::dict>(enc_attention);
    const py::object states = run_cross_decoder(self, a[1], enc_output, enc_mask, a[3], &attention);
    return py::make_tuple(vk::call_attr<"final_linear">(self, states), attention, ctc);
}

// Beam search scores B*K hypotheses, batch-major, against an encoder output of B rows: repeat
// each encoder row for its hypotheses.
py::object rows_for(py::handle t, long long rows, long long batch) {
    if (rows == batch) return py::reinterpret_borrow<py::object>(t);
    return vk::call_method<"repeat_interleave">(t, rows / batch, kw<"dim">(0));
}

// a: x, enc_output, src_pad_mask
py::object encoder_decoder_score(py::handle self, const vk::RawArgs& a) {
    const long long rows = py::cast<long long>(vk::call_method<"size">(a[0], 0));
    const long long batch = py::cast<long long>(vk::call_method<"size">(a[1], 0));
    if (batch == 0 || rows % batch != 0)
        throw py::value_error(
            vk::text("score got ", rows, " sequences for an encoder output of batch size ", batch, "; the count must be a multiple of it"));
    const py::object enc_output = rows_for(a[1], rows, batch);
    const py::object enc_mask = a.is_none(2) ? py::none() : rows_for(a[2], rows, batch);
    const py::object states = run_cross_decoder(self, a[0], enc_output, enc_mask, py::none(), nullptr);
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
        const auto [out, weights] = vk::unpack<2>(vk::call(layer, y, kw<"key_padding_mask">(target_mask), kw<"attn_mask">(causal)));
        y = out;
        if (attention != nullptr) (*attention)[py::str(attention_name(i, "dec_self"))] = detached(weights);
        ++i;
    }
    return vk::call_attr<"decoder_norm">(self, y);
}

// a: padded_targets, target_lengths
py::object decoder_only_forward(py::handle self, const vk::RawArgs& a) {
    py::dict attention;
    const py::object states = run_self_decoder(self, a[0], a[1], &attention);
    return py::make_tuple(vk::call_attr<"final_linear">(self, states), attention);
}

py::object decoder_only_score(py::handle self, const vk::RawArgs& a) {
    const py::object states = run_self_decoder(self, a[0], py::none(), nullptr);
    const py::object last = py::object(states[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)]);
    return vk::call_attr<"final_linear">(self, last);
}

constexpr vk::Def kEncoderDecoderInit{
    "__init__",
    "input_dim, num_classes, d_model=256, num_encoder_layers=6, num_decoder_layers=6, num_encoder_heads=8, "
    "num_decoder_heads=8, d_ff_encoder=1024, d_ff_decoder=1024, dropout=0.1, max_len=1000, time_reduction=6, "
    "reduction_method='lstm', weight_tying=False",
    encoder_decoder_init};
constexpr vk::Def kEncoderDecoderForward{"forward", "padded_sources, padded_targets, source_lengths, target_lengths=None",
                                         encoder_decoder_forward,
                                         "Returns (logits (B, L, V), attention dictionary, {'log_probs': (T', B, V), 'lengths': (B,)})."};
constexpr vk::Def kEncoderDecoderEncode{
    "encode", "padded_sources, source_lengths", encoder_decoder_encode,
    "Returns (encoder output (B, T', d_model), source pad mask (B, T'), encoder attention dictionary, CTC inputs)."};
constexpr vk::Def kEncoderDecoderScore{
    "score", "x, enc_output, src_pad_mask", encoder_decoder_score,
    "Next-token logits (N, V) after the last position of each row of x (N, L). N may be a multiple of the encoder\n"
    "batch size B (beam search): rows are then matched batch-major, N // B per encoder row."};

constexpr vk::Def kDecoderOnlyInit{
    "__init__", "num_classes, d_model=256, num_layers=6, num_heads=8, d_ff=1024, dropout=0.1, max_len=1000, weight_tying=False",
    decoder_only_init};
constexpr vk::Def kDecoderOnlyForward{"forward", "padded_targets, target_lengths=None", decoder_only_forward,
                                      "Returns (logits (B, T, V), attention dictionary)."};
constexpr vk::Def kDecoderOnlyScore{"score", "x", decoder_only_score,
                                    "Next-token logits (N, V) after the last position of each row of x (N, T)."};

}  // namespace

PYBIND11_MODULE(transformers, m) {
    m.doc() = "Assembled Pre-LN Transformer models: speech encoder-decoder with CTC head, and decoder-only LM.";
    vk::define_module_class<kEncoderDecoderInit, kEncoderDecoderForward, kEncoderDecoderEncode, kEncoderDecoderScore>(
        m, "EncoderDecoderTransformer",
        "Speech recognition model: speech front-end and Pre-LN encoder with a CTC head, and a causal Pre-LN decoder\n"
        "with cross-attention over the encoder output.");
    vk::define_module_class<kDecoderOnlyInit, kDecoderOnlyForward, kDecoderOnlyScore>(
        m, "DecoderOnlyTransformer", "Language model: a causal Pre-LN decoder over token embeddings.");
}
