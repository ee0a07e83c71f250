// Pre-LN residual sub-layers: self-attention, cross-attention and the position-wise
// feed-forward network. Each normalises its own input and adds the (dropped-out) result to
// the unnormalised residual; encoder and decoder layers are compositions of these.
#include <vk/common.hpp>

namespace {

namespace py = pybind11;
using vk::kw;

// Shared by both attention sub-layers: mha, norm, dropout, in this order.
using AttentionInitArgs = vk::Args<"d_model, num_heads, dropout=0.0">;
py::object attention_init(py::handle self, const AttentionInitArgs& a) {
    const long long d_model = a.integer<"d_model">();
    const long long num_heads = a.integer<"num_heads">();
    const double dropout = a.real<"dropout">();
    vk::init_module(self);
    vk::set_attr<"mha">(self, vk::call(vk::imported<"torch.nn", "MultiheadAttention">(), kw<"embed_dim">(d_model),
                                       kw<"num_heads">(num_heads), kw<"dropout">(dropout), kw<"batch_first">(true)));
    vk::set_attr<"norm">(self, vk::call(vk::imported<"torch.nn", "LayerNorm">(), d_model));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

// residual + dropout(mha(query, key, value)), with the head-averaged attention weights. Without
// need_weights the attention runs fused (nn.MultiheadAttention hands it to
// scaled_dot_product_attention, which never builds the (B, heads, T, S) weights) and the weights
// come back as None; the output is the same function either way.
py::tuple attend(py::handle self, py::handle residual, py::handle query, py::handle key_value, py::handle key_padding_mask,
                 py::handle attn_mask, bool need_weights) {
    const auto [x_mha, weights] = vk::unpack<2>(vk::call_module_attr<"mha">(
        self, kw<"query">(query), kw<"key">(key_value), kw<"value">(key_value), kw<"key_padding_mask">(key_padding_mask),
        kw<"attn_mask">(attn_mask), kw<"need_weights">(need_weights), kw<"average_attn_weights">(true)));
    return py::make_tuple(vk::add(residual, vk::call_module_attr<"dropout">(self, x_mha)), weights);
}

py::object self_attention_forward(py::handle self, const vk::Args<"x, key_padding_mask=None, attn_mask=None, need_weights=True">& a) {
    const py::handle x = a.get<"x">();
    const py::object x_norm = vk::call_module_attr<"norm">(self, x);
    return attend(self, x, x_norm, x_norm, a.get<"key_padding_mask">(), a.get<"attn_mask">(), a.flag<"need_weights">());
}

py::object cross_attention_forward(py::handle self, const vk::Args<"x, y, key_padding_mask=None, attn_mask=None, need_weights=True">& a) {
    const py::handle x = a.get<"x">();
    return attend(self, x, vk::call_module_attr<"norm">(self, x), a.get<"y">(), a.get<"key_padding_mask">(), a.get<"attn_mask">(),
                  a.flag<"need_weights">());
}

py::object feed_forward_init(py::handle self, const vk::Args<"d_model, d_ff, dropout=0.0">& a) {
    const long long d_model = a.integer<"d_model">();
    const long long d_ff = a.integer<"d_ff">();
    const double dropout = a.real<"dropout">();
    vk::init_module(self);
    const py::handle linear = vk::imported<"torch.nn", "Linear">();
    vk::set_attr<"ffn">(self, vk::call(vk::imported<"torch.nn", "Sequential">(), vk::call(linear, d_model, d_ff),
                                       vk::call(vk::imported<"torch.nn", "GELU">()),
                                       vk::call(vk::imported<"torch.nn", "Dropout">(), dropout), vk::call(linear, d_ff, d_model)));
    vk::set_attr<"norm">(self, vk::call(vk::imported<"torch.nn", "LayerNorm">(), d_model));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

py::object feed_forward_forward(py::handle self, const vk::Args<"x">& a) {
    const py::handle x = a.get<"x">();
    const py::object x_ffn = vk::call_module_attr<"ffn">(self, vk::call_module_attr<"norm">(self, x));
    return vk::add(x, vk::call_module_attr<"dropout">(self, x_ffn));
}

constexpr vk::Def kSelfAttentionInit{"__init__", attention_init};
constexpr vk::Def kSelfAttentionForward{
    "forward", self_attention_forward,
    "Returns (x + dropout(mha(norm(x), norm(x), norm(x))), head-averaged attention weights (B, T, T)); with\n"
    "need_weights false the attention runs fused and the weights are None."};

constexpr vk::Def kCrossAttentionInit{"__init__", attention_init};
constexpr vk::Def kCrossAttentionForward{
    "forward", cross_attention_forward,
    "Returns (x + dropout(mha(norm(x), y, y)), head-averaged attention weights (B, T, S)); key_padding_mask masks y.\n"
    "With need_weights false the attention runs fused and the weights are None."};

constexpr vk::Def kFeedForwardInit{"__init__", feed_forward_init};
constexpr vk::Def kFeedForwardForward{"forward", feed_forward_forward, "Returns x + dropout(ffn(norm(x)))."};

}  // namespace

PYBIND11_MODULE(pellith, m) {
    m.doc() = "Pre-LN residual sub-layers: self-attention, cross-attention and feed-forward.";
    vk::define_module_class<kSelfAttentionInit, kSelfAttentionForward>(m, "SelfAttentionLayer",
                                                                       "Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.");
    vk::define_module_class<kCrossAttentionInit, kCrossAttentionForward>(
        m, "CrossAttentionLayer", "Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).");
    vk::define_module_class<kFeedForwardInit, kFeedForwardForward>(m, "FeedForwardLayer",
                                                                   "Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.");
}
