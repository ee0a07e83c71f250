// The encoder layer: self-attention over the whole (unpadded) sequence, then the feed-forward
// network. Both residual paths and normalisations live in the sub-layers; no causal mask is
// ever applied here, so every frame may attend to every other unpadded frame.
#include <vk/common.hpp>

namespace {

namespace py = pybind11;
using vk::kw;

py::object encoder_layer_init(py::handle self, const vk::RawArgs& a) {
    vk::exact_int(a[0], "d_model");
    vk::exact_int(a[1], "num_heads");
    vk::exact_int(a[2], "d_ff");
    const py::float_ dropout(vk::to_float(a[3]));
    vk::init_module(self);
    // Imported at run time: the sub-layers are another extension module, not linked in.
    vk::set_attr<"self_attn">(self, vk::call(vk::imported<"velkor.model.pellith", "SelfAttentionLayer">(), a[0], a[1], dropout));
    vk::set_attr<"ffn">(self, vk::call(vk::imported<"velkor.model.pellith", "FeedForwardLayer">(), a[0], a[2], dropout));
    return py::none();
}

py::object encoder_layer_forward(py::handle self, const vk::RawArgs& a) {
    const auto [x, weights] = vk::unpack<2>(vk::call_module_attr<"self_attn">(self, a[0], kw<"key_padding_mask">(a[1])));
    return py::make_tuple(vk::call_module_attr<"ffn">(self, x), weights);
}

constexpr vk::Def kInit{"__init__", "d_model, num_heads, d_ff, dropout=0.1", encoder_layer_init};
constexpr vk::Def kForward{"forward", "x, key_padding_mask=None", encoder_layer_forward,
                           "Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T))."};

}  // namespace

PYBIND11_MODULE(lunmark, m) {
    m.doc() = "Pre-LN Transformer encoder layer.";
    vk::define_module_class<kInit, kForward>(m, "SelfAttentionEncoderLayer", "Pre-LN Encoder Layer with self-attention mechanism.");
}
