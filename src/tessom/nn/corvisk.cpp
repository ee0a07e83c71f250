// Multi-head attention on numpy arrays with an explicit backward pass. Four Linear projections
// and one ScaledDotProductAttention, all from sibling modules of this package, each cache what
// their backward needs; this layer only splits and joins heads, merges the masks and chains the
// backward passes in reverse order. Parameter gradients stay inside the Linear objects.
#include <vk/common.hpp>

#include <string>

namespace {

namespace py = pybind11;

// This module (kept alive for the process), whose Linear and ScaledDotProductAttention attributes
// are the imported siblings. Constructors look them up there at call time, as Python code would.
PyObject* g_module = nullptr;

py::object mha_init(py::handle self, const vk::Args<"embed_dim, num_heads">& a) {
    const long long embed_dim = a.integer<"embed_dim">();
    const long long num_heads = a.integer<"num_heads">();
    if (embed_dim <= 0 || num_heads <= 0)
        throw py::value_error("embed_dim and num_heads must be positive, got " + std::to_string(embed_dim) + " and " +
                              std::to_string(num_heads));
    if (embed_dim % num_heads != 0) throw py::value_error("embed_dim must be divisible by num_heads");
    const py::handle module(g_module);
    const py::object linear = vk::attr<"Linear">(module);
    vk::set_attr<"embed_dim">(self, py::int_(embed_dim));
    vk::set_attr<"num_heads">(self, py::int_(num_heads));
    vk::set_attr<"attention">(self, vk::call(vk::attr<"ScaledDotProductAttention">(module)));
    vk::set_attr<"q_proj">(self, vk::call(linear, embed_dim, embed_dim));
    vk::set_attr<"k_proj">(self, vk::call(linear, embed_dim, embed_dim));
    vk::set_attr<"v_proj">(self, vk::call(linear, embed_dim, embed_dim));
    vk::set_attr<"out_proj">(self, vk::call(linear, embed_dim, embed_dim));
    return py::none();
}

py::object init_weights(py::handle self, const vk::Args<"Wq, bq, Wk, bk, Wv, bv, Wo, bo">& a) {
    vk::call_method<"init_weights">(vk::attr<"q_proj">(self), a.get<"Wq">(), a.get<"bq">());
    vk::call_method<"init_weights">(vk::attr<"k_proj">(self), a.get<"Wk">(), a.get<"bk">());
    vk::call_method<"init_weights">(vk::attr<"v_proj">(self), a.get<"Wv">(), a.get<"bv">());
    vk::call_method<"init_weights">(vk::attr<"out_proj">(self), a.get<"Wo">(), a.get<"bo">());
    return py::none();
}

// (N, T, E) -> (N, H, T, d): a view wherever numpy can make one.
py::object split_heads(py::handle self, py::handle x) {
    const vk::Shape shape = vk::shape_of(x);
    if (shape.size() != 3) throw py::value_error("_split_heads expects an (N, T, E) array, got shape " + vk::shape_text(shape));
    const py::object heads = vk::call_method<"reshape">(x, vk::attr<"N">(self), shape[1], vk::attr<"num_heads">(self), -1);
    return vk::call_method<"transpose">(heads, 0, 2, 1, 3);
}

// (N, H, T, d) -> (N, T, H * d), heads side by side in head order.
py::object concat_heads(py::handle self, py::handle x) {
    const vk::Shape shape = vk::shape_of(x);
    if (shape.size() != 4) throw py::value_error("_concat_heads expects an (N, H, T, d) array, got shape " + vk::shape_text(shape));
    return vk::call_method<"reshape">(vk::call_method<"transpose">(x, 0, 2, 1, 3), vk::attr<"N">(self), shape[2], -1);
}

// An absent mask masks nothing; with both absent the result is all False.
py::object merge_masks(py::handle self, py::handle key_padding_mask, py::handle attn_mask) {
    const Py_ssize_t n = vk::exact_int(vk::attr<"N">(self), "N");
    const Py_ssize_t l = vk::exact_int(vk::attr<"L">(self), "L");
    const Py_ssize_t s = vk::exact_int(vk::attr<"S">(self), "S");
    const vk::Shape merged{n, vk::exact_int(vk::attr<"num_heads">(self), "num_heads"), l, s};
    const py::tuple merged_shape = vk::shape_tuple(merged);
    const py::handle broadcast_to = vk::imported<"numpy", "broadcast_to">();
    const py::handle expand_dims = vk::imported<"numpy", "expand_dims">();

    py::object key_mask = py::none();
    if (!key_padding_mask.is_none()) {
        const py::object m = vk::bool_array(key_padding_mask, "key_padding_mask");
        if (vk::shape_of(m) != vk::Shape{n, s})
            throw py::value_error("key_padding_mask must have shape (N, S) = " + vk::shape_text({n, s}) + ", got " +
                                  vk::shape_text(vk::shape_of(m)));
        key_mask = vk::call(broadcast_to, vk::call(expand_dims, vk::call(expand_dims, m, 1), 2), merged_shape);
    }
    py::object attention_mask = py::none();
    if (!attn_mask.is_none()) {
        const py::object m = vk::bool_array(attn_mask, "attn_mask");
        if (vk::shape_of(m) != vk::Shape{l, s})
            throw py::value_error("attn_mask must have shape (L, S) = " + vk::shape_text({l, s}) + ", got " +
                                  vk::shape_text(vk::shape_of(m)));
        attention_mask = vk::call(broadcast_to, vk::call(expand_dims, vk::call(expand_dims, m, 0), 0), merged_shape);
    }
    if (!key_mask.is_none() && !attention_mask.is_none()) return vk::call(vk::imported<"numpy", "logical_or">(), key_mask, attention_mask);
    // A fresh array either way, like the merge of two masks: callers may write into it.
    if (!key_mask.is_none()) return vk::call(vk::imported<"numpy", "array">(), key_mask);
    if (!attention_mask.is_none()) return vk::call(vk::imported<"numpy", "array">(), attention_mask);
    return vk::call(vk::imported<"numpy", "zeros">(), merged_shape, vk::kw<"dtype">(vk::imported<"builtins", "bool">()));
}

// query (N, L, E), key and value (N, S, E), all of width embed_dim.
void check_inputs(py::handle self, const vk::Shape& q, const vk::Shape& k, const vk::Shape& v) {
    const Py_ssize_t e = vk::exact_int(vk::attr<"embed_dim">(self), "embed_dim");
    const auto check = [e](const vk::Shape& shape, const char* arg, const char* layout) {
        if (shape.size() != 3 || shape[2] != e)
            throw py::value_error(std::string(arg) + " must be an array of shape " + layout + " with E = embed_dim = " + std::to_string(e) +
                                  ", got " + vk::shape_text(shape));
    };
    check(q, "query", "(N, L, E)");
    check(k, "key", "(N, S, E)");
    check(v, "value", "(N, S, E)");
    if (k != v) throw py::value_error("key and value must have the same shape, got " + vk::shape_text(k) + " and " + vk::shape_text(v));
    if (k[0] != q[0])
        throw py::value_error("query and key must have the same batch size, got " + std::to_string(q[0]) + " and " + std::to_string(k[0]));
}

py::object forward(py::handle self, const vk::Args<"query, key, value, key_padding_mask=None, attn_mask=None">& a) {
    const py::handle asarray = vk::imported<"numpy", "asarray">();
    const py::object query = vk::call(asarray, a.get<"query">());
    const py::object key = vk::call(asarray, a.get<"key">());
    const py::object value = vk::call(asarray, a.get<"value">());
    const vk::Shape q_shape = vk::shape_of(query);
    const vk::Shape k_shape = vk::shape_of(key);
    check_inputs(self, q_shape, k_shape, vk::shape_of(value));
    vk::set_attr<"N">(self, py::int_(q_shape[0]));
    vk::set_attr<"L">(self, py::int_(q_shape[1]));
    vk::set_attr<"E">(self, py::int_(q_shape[2]));
    vk::set_attr<"S">(self, py::int_(k_shape[1]));

    const py::object q = split_heads(self, vk::call_method<"forward">(vk::attr<"q_proj">(self), query));
    const py::object k = split_heads(self, vk::call_method<"forward">(vk::attr<"k_proj">(self), key));
    const py::object v = split_heads(self, vk::call_method<"forward">(vk::attr<"v_proj">(self), value));
    // With no mask at all the attention skips masking altogether.
    const py::object mask = a.is_none<"key_padding_mask">() && a.is_none<"attn_mask">()
                                ? py::none()
                                : merge_masks(self, a.get<"key_padding_mask">(), a.get<"attn_mask">());
    const py::object attn_outputs = vk::call_method<"forward">(vk::attr<"attention">(self), q, k, v, mask);
    return vk::call_method<"forward">(vk::attr<"out_proj">(self), concat_heads(self, attn_outputs));
}

py::object backward(py::handle self, const vk::Args<"d_output">& a) {
    const py::object d_attn_output = vk::call_method<"backward">(vk::attr<"out_proj">(self), a.get<"d_output">());
    auto [d_q, d_k, d_v] = vk::unpack<3>(vk::call_method<"backward">(vk::attr<"attention">(self), split_heads(self, d_attn_output)));
    d_q = concat_heads(self, d_q);
    d_k = concat_heads(self, d_k);
    d_v = concat_heads(self, d_v);
    d_q = vk::call_method<"backward">(vk::attr<"q_proj">(self), d_q);
    d_k = vk::call_method<"backward">(vk::attr<"k_proj">(self), d_k);
    d_v = vk::call_method<"backward">(vk::attr<"v_proj">(self), d_v);
    return py::make_tuple(d_q, d_k, d_v);
}

py::object split_heads_method(py::handle self, const vk::Args<"x">& a) { return split_heads(self, a.get<"x">()); }
py::object concat_heads_method(py::handle self, const vk::Args<"x">& a) { return concat_heads(self, a.get<"x">()); }
py::object merge_masks_method(py::handle self, const vk::Args<"key_padding_mask, attn_mask">& a) {
    return merge_masks(self, a.get<"key_padding_mask">(), a.get<"attn_mask">());
}

constexpr vk::Def kInit{"__init__", mha_init};
constexpr vk::Def kInitWeights{"init_weights", init_weights,
                               "Hands each weight/bias pair to the init_weights of q_proj, k_proj, v_proj and out_proj, in that order."};
constexpr vk::Def kForward{"forward", forward,
                           "Returns the attention output (N, L, E) for query (N, L, E) and key, value (N, S, E).\n\n"
                           "key_padding_mask (N, S) is True at padded keys, attn_mask (L, S) True at blocked query/key pairs;\n"
                           "None masks nothing. A query whose keys are all masked gets a zero attention output (then out_proj's bias)."};
constexpr vk::Def kBackward{"backward", backward,
                            "Given dL/d(output) (N, L, E) of the latest forward, returns (d_q, d_k, d_v), the gradients with respect to\n"
                            "query, key and value. Parameter gradients are kept in the four projections (dLdW, dLdb)."};
constexpr vk::Def kSplitHeads{"_split_heads", split_heads_method, "(N, T, E) -> (N, H, T, d)."};
constexpr vk::Def kConcatHeads{"_concat_heads", concat_heads_method, "(N, H, T, d) -> (N, T, E); the inverse of _split_heads."};
constexpr vk::Def kMergeMasks{"_merge_masks", merge_masks_method,
                              "Returns the boolean (N, H, L, S) mask: True where the key is padding or the pair is blocked."};

}  // namespace

PYBIND11_MODULE(corvisk, m) {
    m.doc() = "Multi-head attention on numpy arrays with an explicit backward pass.";
    // The collaborators come from this module's own package, as `from .linear import Linear` would.
    const std::string name = vk::utf8(vk::attr<"__name__">(m));
    const std::string package = name.substr(0, name.rfind('.'));
    m.attr("np") = vk::numpy();
    m.attr("Linear") = vk::attr<"Linear">(py::module_::import((package + ".linear").c_str()));
    m.attr("ScaledDotProductAttention") =
        vk::attr<"ScaledDotProductAttention">(py::module_::import((package + ".scaled_dot_product_attention").c_str()));
    g_module = vk::keep(py::reinterpret_borrow<py::object>(m));
    vk::define_class<kInit, kInitWeights, kForward, kBackward, kSplitHeads, kConcatHeads, kMergeMasks>(
        m, "MultiHeadAttention", vk::imported<"builtins", "object">(), "Multi Head Attention");
}
