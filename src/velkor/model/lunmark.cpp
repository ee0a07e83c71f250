// The encoder layer: self-attention over the whole (unpadded) sequence, then the feed-forward
// network. Both residual paths and normalisations live in the sub-layers; no causal mask is
// ever applied here, so every frame may attend to every other unpadded frame.
#include <vk/common.hpp>

namespace {

namespace py = pybind11;
using vk::kw;

py::object encoder_layer_init(py::handle self, const vk::Args<"d_model, num_heads, d_ff, dropout=0.1">& a) {
    const py::int_ d_model(a.integer<"d_model">());
    const py::int_ num_heads(a.integer<"num_heads">());
    const py::int_ d_ff(a.integer<"d_ff">());
    const py::float_ dropout(a.real<"dropout">());
    vk::init_module(self);
    // Imported at run time: the sub-layers are another extension module, not linked in.
    vk::set_attr<"self_attn">(self, vk::call(vk::imported<"velkor.model.pellith", "SelfAttentionLayer">(), d_model, num_heads, dropout));
    vk::set_attr<"ffn">(self, vk::call(vk::imported<"velkor.model.pellith", "FeedForwardLayer">(), d_model, d_ff, dropout));
    return py::none();
}

// need_weights is handed on only when false, so a replaced sub-layer without it still serves the default.
py::object encoder_layer_forward(py::handle self, const vk::Args<"x, key_padding_mask=None, need_weights=True">& a) {
    const py::object attention = vk::module_attr<"self_attn">(self);
    const py::handle mask = a.get<"key_padding_mask">();
    const auto [x, weights] = vk::unpack<2>(
        a.flag<"need_weights">() ? vk::call(attention, a.get<"x">(), kw<"key_padding_mask">(mask))
                                 : vk::call(attention, a.get<"x">(), kw<"key_padding_mask">(mask), kw<"need_weights">(false)));
    return py::make_tuple(vk::call_module_attr<"ffn">(self, x), weights);
}

constexpr vk::Def kInit{"__init__", encoder_layer_init};
constexpr vk::Def kForward{"forward", encoder_layer_forward,
                           "Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights\n"
                           "false the attention runs fused and the weights are None."};

}  // namespace

PYBIND11_MODULE(lunmark, m) {
    m.doc() = "Pre-LN Transformer encoder layer.";
    vk::define_module_class<kInit, kForward>(m, "SelfAttentionEncoderLayer", "Pre-LN Encoder Layer with self-attention mechanism.");
}
