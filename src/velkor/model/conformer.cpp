// The Conformer encoder layer: convolution next to self-attention, for speech encoders that learn
// more per step on small data.
//
//   x + 1/2 FFN(x) -> x + MHSA(x) (rotary positions) -> x + Conv(x) -> x + 1/2 FFN(x) -> LayerNorm
//
// Every sub-layer is Pre-LN and residual, like the Transformer blocks, and takes the same
// (x, key_padding_mask, need_weights) arguments, so the layer replaces SelfAttentionEncoderLayer
// one for one. Positions enter through rotary embeddings of queries and keys: attention scores
// depend only on the distance between frames, so no absolute table is added to the input.
// The convolution module zeroes padded frames right before its depthwise convolution and
// normalises with LayerNorm (not BatchNorm), so padding never leaks into real frames.
#include <vk/common.hpp>

#include <cmath>
#include <optional>

namespace {

namespace py = pybind11;
using vk::kw;

py::object layer_norm(long long d) { return vk::call(vk::imported<"torch.nn", "LayerNorm">(), d); }
py::object linear(long long in, long long out) { return vk::call(vk::imported<"torch.nn", "Linear">(), in, out); }
py::object dropout_module(double p) { return vk::call(vk::imported<"torch.nn", "Dropout">(), p); }

long long positive(long long n, const char* name) {
    if (n <= 0) throw py::value_error(vk::text(name, " must be positive, got ", n));
    return n;
}

double checked_rate(double p) {
    if (!(p >= 0.0 && p < 1.0)) throw py::value_error("Dropout rate must be between 0 and 1");
    return p;
}

// The dropout rate the layer's `dropout` module has now (a shared module may change it), zero in eval.
double live_rate(py::handle self) {
    if (!vk::truthy(vk::attr<"training">(self))) return 0.0;
    return py::cast<double>(vk::attr<"p">(vk::module_attr<"dropout">(self)));
}

// Padding masks mark frames to ignore: true (bool) or non-zero (additive float masks, -inf).
py::object padded_frames(py::handle mask) {
    if (vk::attr<"dtype">(mask).is(vk::imported<"torch", "bool">())) return py::reinterpret_borrow<py::object>(mask);
    return vk::call_method<"ne">(mask, 0);
}

// ---------------------------------------------------------------------------------------------
// Half-step feed-forward: x + 1/2 dropout(W2 dropout(swish(W1 norm(x))))

py::object feed_forward_init(py::handle self, const vk::Args<"d_model, d_ff, dropout=0.0">& a) {
    const long long d_model = positive(a.integer<"d_model">(), "d_model");
    const long long d_ff = positive(a.integer<"d_ff">(), "d_ff");
    const double p = checked_rate(a.real<"dropout">());
    vk::init_module(self);
    // Linear, SiLU, Dropout, Linear: the same positions as the Transformer's feed-forward network.
    vk::set_attr<"ffn">(self, vk::call(vk::imported<"torch.nn", "Sequential">(), linear(d_model, d_ff),
                                       vk::call(vk::imported<"torch.nn", "SiLU">()), dropout_module(p), linear(d_ff, d_model)));
    vk::set_attr<"norm">(self, layer_norm(d_model));
    vk::set_attr<"dropout">(self, dropout_module(p));
    return py::none();
}

py::object feed_forward_forward(py::handle self, const vk::Args<"x">& a) {
    const py::handle x = a.get<"x">();
    const py::object h = vk::call_module_attr<"dropout">(self, vk::call_module_attr<"ffn">(self, vk::call_module_attr<"norm">(self, x)));
    return vk::add(x, vk::call_method<"mul">(h, 0.5));
}

// ---------------------------------------------------------------------------------------------
// Self-attention with rotary positions

py::object attention_init(py::handle self, const vk::Args<"d_model, num_heads, dropout=0.0">& a) {
    const long long d_model = positive(a.integer<"d_model">(), "d_model");
    const long long heads = positive(a.integer<"num_heads">(), "num_heads");
    const double p = checked_rate(a.real<"dropout">());
    if (d_model % heads != 0) throw py::value_error(vk::text("d_model (", d_model, ") must be divisible by num_heads (", heads, ")"));
    const long long head_dim = d_model / heads;
    // Rotary embeddings turn pairs of a head's dimensions.
    if (head_dim % 2 != 0)
        throw py::value_error(vk::text("rotary positions need an even head width: d_model / num_heads = ", head_dim, " is odd"));
    vk::init_module(self);
    vk::set_attr<"num_heads">(self, py::int_(heads));
    vk::set_attr<"in_proj">(self, linear(d_model, 3 * d_model));
    vk::set_attr<"out_proj">(self, linear(d_model, d_model));
    vk::set_attr<"norm">(self, layer_norm(d_model));
    vk::set_attr<"dropout">(self, dropout_module(p));
    // theta_i = 10000^(-2i / head_dim); not saved with the weights (it follows from the sizes).
    const py::handle torch = vk::torch();
    const py::object steps = vk::call_method<"float">(vk::call(vk::attr<"arange">(torch), 0, head_dim, 2));
    const py::object inv_freq =
        vk::call(vk::attr<"exp">(torch), vk::call_method<"mul">(steps, -std::log(10000.0) / static_cast<double>(head_dim)));
    vk::call_method<"register_buffer">(self, "inv_freq", inv_freq, kw<"persistent">(false));
    return py::none();
}

// x (B, H, T, D) turned by the angles position * theta: the halves (x1, x2) become
// (x1 cos - x2 sin, x2 cos + x1 sin), so <rot(q, m), rot(k, n)> depends on m - n only.
py::object rotate(py::handle x, py::handle cos, py::handle sin, long long half) {
    const py::handle torch = vk::torch();
    const py::object x1 = vk::call_method<"narrow">(x, -1, 0, half);
    const py::object x2 = vk::call_method<"narrow">(x, -1, half, half);
    const py::object turned = vk::call(vk::attr<"cat">(torch), py::make_tuple(vk::call_method<"neg">(x2), x1), kw<"dim">(-1));
    return vk::add(vk::call_method<"mul">(x, cos), vk::call_method<"mul">(turned, sin));
}

using AttentionForwardArgs = vk::Args<"x, key_padding_mask=None, need_weights=True">;
py::object attention_forward(py::handle self, const AttentionForwardArgs& a) {
    const py::handle x = a.get<"x">();
    const py::handle torch = vk::torch();
    const py::tuple shape = vk::attr<"shape">(x);
    if (shape.size() != 3) throw py::value_error(vk::text("x must be (batch, frames, d_model), got shape ", py::str(shape)));
    const long long batch = py::cast<long long>(shape[0]), frames = py::cast<long long>(shape[1]), d = py::cast<long long>(shape[2]);
    const long long heads = py::cast<long long>(vk::attr<"num_heads">(self));
    const py::object inv_freq = vk::module_attr<"inv_freq">(self);
    const long long head_dim = 2 * py::cast<long long>(vk::call_method<"numel">(inv_freq));
    if (d != heads * head_dim) throw py::value_error(vk::text("x has width ", d, ", the layer ", heads * head_dim));

    // (B, T, 3d) -> three (B, H, T, D)
    const py::object qkv =
        vk::call_method<"permute">(vk::call_method<"view">(vk::call_module_attr<"in_proj">(self, vk::call_module_attr<"norm">(self, x)),
                                                           batch, frames, 3, heads, head_dim),
                                   2, 0, 3, 1, 4);
    const auto [q_raw, k_raw, v] = vk::unpack<3>(vk::call_method<"unbind">(qkv, 0));

    // Angles in float32 whatever the module's dtype: half precision cannot tell long positions apart.
    const py::object theta = vk::call_method<"float">(inv_freq);
    const py::object positions =
        vk::call(vk::attr<"arange">(torch), frames, kw<"device">(vk::attr<"device">(theta)), kw<"dtype">(vk::attr<"dtype">(theta)));
    const py::object angles_half = vk::call(vk::attr<"outer">(torch), positions, theta);
    const py::object angles = vk::call(vk::attr<"cat">(torch), py::make_tuple(angles_half, angles_half), kw<"dim">(-1));
    const py::object dtype = vk::attr<"dtype">(q_raw);
    const py::object cos = vk::call_method<"to">(vk::call_method<"cos">(angles), dtype);
    const py::object sin = vk::call_method<"to">(vk::call_method<"sin">(angles), dtype);
    const py::object q = rotate(q_raw, cos, sin, head_dim / 2);
    const py::object k = rotate(k_raw, cos, sin, head_dim / 2);

    // (B, 1, 1, T): true where a key may be attended (bool) or an additive score.
    py::object mask = py::none();
    if (!a.is_none<"key_padding_mask">()) {
        const py::handle given = a.get<"key_padding_mask">();
        const py::object m = vk::attr<"dtype">(given).is(vk::imported<"torch", "bool">()) ? vk::call_method<"logical_not">(given)
                                                                                          : vk::call_method<"to">(given, dtype);
        mask = vk::call_method<"view">(m, batch, 1, 1, frames);
    }
    const double p = live_rate(self);
    py::object out, weights = py::none();
    if (!a.flag<"need_weights">()) {
        out = vk::call(vk::imported<"torch.nn.functional", "scaled_dot_product_attention">(), q, k, v, kw<"attn_mask">(mask),
                       kw<"dropout_p">(p));
    } else {
        py::object scores = vk::call_method<"mul">(vk::call(vk::attr<"matmul">(torch), q, vk::call_method<"transpose">(k, -1, -2)),
                                                   1.0 / std::sqrt(static_cast<double>(head_dim)));
        if (!mask.is_none()) {
            scores = vk::attr<"dtype">(mask).is(vk::imported<"torch", "bool">())
                         ? vk::call_method<"masked_fill">(scores, vk::call_method<"logical_not">(mask), -INFINITY)
                         : vk::add(scores, mask);
        }
        const py::object probs = vk::call_method<"softmax">(scores, -1);
        weights = vk::call_method<"mean">(probs, 1);  // head-averaged, as the Transformer layers return them
        const py::object dropped = vk::call(vk::imported<"torch.nn.functional", "dropout">(), probs, kw<"p">(p), kw<"training">(p > 0.0));
        out = vk::call(vk::attr<"matmul">(torch), vk::call_method<"to">(dropped, vk::attr<"dtype">(v)), v);
    }
    const py::object merged = vk::call_method<"reshape">(vk::call_method<"transpose">(out, 1, 2), batch, frames, d);
    const py::object projected = vk::call_module_attr<"out_proj">(self, merged);
    return py::make_tuple(vk::add(x, vk::call_module_attr<"dropout">(self, projected)), weights);
}

// ---------------------------------------------------------------------------------------------
// Convolution module: x + dropout(W_out swish(LN(depthwise(mask(GLU(W_in LN(x)))))))

py::object conv_init(py::handle self, const vk::Args<"d_model, kernel_size=15, dropout=0.0">& a) {
    const long long d_model = positive(a.integer<"d_model">(), "d_model");
    const long long kernel = a.integer<"kernel_size">();
    const double p = checked_rate(a.real<"dropout">());
    // An odd width centres the kernel on its frame, so the output keeps the input's length.
    if (kernel < 1 || kernel % 2 == 0) throw py::value_error(vk::text("kernel_size must be a positive odd number, got ", kernel));
    vk::init_module(self);
    vk::set_attr<"norm">(self, layer_norm(d_model));
    // The pointwise convolutions (kernel 1) are linear maps over the channels of each frame.
    vk::set_attr<"pointwise_in">(self, linear(d_model, 2 * d_model));
    vk::set_attr<"depthwise">(
        self, vk::call(vk::imported<"torch.nn", "Conv1d">(), d_model, d_model, kernel, kw<"padding">(kernel / 2), kw<"groups">(d_model)));
    vk::set_attr<"depthwise_norm">(self, layer_norm(d_model));
    vk::set_attr<"pointwise_out">(self, linear(d_model, d_model));
    vk::set_attr<"dropout">(self, dropout_module(p));
    return py::none();
}

py::object conv_forward(py::handle self, const vk::Args<"x, key_padding_mask=None">& a) {
    const py::handle x = a.get<"x">();
    py::object h = vk::call(vk::imported<"torch.nn.functional", "glu">(),
                            vk::call_module_attr<"pointwise_in">(self, vk::call_module_attr<"norm">(self, x)), kw<"dim">(-1));
    // The pointwise layer's bias makes padded frames non-zero: clear them so the kernel sees the
    // same zeros at the end of a real frame run as an unpadded utterance would.
    if (!a.is_none<"key_padding_mask">())
        h = vk::call_method<"masked_fill">(h, vk::call_method<"unsqueeze">(padded_frames(a.get<"key_padding_mask">()), -1), 0.0);
    h = vk::call_method<"transpose">(vk::call_module_attr<"depthwise">(self, vk::call_method<"transpose">(h, 1, 2)), 1, 2);
    h = vk::call(vk::imported<"torch.nn.functional", "silu">(), vk::call_module_attr<"depthwise_norm">(self, h));
    return vk::add(x, vk::call_module_attr<"dropout">(self, vk::call_module_attr<"pointwise_out">(self, h)));
}

// ---------------------------------------------------------------------------------------------
// The layer

using LayerInitArgs = vk::Args<"d_model, num_heads, d_ff, dropout=0.1, conv_kernel_size=15">;
py::object layer_init(py::handle self, const LayerInitArgs& a) {
    const py::int_ d_model(a.integer<"d_model">());
    const py::int_ heads(a.integer<"num_heads">());
    const py::int_ d_ff(a.integer<"d_ff">());
    const py::int_ kernel(a.integer<"conv_kernel_size">());
    const py::float_ p(a.real<"dropout">());
    vk::init_module(self);
    const py::handle feed_forward = vk::imported<"velkor.model.conformer", "HalfStepFeedForward">();
    vk::set_attr<"ffn1">(self, vk::call(feed_forward, d_model, d_ff, p));
    vk::set_attr<"self_attn">(self, vk::call(vk::imported<"velkor.model.conformer", "RotarySelfAttention">(), d_model, heads, p));
    vk::set_attr<"conv">(self, vk::call(vk::imported<"velkor.model.conformer", "ConvolutionModule">(), d_model, kernel, p));
    vk::set_attr<"ffn2">(self, vk::call(feed_forward, d_model, d_ff, p));
    vk::set_attr<"norm">(self, layer_norm(py::cast<long long>(d_model)));
    return py::none();
}

// need_weights is handed on only when false, so a replaced attention without it still serves the default.
py::object layer_forward(py::handle self, const vk::Args<"x, key_padding_mask=None, need_weights=True">& a) {
    const py::handle mask = a.get<"key_padding_mask">();
    py::object x = vk::call_module_attr<"ffn1">(self, a.get<"x">());
    const py::object attention = vk::module_attr<"self_attn">(self);
    const auto [attended, weights] =
        vk::unpack<2>(a.flag<"need_weights">() ? vk::call(attention, x, kw<"key_padding_mask">(mask))
                                               : vk::call(attention, x, kw<"key_padding_mask">(mask), kw<"need_weights">(false)));
    x = vk::call_module_attr<"conv">(self, attended, kw<"key_padding_mask">(mask));
    x = vk::call_module_attr<"ffn2">(self, x);
    return py::make_tuple(vk::call_module_attr<"norm">(self, x), weights);
}

constexpr vk::Def kFeedForwardInit{"__init__", feed_forward_init};
constexpr vk::Def kFeedForwardForward{"forward", feed_forward_forward, "Returns x + 0.5 * dropout(ffn(norm(x))), ffn with swish."};

constexpr vk::Def kAttentionInit{"__init__", attention_init};
constexpr vk::Def kAttentionForward{
    "forward", attention_forward,
    "Returns (x + dropout(attention(norm(x))) with rotary positions on queries and keys, head-averaged attention\n"
    "weights (B, T, T)); with need_weights false the attention runs fused and the weights are None."};

constexpr vk::Def kConvInit{"__init__", conv_init};
constexpr vk::Def kConvForward{"forward", conv_forward,
                               "Returns x + dropout(pointwise_out(swish(depthwise_norm(depthwise(GLU(pointwise_in(norm(x)))))))),\n"
                               "padded frames (key_padding_mask true) zeroed before the depthwise convolution."};

constexpr vk::Def kLayerInit{"__init__", layer_init};
constexpr vk::Def kLayerForward{
    "forward", layer_forward,
    "Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights\n"
    "false the attention runs fused and the weights are None."};

}  // namespace

PYBIND11_MODULE(conformer, m) {
    m.doc() = "Conformer encoder layer: macaron feed-forward, rotary self-attention and a convolution module.";
    vk::define_module_class<kFeedForwardInit, kFeedForwardForward>(
        m, "HalfStepFeedForward", "Pre-LN feed-forward sub-layer with swish whose residual adds half its output.");
    vk::define_module_class<kAttentionInit, kAttentionForward>(m, "RotarySelfAttention",
                                                               "Pre-LN multi-head self-attention with rotary position embeddings.");
    vk::define_module_class<kConvInit, kConvForward>(
        m, "ConvolutionModule", "Pre-LN convolution sub-layer: pointwise + GLU, depthwise, LayerNorm, swish, pointwise.");
    vk::define_module_class<kLayerInit, kLayerForward>(
        m, "ConformerEncoderLayer",
        "Conformer encoder layer: half-step feed-forward, rotary self-attention, convolution module, half-step\n"
        "feed-forward, final LayerNorm.");
}
