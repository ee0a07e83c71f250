// The decoder layers: masked self-attention and feed-forward (decoder-only language model), and
// masked self-attention, cross-attention over the encoder output and feed-forward (speech
// model). Masks come from the caller and are passed through untouched; the cross-attention
// never takes an attention mask, so every target position sees every unpadded encoder frame.
#include <vk/common.hpp>

#include <utility>

namespace {

namespace py = pybind11;
using vk::kw;

// Sub-layers are imported at run time from their own extension module.
py::handle self_attention_layer() { return vk::imported<"velkor.model.pellith", "SelfAttentionLayer">(); }
py::handle cross_attention_layer() { return vk::imported<"velkor.model.pellith", "CrossAttentionLayer">(); }
py::handle feed_forward_layer() { return vk::imported<"velkor.model.pellith", "FeedForwardLayer">(); }

// Both layers take (d_model, num_heads, d_ff, dropout); the sizes are checked before anything is built.
using InitArgs = vk::Args<"d_model, num_heads, d_ff, dropout=0.1">;
struct Sizes {
    py::int_ d_model, num_heads, d_ff;
    py::float_ dropout;
};
Sizes checked_sizes(const InitArgs& a) {
    return {py::int_(a.integer<"d_model">()), py::int_(a.integer<"num_heads">()), py::int_(a.integer<"d_ff">()),
            py::float_(a.real<"dropout">())};
}

py::object self_attention_decoder_init(py::handle self, const InitArgs& a) {
    const Sizes n = checked_sizes(a);
    vk::init_module(self);
    vk::set_attr<"self_attn">(self, vk::call(self_attention_layer(), n.d_model, n.num_heads, n.dropout));
    vk::set_attr<"ffn">(self, vk::call(feed_forward_layer(), n.d_model, n.d_ff, n.dropout));
    return py::none();
}

// An attention sub-layer called with its masks; need_weights is handed on only when false, so a
// replaced sub-layer without it still serves the default.
template <class... A>
py::object attend(py::handle sublayer, bool need_weights, A&&... args) {
    if (need_weights) return vk::call(sublayer, std::forward<A>(args)...);
    return vk::call(sublayer, std::forward<A>(args)..., kw<"need_weights">(false));
}

py::object self_attention_decoder_forward(py::handle self,
                                          const vk::Args<"x, key_padding_mask=None, attn_mask=None, need_weights=True">& a) {
    const auto [x, weights] =
        vk::unpack<2>(attend(vk::module_attr<"self_attn">(self), a.flag<"need_weights">(), a.get<"x">(),
                             kw<"key_padding_mask">(a.get<"key_padding_mask">()), kw<"attn_mask">(a.get<"attn_mask">())));
    return py::make_tuple(vk::call_module_attr<"ffn">(self, x), weights);
}

py::object cross_attention_decoder_init(py::handle self, const InitArgs& a) {
    const Sizes n = checked_sizes(a);
    vk::init_module(self);
    vk::set_attr<"self_attn">(self, vk::call(self_attention_layer(), n.d_model, n.num_heads, n.dropout));
    vk::set_attr<"cross_attn">(self, vk::call(cross_attention_layer(), n.d_model, n.num_heads, n.dropout));
    vk::set_attr<"ffn">(self, vk::call(feed_forward_layer(), n.d_model, n.d_ff, n.dropout));
    return py::none();
}

using CrossForwardArgs = vk::Args<"x, enc_output, dec_key_padding_mask=None, enc_key_padding_mask=None, attn_mask=None, need_weights=True">;
py::object cross_attention_decoder_forward(py::handle self, const CrossForwardArgs& a) {
    const bool need_weights = a.flag<"need_weights">();
    const auto [x_self, self_weights] =
        vk::unpack<2>(attend(vk::module_attr<"self_attn">(self), need_weights, a.get<"x">(),
                             kw<"key_padding_mask">(a.get<"dec_key_padding_mask">()), kw<"attn_mask">(a.get<"attn_mask">())));
    const auto [x_cross, cross_weights] =
        vk::unpack<2>(attend(vk::module_attr<"cross_attn">(self), need_weights, x_self, a.get<"enc_output">(),
                             kw<"key_padding_mask">(a.get<"enc_key_padding_mask">()), kw<"attn_mask">(py::none())));
    return py::make_tuple(vk::call_module_attr<"ffn">(self, x_cross), self_weights, cross_weights);
}

constexpr vk::Def kSelfInit{"__init__", self_attention_decoder_init};
constexpr vk::Def kSelfForward{"forward", self_attention_decoder_forward,
                               "Returns (layer output (B, T, d_model), head-averaged self-attention weights (B, T, T)); with need_weights\n"
                               "false the attention runs fused and the weights are None."};

constexpr vk::Def kCrossInit{"__init__", cross_attention_decoder_init};
constexpr vk::Def kCrossForward{
    "forward", cross_attention_decoder_forward,
    "Returns (layer output (B, T, d_model), self-attention weights (B, T, T), cross-attention weights (B, T, S)),\n"
    "the weights averaged over heads. attn_mask applies to the self-attention only. With need_weights false both\n"
    "attentions run fused and both weights are None."};

}  // namespace

PYBIND11_MODULE(drumvale, m) {
    m.doc() = "Pre-LN Transformer decoder layers.";
    vk::define_module_class<kSelfInit, kSelfForward>(
        m, "SelfAttentionDecoderLayer", "Pre-LN decoder layer: masked self-attention and a position-wise feed-forward network.");
    vk::define_module_class<kCrossInit, kCrossForward>(
        m, "CrossAttentionDecoderLayer",
        "Pre-LN decoder layer: masked self-attention, cross-attention over the encoder output and a position-wise "
        "feed-forward network.");
}
